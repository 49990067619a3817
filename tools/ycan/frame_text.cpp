#include "tools/ycan/frame_text.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace ycantool {

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool parseHex(const std::string& s, uint32_t& value) {
    if (s.empty() || s.size() > 8) return false;
    value = 0;
    for (char c : s) {
        const int d = hexDigit(c);
        if (d < 0) return false;
        value = value << 4 | static_cast<uint32_t>(d);
    }
    return true;
}

// Hex byte pairs, '.' allowed between bytes.
bool parseData(const std::string& s, size_t max, TextFrame& f, std::string& why) {
    f.len = 0;
    for (size_t i = 0; i < s.size();) {
        if (s[i] == '.') {
            ++i;
            continue;
        }
        if (i + 1 >= s.size() || hexDigit(s[i]) < 0 || hexDigit(s[i + 1]) < 0) {
            why = "data must be pairs of hex digits";
            return false;
        }
        if (f.len == max) {
            why = "more than " + std::to_string(max) + " data bytes";
            return false;
        }
        f.data[f.len++] = static_cast<uint8_t>(hexDigit(s[i]) << 4 | hexDigit(s[i + 1]));
        i += 2;
    }
    return true;
}

}  // namespace

bool validFdLength(unsigned n) {
    return n <= 8 || n == 12 || n == 16 || n == 20 || n == 24 || n == 32 || n == 48 || n == 64;
}

bool parseFrame(const std::string& text, TextFrame& out, std::string& why) {
    TextFrame f;
    const size_t hash = text.find('#');
    if (hash == std::string::npos) {
        why = "no '#' between identifier and data";
        return false;
    }
    const std::string id = text.substr(0, hash);
    if (!parseHex(id, f.id) || (id.size() != 3 && id.size() != 8)) {
        why = "identifier must be 3 hex digits (11 bit) or 8 (29 bit)";
        return false;
    }
    f.extended = id.size() == 8;
    if ((!f.extended && f.id > 0x7FF) || f.id > 0x1FFFFFFF) {
        why = "identifier out of range";
        return false;
    }
    std::string rest = text.substr(hash + 1);
    if (!rest.empty() && rest[0] == '#') {
        f.fd = true;
        if (rest.size() < 2 || hexDigit(rest[1]) < 0) {
            why = "a CAN FD frame needs one hex digit of flags after '##'";
            return false;
        }
        f.fdFlags = static_cast<uint8_t>(hexDigit(rest[1]));
        if (f.fdFlags > (kFdBitRateSwitch | kFdErrorState)) {
            why = "CAN FD flags are 1 (bit rate switch) and 2 (error state)";
            return false;
        }
        if (!parseData(rest.substr(2), 64, f, why)) return false;
        if (!validFdLength(f.len)) {
            why = "a CAN FD frame has 0-8, 12, 16, 20, 24, 32, 48 or 64 data bytes";
            return false;
        }
    } else if (!rest.empty() && (rest[0] == 'R' || rest[0] == 'r')) {
        f.remote = true;
        if (rest.size() == 2 && rest[1] >= '0' && rest[1] <= '8') {
            f.len = static_cast<uint8_t>(rest[1] - '0');
        } else if (rest.size() != 1) {
            why = "a remote frame is written R or R0..R8";
            return false;
        }
    } else if (!parseData(rest, 8, f, why)) {
        return false;
    }
    out = f;
    return true;
}

std::string formatFrame(const TextFrame& f) {
    char buf[16 + 3 + 128 + 1];
    int n = snprintf(buf, sizeof buf, f.extended ? "%08X" : "%03X", f.id);
    if (f.remote) {
        n += snprintf(buf + n, sizeof buf - static_cast<size_t>(n), "#R");
        if (f.len > 0) n += snprintf(buf + n, sizeof buf - static_cast<size_t>(n), "%u", f.len);
        return std::string(buf, static_cast<size_t>(n));
    }
    if (f.fd)
        n += snprintf(buf + n, sizeof buf - static_cast<size_t>(n), "##%X", f.fdFlags & 0x0F);
    else
        n += snprintf(buf + n, sizeof buf - static_cast<size_t>(n), "#");
    for (unsigned i = 0; i < f.len && i < 64; ++i)
        n += snprintf(buf + n, sizeof buf - static_cast<size_t>(n), "%02X", f.data[i]);
    return std::string(buf, static_cast<size_t>(n));
}

std::string formatLogLine(const std::string& stamp, const std::string& interface, const TextFrame& f) {
    std::string line = stamp;
    line.append(" ").append(interface).append(" ").append(formatFrame(f));
    return line;
}

TextFrame fromRecord(const _YCAN_CAN_OBJ& r) {
    TextFrame f;
    f.id = r.ID & 0x1FFFFFFF;
    f.extended = r.ExternFlag != 0;
    f.remote = r.RemoteFlag != 0;
    f.len = r.DataLen > 8 ? 8 : r.DataLen;
    if (!f.remote) memcpy(f.data, r.Data, f.len);
    return f;
}

TextFrame fromRecord(const _YCAN_CANFD_OBJ& r) {
    TextFrame f;
    f.id = r.ID & 0x1FFFFFFF;
    f.extended = r.ExternFlag != 0;
    f.fd = true;
    f.fdFlags = static_cast<uint8_t>(((r.FrameOpt & YCAN_FRAMEOPT_BRS) ? kFdBitRateSwitch : 0) |
                                     ((r.FrameOpt & YCAN_FRAMEOPT_ESI) ? kFdErrorState : 0));
    f.len = r.DataLen > 64 ? 64 : r.DataLen;
    memcpy(f.data, r.Data, f.len);
    return f;
}

TextFrame fromReceived(const _YCAN_RX_FRAME& r) {
    if (r.Kind == YCAN_KIND_CANFD) return fromRecord(r.Frame);
    // A classic frame is the CAN FD record's first 24 bytes.
    _YCAN_CAN_OBJ classic;
    memcpy(&classic, &r.Frame, sizeof classic);
    return fromRecord(classic);
}

_YCAN_CAN_OBJ toClassicRecord(const TextFrame& f) {
    _YCAN_CAN_OBJ r{};
    r.ID = f.id;
    r.ExternFlag = f.extended ? 1 : 0;
    r.RemoteFlag = f.remote ? 1 : 0;
    r.DataLen = f.len > 8 ? 8 : f.len;
    memcpy(r.Data, f.data, r.DataLen);
    return r;
}

_YCAN_CANFD_OBJ toFdRecord(const TextFrame& f) {
    _YCAN_CANFD_OBJ r{};
    r.ID = f.id;
    r.ExternFlag = f.extended ? 1 : 0;
    r.FrameOpt = static_cast<uint8_t>(((f.fdFlags & kFdBitRateSwitch) ? YCAN_FRAMEOPT_BRS : 0) |
                                      ((f.fdFlags & kFdErrorState) ? YCAN_FRAMEOPT_ESI : 0));
    r.DataLen = f.len > 64 ? 64 : f.len;
    memcpy(r.Data, f.data, r.DataLen);
    return r;
}

}  // namespace ycantool
