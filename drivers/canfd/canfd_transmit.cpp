// QDeviceUsbCanFd2: transmit path. Up to 10 frames go out in one data
// packet on bulk endpoint 0x02, laid out as the adapter sends its own
// (canfd_packet.h), except that the time tags stay 0. FD records carry the
// frame's bit rate switch and error state indicator in their flags.
#include "drivers/canfd/QDeviceUsbCanFd2.h"
#include "drivers/canfd/canfd_packet.h"
#include "support/QErrMgr.h"

namespace {

constexpr unsigned kFramesPerPacket = ycan::canfd::kRecordsPerPacket;
constexpr unsigned kEchoTimeoutMs = 2000;

}  // namespace

int QDeviceUsbCanFd2::transmit(unsigned ch, _YCAN_CAN_OBJ* frames, unsigned count) {
    return transmitFrames(ch, frames, count);
}

int QDeviceUsbCanFd2::transmitFD(unsigned ch, _YCAN_CANFD_OBJ* frames, unsigned count) {
    return transmitFrames(ch, frames, count);
}

int QDeviceUsbCanFd2::transmitSingle(unsigned ch, _YCAN_CAN_OBJ* frames, unsigned count) {
    return sendPacket(ch, frames, count);
}

int QDeviceUsbCanFd2::transmitSingleFD(unsigned ch, _YCAN_CANFD_OBJ* frames, unsigned count) {
    return sendPacket(ch, frames, count);
}

template <class Frame>
int QDeviceUsbCanFd2::transmitFrames(unsigned ch, Frame* frames, unsigned count) {
    if (ch >= kChannels || (frames == nullptr && count > 0)) {
        ycan::setLastError(YCAN_ERR_PARAMETER);
        return 0;
    }
    // One batch: neither a close nor a recovery starts between its packets.
    ycan::CommandChannel::Batch batch(life.channel());
    if (!batch) return batch.refuse();
    unsigned sent = 0;
    int total = 0;
    while (sent < count) {
        const unsigned n = count - sent < kFramesPerPacket ? count - sent : kFramesPerPacket;
        const int r = sendPacket(ch, frames + sent, n);
        total += r;
        sent += n;
        // A packet that failed (or whose echo was missed) ends the batch.
        if (r != static_cast<int>(n)) break;
    }
    return total;
}

template <class Frame>
int QDeviceUsbCanFd2::sendPacket(unsigned ch, Frame* frames, unsigned count) {
    const unsigned m = count < kFramesPerPacket ? count : kFramesPerPacket;
    // A remote frame carries no data: its length is written back into the
    // caller's array as 0.
    for (unsigned i = 0; i < m; ++i)
        if (frames[i].RemoteFlag != 0) frames[i].DataLen = 0;
    uint8_t packet[ycan::canfd::kMaxPacketLen];
    const unsigned length = ycan::canfd::encodeDataPacket(packet, ch, frames, m);

    uint8_t echo[64];
    int echoLen = sizeof echo;
    int r = usbCmdExtSendByBulk(packet, static_cast<int>(length), echo, &echoLen, 0x02, 0x82, kEchoTimeoutMs);
    return r >= 0 ? static_cast<int>(count) : 0;
}
