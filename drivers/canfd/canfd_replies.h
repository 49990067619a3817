// Decoding the CAN FD adapters' command replies. Each decoder reads only the
// len bytes of the reply it is given and fails a reply too short for what it
// reads.
#pragma once

#include <cstdint>

namespace ycan::canfd {

// Version word of queries 0x01 and 0x12: bytes 4 and 5, high byte first.
bool versionWord(const uint8_t* reply, int len, uint16_t* word);
// Channel count of query 0x13: byte 4.
bool channelCount(const uint8_t* reply, int len, uint8_t* count);
// Channel status word: bytes 3..6, low byte first, in a reply of at least
// 11 bytes.
bool channelStatus(const uint8_t* reply, int len, unsigned* status);

}  // namespace ycan::canfd
