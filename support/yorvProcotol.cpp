#include "support/yorvProcotol.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "support/QUserLog.h"
#include "support/aes128.h"

// "YCAN-FD-KEY-2026"
const uint8_t au8AES_Cipher[16] = {0x59, 0x43, 0x41, 0x4E, 0x2D, 0x46, 0x44, 0x2D,
                                   0x4B, 0x45, 0x59, 0x2D, 0x32, 0x30, 0x32, 0x36};

namespace {

constexpr uint8_t kMagicLo = 0xFE;
constexpr uint8_t kMagicHi = 0xEF;
constexpr uint16_t kLengthMask = 0x0FFF;
constexpr uint16_t kEncryptedFlag = 0x1000;
constexpr int kHeaderLen = 4;
// Smallest meaningful packet: header, sequence, 01 01, command and checksum.
constexpr int kMinPacketLen = 9;

// One counter for every device and thread; each pack takes the next value.
std::atomic<uint8_t> cmdNo{0};

uint8_t checksum(const uint8_t* packet, int len) {
    uint32_t sum = 0;
    for (int i = 0; i < len - 1; ++i) sum += packet[i];
    return static_cast<uint8_t>(sum ^ packet[7]);
}

}  // namespace

namespace ycan {
uint8_t procotolNextSequence() { return cmdNo.load(); }
}  // namespace ycan

int yorvProcotolPack(uint8_t* out, int outSize, int cmd, bool encrypt, const uint8_t* payload,
                     int payloadLen) {
    const uint8_t seq = cmdNo.fetch_add(1);
    const bool payloadOk =
        payloadLen >= 0 && payloadLen <= kProcotolMaxPayload && (payloadLen == 0 || payload != nullptr);
    const int len = yorvProcotolPacketLen(std::clamp(payloadLen, 0, kProcotolMaxPayload + 1));
    if (out == nullptr || !payloadOk || outSize < len) {
        QUserLog::GetInstance()->Error("WARNING:yorvProcotolPack Fail, Buffer Not Enough..<%d,%d>", outSize,
                                       len);
        return 0;
    }
    memset(out, 0, static_cast<size_t>(outSize));
    out[0] = kMagicLo;
    out[1] = kMagicHi;
    uint16_t lengthField = static_cast<uint16_t>(len) | (encrypt ? kEncryptedFlag : 0);
    out[2] = static_cast<uint8_t>(lengthField);
    out[3] = static_cast<uint8_t>(lengthField >> 8);
    out[4] = seq;
    out[5] = 1;
    out[6] = 1;
    out[7] = static_cast<uint8_t>(cmd);
    if (payloadLen > 0) memcpy(out + 8, payload, static_cast<size_t>(payloadLen));
    out[len - 1] = checksum(out, len);
    if (encrypt) AES_Encrypt(out + kHeaderLen, static_cast<uint32_t>(len - kHeaderLen));
    return len;
}

int yorvProcotolUnPack(uint8_t* in, int inLen, uint8_t* out, int outSize) {
    QUserLog* log = QUserLog::GetInstance();
    if (in == nullptr || inLen <= 3) {
        log->Error("错误:协议报文长度不足...<%d byte>", inLen);
        return 0;
    }
    if (in[0] != kMagicLo || in[1] != kMagicHi) {
        log->Error("错误:协议报文帧头错误...");
        return 0;
    }
    const uint16_t lengthField = static_cast<uint16_t>(in[2] | (in[3] << 8));
    const int len = lengthField & kLengthMask;
    const bool encrypted = (lengthField & kEncryptedFlag) != 0;
    // Besides a packet longer than what arrived, refuse lengths that cannot
    // hold a command and a checksum, and enciphered bodies that are not whole
    // blocks: trusting those would read outside the packet.
    if (inLen < len || len < kMinPacketLen || (encrypted && (len - kHeaderLen) % 16 != 0)) {
        log->Error("错误:协议报文长度不足...<%d,%d>", inLen, len);
        return 0;
    }
    if (encrypted) AES_Decrypt(in + kHeaderLen, static_cast<uint32_t>(len - kHeaderLen));
    const uint8_t expected = checksum(in, len);
    if (expected != in[len - 1]) {
        log->Error("错误:协议报文CRC错误...<%0x,%0x>", in[len - 1], expected);
        return 0;
    }
    const int count = std::min(len - 8, std::max(outSize, 0));
    if (count > 0 && out != nullptr) {
        memcpy(out, in + 7, static_cast<size_t>(count));
        return count;
    }
    return 0;
}
