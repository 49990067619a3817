#include "drivers/usbcan/usbcan2_replies.h"

#include <algorithm>

namespace ycan::usbcan2 {

uint16_t versionWord(const uint8_t* reply, int len) {
    return static_cast<uint16_t>(replyByte(reply, len, 4) + 256 * replyByte(reply, len, 5));
}

uint8_t channelCount(const uint8_t* reply, int len) { return replyByte(reply, len, len - 1); }

void boardText(const uint8_t* reply, int len, char* field, size_t fieldSize) {
    const int n = replyByte(reply, len, 2) & 0x0F;
    for (int i = 0; i + 1 < n && static_cast<size_t>(i) < fieldSize; ++i)
        field[i] = static_cast<char>(replyByte(reply, len, 4 + i));
}

bool relayStatus(const uint8_t* reply, int len, uint8_t* first, uint8_t* second) {
    if (len <= 4 || reply[1] != 0xB2) return false;
    *first = reply[3];
    *second = reply[4];
    return true;
}

bool baudParams(const uint8_t* reply, int len, uint8_t* first, uint8_t* second) {
    if (len <= 8 || reply[1] != 0xA4) return false;
    *first = reply[6];
    *second = reply[8];
    return true;
}

bool channelState(const uint8_t* reply, int len, uint8_t* first, uint8_t* second, uint8_t* third) {
    if (len <= 11 || reply[1] != 0x80) return false;
    *first = reply[5];
    *second = reply[10];
    *third = reply[9];
    return true;
}

unsigned acceptedFrames(const uint8_t* reply, int len, unsigned sent) {
    return std::min<unsigned>(replyByte(reply, len, 2), sent);
}

}  // namespace ycan::usbcan2
