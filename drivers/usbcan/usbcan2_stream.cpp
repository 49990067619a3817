#include "drivers/usbcan/usbcan2_stream.h"

#include <algorithm>
#include <cstring>

#include "drivers/common/bytes.h"

namespace ycan {

namespace {

bool startsRecord(const uint8_t* p) { return p[3] == 0x01 && p[4] == 0x00 && p[5] == 0x00; }

}  // namespace

void Usbcan2Stream::encodeRecord(uint8_t* r, const _YCAN_CAN_OBJ& f, uint32_t channel) {
    bytes::putBe32(r, f.TimeTag);
    r[4] = f.FrameOpt;
    r[5] = f.SendMode;
    r[6] = static_cast<uint8_t>(channel * 16 | f.RemoteFlag * 64 | f.ExternFlag * 128 | (f.DataLen & 0x0F));
    bytes::put32(r + 7, f.ExternFlag == 1 ? f.ID << 3 : f.ID << 5);
    memcpy(r + 11, f.Data, std::min<uint8_t>(f.DataLen, 8));
}

_YCAN_CAN_OBJ Usbcan2Stream::decodeRecord(const uint8_t* r) {
    _YCAN_CAN_OBJ f{};
    f.TimeTag = bytes::le32(r);
    f.FrameOpt = r[4];
    f.SendMode = r[5];
    f.RemoteFlag = (r[6] & 0x40) ? 1 : 0;
    f.ExternFlag = (r[6] & 0x80) ? 1 : 0;
    f.DataLen = std::min<uint8_t>(r[6] & 0x0F, 8);
    const uint32_t raw = bytes::le32(r + 7);
    f.ID = (f.ExternFlag ? raw >> 3 : raw >> 5) & 0x1FFFFFFF;
    memcpy(f.Data, r + 11, f.DataLen);
    return f;
}

void Usbcan2Stream::feed(const uint8_t* data, unsigned length, StagedFrames& out) {
    const unsigned take = std::min(length, kCapacity - fill);
    memcpy(buf + fill, data, take);
    fill += take;
    unsigned p = 0;
    while (fill - p >= kRecordLen) {
        if (startsRecord(buf + p)) {
            out.add(channelOf(buf + p), decodeRecord(buf + p));
            p += kRecordLen;
        } else {
            ++p;  // resynchronise byte by byte
        }
    }
    memmove(buf, buf + p, fill - p);
    fill -= p;
}

}  // namespace ycan
