// Secured command framing: a self-checking packet whose body may be
// enciphered with AES-128, used for the adapters' device function set.
//
//   off 0  2  magic 0xEFFE (bytes FE EF)
//   off 2  2  bits 0-11 total length L, bit 12 set when bytes 4..L-1 are enciphered
//   off 4  1  sequence number (process-wide, wraps 255 -> 0)
//   off 5  2  01 01
//   off 7  1  command code
//   off 8  n  payload, then zero padding up to L-1
//   L-1    1  checksum: sum of bytes 0..L-2 of the plain packet, XOR command code
//
// L = 4 + 16 * ceil((n + 5) / 16), so the enciphered part is whole blocks.
#pragma once

#include <cstdint>

// The key shared with the adapters.
extern const uint8_t au8AES_Cipher[16];

// Largest payload that still fits the 12-bit length field (L = 4084).
constexpr int kProcotolMaxPayload = 4075;

// Packet length for a payload of payloadLen bytes.
constexpr int yorvProcotolPacketLen(int payloadLen) { return 4 + 16 * ((payloadLen + 5 + 15) / 16); }

// Packs cmd and payload into out. Returns the packet length, or 0 when out is
// too small (or the payload does not fit a packet). Takes a sequence number
// even when it fails.
int yorvProcotolPack(uint8_t* out, int outSize, int cmd, bool encrypt, const uint8_t* payload,
                     int payloadLen);
// Checks the packet in in (deciphering it in place when it is enciphered)
// and copies the command code, payload and padding to out, cut to outSize.
// Returns the number of bytes copied, 0 when the packet is rejected.
int yorvProcotolUnPack(uint8_t* in, int inLen, uint8_t* out, int outSize);

namespace ycan {
// The sequence number the next pack will use.
uint8_t procotolNextSequence();
}  // namespace ycan
