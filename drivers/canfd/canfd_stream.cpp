#include "drivers/canfd/canfd_stream.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "drivers/common/bytes.h"

namespace ycan {

namespace {

template <class Frame>
Frame decode(const uint8_t* p) {
    constexpr bool fd = std::is_same_v<Frame, _YCAN_CANFD_OBJ>;
    constexpr uint8_t maxLen = fd ? 64 : 8;
    Frame f{};
    f.ID = bytes::le32(p + 6) & 0x1FFFFFFF;
    f.TimeTag = bytes::le32(p + 2);
    if constexpr (fd) f.FrameOpt = (p[1] & CanFdStream::kFlagBitRateSwitch) ? YCAN_FRAMEOPT_BRS : 0x00;
    f.RemoteFlag = (p[1] & CanFdStream::kFlagRemote) ? 1 : 0;
    f.ExternFlag = (p[1] & CanFdStream::kFlagExtended) ? 1 : 0;
    f.DataLen = std::min(p[10], maxLen);
    memcpy(f.Data, p + 11, f.DataLen);
    return f;
}

}  // namespace

_YCAN_CAN_OBJ CanFdStream::decodeCanRecord(const uint8_t* record) { return decode<_YCAN_CAN_OBJ>(record); }

_YCAN_CANFD_OBJ CanFdStream::decodeFdRecord(const uint8_t* record) { return decode<_YCAN_CANFD_OBJ>(record); }

unsigned CanFdStream::queueOf(const uint8_t* record) {
    return std::min<unsigned>(record[0] >> 4, kChannels - 1);
}

unsigned CanFdStream::usbProtocolFrameDataGet(const uint8_t* buf, unsigned len, Staged& out) {
    unsigned i = 0;
    if (len <= 6) return 0;
    while (i < len) {
        if (len - i < kHeaderLen) break;  // an incomplete header waits for more
        const unsigned payload = buf[i + 4] | (buf[i + 5] << 8);
        // Not a header, an empty one, or one that could never fit the
        // reassembly buffer (it would wedge the stream): resynchronise.
        if (buf[i] != 0x55 || buf[i + 1] != 0xF2 || payload == 0 || payload + kHeaderLen > kCapacity) {
            ++i;
            continue;
        }
        if (len - i < payload + kHeaderLen) break;  // the rest of the packet is still to come
        const unsigned end = i + kHeaderLen + payload;
        unsigned count = buf[i + 6];
        i += kHeaderLen;
        // Records stay inside their packet, whatever the count says.
        while (count-- > 0 && i + 2 <= end) {
            const bool fd = (buf[i + 1] & kFlagFd) != 0;
            const unsigned size = fd ? kFdRecordLen : kClassicRecordLen;
            if (i + size > end) break;
            if (fd)
                out.add(queueOf(buf + i), decodeFdRecord(buf + i));
            else
                out.add(queueOf(buf + i), decodeCanRecord(buf + i));
            i += size;
        }
        i = end;
    }
    return std::min(i, len);
}

void CanFdStream::feed(const uint8_t* data, unsigned len, Staged& out) {
    while (len > 0) {
        const unsigned take = std::min(kCapacity - fill, len);
        memcpy(buf + fill, data, take);
        fill += take;
        const unsigned consumed = usbProtocolFrameDataGet(buf, fill, out);
        memmove(buf, buf + consumed, fill - consumed);
        fill -= consumed;
        data += take;
        len -= take;
    }
}

}  // namespace ycan
