#include "drivers/canfd/canfd_packet.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "drivers/common/bytes.h"

namespace ycan::canfd {
namespace {

template <class Frame>
unsigned encodePacket(uint8_t* packet, unsigned ch, const Frame* frames, unsigned count) {
    constexpr bool kFd = std::is_same_v<Frame, _YCAN_CANFD_OBJ>;
    constexpr unsigned kDataField = kFd ? 64 : 8;
    constexpr unsigned kRecordLen = 11 + kDataField;
    const unsigned m = std::min(count, kRecordsPerPacket);
    memset(packet, 0, CanFdStream::kHeaderLen + m * kRecordLen);
    packet[0] = 0x55;
    packet[1] = 0xF2;
    packet[6] = static_cast<uint8_t>(m);
    uint8_t* rec = packet + CanFdStream::kHeaderLen;
    for (unsigned i = 0; i < m; ++i, rec += kRecordLen) {
        const Frame& f = frames[i];
        rec[0] = static_cast<uint8_t>((ch << 4) | (f.SendMode & 0x0F));
        uint8_t flags = kFd ? CanFdStream::kFlagFd : 0x00;
        if (f.RemoteFlag != 0) flags |= CanFdStream::kFlagRemote;
        if (f.ExternFlag != 0) flags |= CanFdStream::kFlagExtended;
        if constexpr (kFd) {
            if (f.FrameOpt & YCAN_FRAMEOPT_ESI) flags |= CanFdStream::kFlagErrorState;
            if (f.FrameOpt & YCAN_FRAMEOPT_BRS) flags |= CanFdStream::kFlagBitRateSwitch;
        }
        rec[1] = flags;
        ycan::bytes::put32(rec + 6, f.ID & 0x1FFFFFFF);
        const uint8_t len = f.RemoteFlag != 0 ? 0 : f.DataLen;
        rec[10] = len;
        memcpy(rec + 11, f.Data, std::min<unsigned>(len, kDataField));
    }
    const unsigned length = static_cast<unsigned>(rec - packet);
    ycan::bytes::put16(packet + 4, static_cast<uint16_t>(length - CanFdStream::kHeaderLen));
    return length;
}

}  // namespace

unsigned encodeDataPacket(uint8_t* packet, unsigned ch, const _YCAN_CAN_OBJ* frames, unsigned count) {
    return encodePacket(packet, ch, frames, count);
}

unsigned encodeDataPacket(uint8_t* packet, unsigned ch, const _YCAN_CANFD_OBJ* frames, unsigned count) {
    return encodePacket(packet, ch, frames, count);
}

}  // namespace ycan::canfd
