// Decoding the classic adapters' command replies. Each decoder reads only
// the len bytes of the reply it is given; where the driver accepts a reply
// without checking its length, a byte past the reply reads as 0 (the
// driver clears its reply buffer before every exchange).
#pragma once

#include <cstddef>
#include <cstdint>

namespace ycan::usbcan2 {

// Byte i of a reply of len bytes, 0 past its end.
inline uint8_t replyByte(const uint8_t* reply, int len, int i) { return i >= 0 && i < len ? reply[i] : 0; }

// Version word of queries 0x01 and 0x12: bytes 4 and 5, low byte first.
uint16_t versionWord(const uint8_t* reply, int len);
// Channel count of query 0x13: the reply's last byte.
uint8_t channelCount(const uint8_t* reply, int len);
// Text of queries 0x14 and 0x15: (byte 2 & 0x0F) - 1 characters from byte 4,
// copied to field (at most fieldSize); the rest of field is left alone.
void boardText(const uint8_t* reply, int len, char* field, size_t fieldSize);

// Relay status (0xB2), baud parameters (0xA4), channel state (0x80): false
// for a reply that is too short or answers another command.
bool relayStatus(const uint8_t* reply, int len, uint8_t* first, uint8_t* second);
bool baudParams(const uint8_t* reply, int len, uint8_t* first, uint8_t* second);
bool channelState(const uint8_t* reply, int len, uint8_t* first, uint8_t* second, uint8_t* third);

// Frames the adapter says it took of a data packet carrying `sent` records
// (byte 2 of its reply): never more than were sent.
unsigned acceptedFrames(const uint8_t* reply, int len, unsigned sent);

}  // namespace ycan::usbcan2
