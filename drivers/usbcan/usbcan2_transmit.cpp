// Classic USB CAN driver: transmit. Up to three 19-byte records (layout in
// usbcan2_stream.h) go out in one bulk packet on 0x02.
#include <algorithm>
#include <cstring>

#include "drivers/usbcan/usbcan2.h"
#include "drivers/usbcan/usbcan2_replies.h"
#include "drivers/usbcan/usbcan2_stream.h"
#include "support/QErrMgr.h"

namespace {

using ycan::fail;

constexpr unsigned kRecordLen = ycan::Usbcan2Stream::kRecordLen;
constexpr unsigned kFramesPerPacket = 3;

bool validFrame(const _YCAN_CAN_OBJ& f) {
    return f.RemoteFlag <= 1 && f.ExternFlag <= 1 && f.DataLen <= 8;
}

}  // namespace

extern "C" int usbcan2Transmit(uint32_t type, uint32_t index, uint32_t channel,
                               _YCAN_CAN_OBJ* frames, unsigned long count) {
    if (!usbcan2DevParaIsValid(type, index, 0)) return fail(YCAN_ERR_CAN_NOT_INITIALIZED);
    devInfo& rec = devInfoList[index];
    RecordCall call(index);
    if (!call) return fail(YCAN_ERR_NOT_OPENED);  // being closed
    if (!usbcan2IsInit(type, index, channel)) return fail(YCAN_ERR_CAN_NOT_INITIALIZED);
    // One batch: recovery waits for it to end.
    ycan::CommandChannel::Batch batch(rec.commands());
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
            ycan::Usbcan2Stream::encodeRecord(packet + static_cast<size_t>(i) * kRecordLen, frames[sent + i], channel);
        uint8_t reply[10] = {};
        int len = sizeof reply;
        if (usbDataSend(rec, packet, static_cast<int>(n * kRecordLen), reply, &len, 0x02, 0x81,
                        1000) != 0) {
            ycan::setLastError(YCAN_ERR_USB_TRANSPORT);
            return result;
        }
        sent += n;
        // While replies are awaited the adapter says how many it accepted.
        result += rec.txWaitReply.load() == 1 ? static_cast<int>(ycan::usbcan2::acceptedFrames(reply, len, n))
                                              : static_cast<int>(n);
    }
    return result;
}
