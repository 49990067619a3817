// The adapters' side of the secured command packet (device function set):
// written independently of the driver's framing code, with OpenSSL's AES,
// so that a misreading of the format on one side cannot hide behind the
// other.
#pragma once

#include <cstdint>
#include <vector>

namespace ycansim {

// The key the adapters share with the library: "YCAN-FD-KEY-2026".
extern const uint8_t kAdapterKey[16];

struct SecuredPacket {
    bool valid = false;  // magic, length, block size and checksum all fine
    bool enciphered = false;
    uint8_t sequence = 0;
    uint8_t command = 0;
    std::vector<uint8_t> body;  // payload and padding (between command and checksum)
};

// How a virtual adapter answers the device function set.
enum class FunctionSetReply { Accept, Decline, Broken, Silent };

struct FunctionSetAnswer {
    bool valid = false;     // the request was a well-formed, enciphered command 7
    bool accepted = false;  // the adapter now takes the function set as accepted
    bool answered = false;  // false: the adapter stays silent
    std::vector<uint8_t> packet;
};

// The adapter's reply packet to a function set request, as `mode` says.
FunctionSetAnswer answerFunctionSet(const std::vector<uint8_t>& request, FunctionSetReply mode);

// Checks and opens a packet as an adapter receives it.
SecuredPacket openSecuredPacket(const std::vector<uint8_t>& bytes);
// Builds an adapter's packet: FE EF, length (+0x1000 enciphered), sequence,
// 01 01, command, payload, zero padding, checksum.
std::vector<uint8_t> buildSecuredPacket(uint8_t sequence, uint8_t command,
                                        const std::vector<uint8_t>& payload, bool encipher = true);

}  // namespace ycansim
