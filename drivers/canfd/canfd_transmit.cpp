// QDeviceUsbCanFd2: transmit path. Up to 10 frames go out in one data
// packet on bulk endpoint 0x02:
//   55 F2 00 00 <payload length, 2 bytes LE> <record count> <records>
// Record: channel<<4 | SendMode&0x0F, flags, time tag (4, unset), ID (4 LE,
// top three bits clear), data length, data (8 or 64 bytes).
// Flags: 0x01 FD record, 0x02 remote, 0x04 extended, 0x08 <- FrameOpt 0x10,
// 0x10 <- FrameOpt 0x08 (the last two on FD records only).
#include <cstring>
#include <type_traits>

#include "support/QErrMgr.h"
#include "drivers/canfd/QDeviceUsbCanFd2.h"
#include "drivers/common/bytes.h"

namespace {

constexpr unsigned kFramesPerPacket = 10;
constexpr unsigned kHeaderLen = 7;
constexpr unsigned kEchoTimeoutMs = 2000;

template <class Frame>
constexpr bool kIsFd = std::is_same_v<Frame, _YCAN_CANFD_OBJ>;

template <class Frame>
constexpr unsigned kDataField = kIsFd<Frame> ? 64 : 8;

template <class Frame>
constexpr unsigned kRecordLen = 11 + kDataField<Frame>;

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
    if (closing.load()) {
        ycan::setLastError(YCAN_ERR_NOT_OPENED);
        return 0;
    }
    // Registered for the whole batch: recovery waits for it to end.
    ycan::ExchangeScope scope(link);
    if (!scope) return 0;  // link being restored
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
    uint8_t packet[2048] = {0x55, 0xF2, 0, 0, 0, 0, static_cast<uint8_t>(m)};
    uint8_t* rec = packet + kHeaderLen;
    for (unsigned i = 0; i < m; ++i, rec += kRecordLen<Frame>) {
        Frame& f = frames[i];
        rec[0] = static_cast<uint8_t>((ch << 4) | (f.SendMode & 0x0F));
        uint8_t flags = (kIsFd<Frame>) ? 0x01 : 0x00;
        if (f.RemoteFlag != 0) {
            flags |= 0x02;
            f.DataLen = 0;  // written back into the caller's array
        }
        if (f.ExternFlag != 0) flags |= 0x04;
        if constexpr (kIsFd<Frame>) {
            if (f.FrameOpt & 0x10) flags |= 0x08;
            if (f.FrameOpt & 0x08) flags |= 0x10;
        }
        rec[1] = flags;
        ycan::bytes::put32(rec + 6, f.ID & 0x1FFFFFFF);
        rec[10] = f.DataLen;
        const unsigned n = f.DataLen < kDataField<Frame> ? f.DataLen : kDataField<Frame>;
        memcpy(rec + 11, f.Data, n);
    }
    const unsigned length = static_cast<unsigned>(rec - packet);
    ycan::bytes::put16(packet + 4, length - kHeaderLen);

    uint8_t echo[64];
    int echoLen = sizeof echo;
    int r = usbCmdExtSendByBulk(packet, static_cast<int>(length), echo, &echoLen, 0x02, 0x82,
                                kEchoTimeoutMs);
    return r >= 0 ? static_cast<int>(count) : 0;
}
