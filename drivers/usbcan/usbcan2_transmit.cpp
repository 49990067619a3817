// Classic USB CAN driver: transmit. Up to three 19-byte records (layout in
// usbcan2_stream.h) go out in one bulk packet on 0x02.
#include <algorithm>
#include <cstring>

#include "drivers/usbcan/QDeviceUsbCan2.h"
#include "drivers/usbcan/usbcan2_replies.h"
#include "drivers/usbcan/usbcan2_stream.h"
#include "support/QErrMgr.h"

namespace {

using ycan::fail;

constexpr unsigned kRecordLen = ycan::Usbcan2Stream::kRecordLen;
constexpr unsigned kFramesPerPacket = 3;

bool validFrame(const _YCAN_CAN_OBJ& f) { return f.RemoteFlag <= 1 && f.ExternFlag <= 1 && f.DataLen <= 8; }

}  // namespace

int QDeviceUsbCan2::transmit(unsigned channel, _YCAN_CAN_OBJ* frames, unsigned count) {
    ycan::GateScope call(commands().calls());
    if (!call) return fail(YCAN_ERR_NOT_OPENED);  // being closed
    if (!isInit(channel)) return fail(YCAN_ERR_CAN_NOT_INITIALIZED);
    // One batch: recovery waits for it to end.
    ycan::CommandChannel::Batch batch(commands());
    if (!batch) return batch.refuse();
    const unsigned total = static_cast<uint16_t>(count);
    if (frames == nullptr && total > 0) return fail(YCAN_ERR_PARAMETER);
    // The batch is checked whole before anything goes on the wire.
    for (unsigned i = 0; i < total; ++i)
        if (!validFrame(frames[i])) return fail(YCAN_ERR_CAN_FORMAT);

    unsigned sent = 0;
    int result = 0;
    while (sent < total) {
        const unsigned n = std::min(total - sent, kFramesPerPacket);
        uint8_t packet[kRecordLen * kFramesPerPacket] = {};
        for (unsigned i = 0; i < n; ++i)
            ycan::Usbcan2Stream::encodeRecord(packet + static_cast<size_t>(i) * kRecordLen, frames[sent + i],
                                              channel);
        uint8_t reply[10] = {};
        int len = sizeof reply;
        if (usbDataSend(packet, static_cast<int>(n * kRecordLen), reply, &len, 0x02, 0x81, 1000) != 0) {
            ycan::setLastError(YCAN_ERR_USB_TRANSPORT);
            return result;
        }
        sent += n;
        // While replies are awaited the adapter says how many it accepted.
        result += txWaitReply.load() == 1 ? static_cast<int>(ycan::usbcan2::acceptedFrames(reply, len, n))
                                          : static_cast<int>(n);
    }
    return result;
}

int QDeviceUsbCan2::transmitFD(unsigned, _YCAN_CANFD_OBJ*, unsigned) {
    return fail(YCAN_ERR_TYPE_NOT_SUPPORTED);
}
