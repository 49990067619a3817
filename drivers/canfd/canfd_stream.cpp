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
    if constexpr (fd) f.FrameOpt = (p[1] & 0x10) ? 0x08 : 0x00;
    f.RemoteFlag = (p[1] & 0x02) ? 1 : 0;
    f.ExternFlag = (p[1] & 0x04) ? 1 : 0;
    f.DataLen = std::min(p[10], maxLen);
    memcpy(f.Data, p + 11, f.DataLen);
    return f;
}

}  // namespace

_YCAN_CAN_OBJ CanFdStream::decodeCanRecord(const uint8_t* record) { return decode<_YCAN_CAN_OBJ>(record); }

_YCAN_CANFD_OBJ CanFdStream::decodeFdRecord(const uint8_t* record) {
    return decode<_YCAN_CANFD_OBJ>(record);
}

namespace {

template <class Frame>
unsigned encodePacket(uint8_t* packet, unsigned ch, const Frame* frames, unsigned count) {
    constexpr bool kFd = std::is_same_v<Frame, _YCAN_CANFD_OBJ>;
    constexpr unsigned kDataField = kFd ? 64 : 8;
    constexpr unsigned kRecordLen = 11 + kDataField;
    const unsigned m = std::min(count, CanFdStream::kRecordsPerPacket);
    memset(packet, 0, CanFdStream::kHeaderLen + m * kRecordLen);
    packet[0] = 0x55;
    packet[1] = 0xF2;
    packet[6] = static_cast<uint8_t>(m);
    uint8_t* rec = packet + CanFdStream::kHeaderLen;
    for (unsigned i = 0; i < m; ++i, rec += kRecordLen) {
        const Frame& f = frames[i];
        rec[0] = static_cast<uint8_t>((ch << 4) | (f.SendMode & 0x0F));
        uint8_t flags = kFd ? 0x01 : 0x00;
        if (f.RemoteFlag != 0) flags |= 0x02;
        if (f.ExternFlag != 0) flags |= 0x04;
        if constexpr (kFd) {
            if (f.FrameOpt & 0x10) flags |= 0x08;
            if (f.FrameOpt & 0x08) flags |= 0x10;
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

unsigned CanFdStream::encodeDataPacket(uint8_t* packet, unsigned ch, const _YCAN_CAN_OBJ* frames, unsigned count) {
    return encodePacket(packet, ch, frames, count);
}

unsigned CanFdStream::encodeDataPacket(uint8_t* packet, unsigned ch, const _YCAN_CANFD_OBJ* frames,
                                       unsigned count) {
    return encodePacket(packet, ch, frames, count);
}

unsigned CanFdStream::queueOf(const uint8_t* record) { return std::min<unsigned>(record[0] >> 4, kChannels - 1); }

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
            const bool fd = (buf[i + 1] & 0x01) != 0;
            const unsigned size = fd ? kFdRecordLen : kClassicRecordLen;
            if (i + size > end) break;
            if (fd)
                out.fd[queueOf(buf + i)].push_back(decodeFdRecord(buf + i));
            else
                out.can[queueOf(buf + i)].push_back(decodeCanRecord(buf + i));
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
