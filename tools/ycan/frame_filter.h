// candump's receive filters, as the kernel applies them to a CAN socket:
//   ID:MASK   passes a frame whose identifier equals ID in the bits of MASK
//   ID~MASK   passes the frames that do not
// The identifier compared carries bit 31 for a 29-bit frame and bit 30 for
// a remote frame, so a MASK without those bits passes both formats; an ID
// written with 8 hex digits sets bit 31 (a 29-bit identifier). A frame
// passes when any filter passes it; no filter passes everything.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/ycan/frame_text.h"

namespace ycantool {

constexpr uint32_t kExtendedFlag = 0x80000000u;
constexpr uint32_t kRemoteFlag = 0x40000000u;

class FrameFilter {
public:
    // Adds one filter; on a malformed one says why.
    bool add(const std::string& text, std::string& why);
    bool passes(const TextFrame& f) const;
    bool empty() const { return rules.empty(); }

private:
    struct Rule {
        uint32_t id;
        uint32_t mask;
        bool inverted;
    };
    std::vector<Rule> rules;
};

}  // namespace ycantool
