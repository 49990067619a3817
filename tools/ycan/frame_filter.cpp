#include "tools/ycan/frame_filter.h"

#include <cctype>
#include <cstdlib>

namespace ycantool {

namespace {

bool hexWord(const std::string& s, uint32_t& value) {
    if (s.empty() || s.size() > 8) return false;
    for (char c : s)
        if (!isxdigit(static_cast<unsigned char>(c))) return false;
    value = static_cast<uint32_t>(strtoul(s.c_str(), nullptr, 16));
    return true;
}

}  // namespace

bool FrameFilter::add(const std::string& text, std::string& why) {
    const size_t sep = text.find_first_of(":~");
    Rule r{};
    if (sep == std::string::npos || !hexWord(text.substr(0, sep), r.id) ||
        !hexWord(text.substr(sep + 1), r.mask)) {
        why = "a filter is ID:MASK or ID~MASK in hex (8 digits of ID: 29-bit), not \"" + text + "\"";
        return false;
    }
    if (sep == 8) r.id |= kExtendedFlag;
    r.inverted = text[sep] == '~';
    rules.push_back(r);
    return true;
}

bool FrameFilter::passes(const TextFrame& f) const {
    if (rules.empty()) return true;
    const uint32_t id = f.id | (f.extended ? kExtendedFlag : 0) | (f.remote ? kRemoteFlag : 0);
    for (const Rule& r : rules) {
        const bool match = (id & r.mask) == (r.id & r.mask);
        if (match != r.inverted) return true;
    }
    return false;
}

}  // namespace ycantool
