#include "tools/ycan/frame_generator.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

namespace ycantool {

namespace {

constexpr uint8_t kFdLengths[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};

// A number from frame k and a stream name, the same every time.
uint64_t mix(uint64_t seed, uint64_t k, uint64_t stream) {
    uint64_t x =
        seed * 0x9E3779B97F4A7C15ull ^ (k + 1) * 0xBF58476D1CE4E5B9ull ^ stream * 0x94D049BB133111EBull;
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

bool hexValue(const std::string& s, uint64_t& v) {
    if (s.empty() || s.size() > 16) return false;
    for (char c : s)
        if (!isxdigit(static_cast<unsigned char>(c))) return false;
    v = strtoull(s.c_str(), nullptr, 16);
    return true;
}

}  // namespace

bool parseIdMode(const std::string& text, GeneratorSettings& s, std::string& why) {
    uint64_t v = 0;
    if (text == "r")
        s.idMode = GeneratorSettings::Mode::Random;
    else if (text == "i")
        s.idMode = GeneratorSettings::Mode::Increment;
    else if (hexValue(text, v) && v <= 0x1FFFFFFF) {
        s.idMode = GeneratorSettings::Mode::Fixed;
        s.id = static_cast<uint32_t>(v);
    } else {
        why =
            "-I takes r (random), i (increment) or an identifier in hex up to 1FFFFFFF, not \"" + text + "\"";
        return false;
    }
    return true;
}

bool parseLenMode(const std::string& text, GeneratorSettings& s, std::string& why) {
    if (text == "r")
        s.lenMode = GeneratorSettings::Mode::Random;
    else if (text == "i")
        s.lenMode = GeneratorSettings::Mode::Increment;
    else {
        char* end = nullptr;
        const unsigned long n = strtoul(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || n > 64 || !isdigit(static_cast<unsigned char>(text[0]))) {
            why = "-L takes r (random), i (increment) or a length from 0 to 64, not \"" + text + "\"";
            return false;
        }
        s.lenMode = GeneratorSettings::Mode::Fixed;
        s.len = static_cast<unsigned>(n);
    }
    return true;
}

bool parseDataMode(const std::string& text, GeneratorSettings& s, std::string& why) {
    if (text == "r") {
        s.dataMode = GeneratorSettings::Mode::Random;
    } else if (text == "i") {
        s.dataMode = GeneratorSettings::Mode::Increment;
    } else {
        std::string hex;
        for (char c : text)
            if (c != '.') hex += c;
        bool ok = !hex.empty() && hex.size() % 2 == 0 && hex.size() <= 128;
        for (char c : hex) ok = ok && isxdigit(static_cast<unsigned char>(c));
        if (!ok) {
            why = "-D takes r (random), i (increment) or data in pairs of hex digits, not \"" + text + "\"";
            return false;
        }
        s.dataMode = GeneratorSettings::Mode::Fixed;
        s.data.clear();
        for (size_t k = 0; k < hex.size(); k += 2)
            s.data.push_back(static_cast<uint8_t>(strtoul(hex.substr(k, 2).c_str(), nullptr, 16)));
    }
    return true;
}

bool checkSettings(const GeneratorSettings& s, std::string& why) {
    const bool fd = s.fd || s.bitRateSwitch;
    if (s.remote && fd) {
        why = "CAN FD has no remote frames (-R with -f or -b)";
        return false;
    }
    if (s.idMode == GeneratorSettings::Mode::Fixed && !s.extended && s.id > 0x7FF) {
        why = "identifier " + std::to_string(s.id) + " needs 29 bits: add -e";
        return false;
    }
    if (s.lenMode == GeneratorSettings::Mode::Fixed) {
        if (!fd && s.len > 8) {
            why =
                "a classic frame carries 0 to 8 bytes, not " + std::to_string(s.len) + " (CAN FD: -f or -b)";
            return false;
        }
        if (fd && !validFdLength(s.len)) {
            why = "a CAN FD frame carries 0-8, 12, 16, 20, 24, 32, 48 or 64 bytes, not " +
                  std::to_string(s.len);
            return false;
        }
    }
    if (s.dataMode == GeneratorSettings::Mode::Fixed && s.lenMode == GeneratorSettings::Mode::Fixed &&
        s.data.size() != s.len && !s.remote) {
        why = "-D gives " + std::to_string(s.data.size()) + " bytes for frames of " + std::to_string(s.len);
        return false;
    }
    if (s.dataMode == GeneratorSettings::Mode::Fixed && !fd && s.data.size() > 8) {
        why = "a classic frame carries at most 8 bytes of -D";
        return false;
    }
    if (s.dataMode == GeneratorSettings::Mode::Fixed && fd &&
        !validFdLength(static_cast<unsigned>(s.data.size()))) {
        why = "-D gives " + std::to_string(s.data.size()) + " bytes, not a CAN FD length";
        return false;
    }
    return true;
}

FrameGenerator::FrameGenerator(const GeneratorSettings& s, uint32_t seedValue)
    : settings(s), seed(seedValue) {}

TextFrame FrameGenerator::frame(uint64_t k) const {
    using Mode = GeneratorSettings::Mode;
    const GeneratorSettings& s = settings;
    TextFrame f;
    f.fd = s.fd || s.bitRateSwitch;
    f.fdFlags = s.bitRateSwitch ? kFdBitRateSwitch : 0;
    f.remote = s.remote;
    f.extended = s.extended;
    const uint32_t idSpace = s.extended ? 0x20000000u : 0x800u;
    switch (s.idMode) {
        case Mode::Random:
            f.id = static_cast<uint32_t>(mix(seed, k, 1) % idSpace);
            break;
        case Mode::Increment:
            f.id = static_cast<uint32_t>(k % idSpace);
            break;
        case Mode::Fixed:
            f.id = s.id;
            break;
    }
    // The lengths a frame can have, in order.
    const unsigned choices = f.fd ? sizeof kFdLengths : 9;
    auto lengthAt = [&](uint64_t n) {
        return f.fd ? kFdLengths[n % choices] : static_cast<unsigned>(n % choices);
    };
    unsigned len = 0;
    switch (s.lenMode) {
        case Mode::Random:
            len = lengthAt(mix(seed, k, 2));
            break;
        case Mode::Increment:
            len = lengthAt(k);
            break;
        case Mode::Fixed:
            len = s.len;
            break;
    }
    if (s.lenMode == Mode::Random && s.dataMode == Mode::Fixed) len = static_cast<unsigned>(s.data.size());
    f.len = static_cast<uint8_t>(len);
    if (f.remote) return f;
    switch (s.dataMode) {
        case Mode::Random:
            for (unsigned b = 0; b < len; b += 8) {
                const uint64_t word = mix(seed, k, 3 + b / 8);
                for (unsigned j = 0; j < 8 && b + j < len; ++j)
                    f.data[b + j] = static_cast<uint8_t>(word >> (8 * j));
            }
            break;
        case Mode::Increment:
            // The frame's number, least significant byte first.
            for (unsigned j = 0; j < len && j < 8; ++j) f.data[j] = static_cast<uint8_t>(k >> (8 * j));
            break;
        case Mode::Fixed:
            memcpy(f.data, s.data.data(), std::min<size_t>(s.data.size(), sizeof f.data));
            break;
    }
    return f;
}

}  // namespace ycantool
