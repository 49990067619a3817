#include "support/hextext.h"

#include <cstdlib>
#include <cstring>

extern "C" int char2Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

// strnlen stops counting at the width, so longer text is accepted and its
// rest ignored; a null text reads as empty.
static bool hasAtLeast(const char* text, size_t width) {
    return text != nullptr && strnlen(text, width) >= width;
}

extern "C" uint8_t str2Byte(const char* text) {
    if (!hasAtLeast(text, 2)) return 0;
    return static_cast<uint8_t>(char2Hex(text[0]) * 16 + char2Hex(text[1]));
}

extern "C" uint16_t str2Word(const char* text) {
    if (!hasAtLeast(text, 4)) return 0;
    return static_cast<uint16_t>(str2Byte(text) * 256u + str2Byte(text + 2));
}

extern "C" uint32_t str2DWord(const char* text) {
    if (!hasAtLeast(text, 8)) return 0;
    return static_cast<uint32_t>(str2Word(text)) * 65536u + str2Word(text + 4);
}

int decimalText(const char* text) {
    if (text == nullptr) return 0;
    return static_cast<int>(strtol(text, nullptr, 10));
}
