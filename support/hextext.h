// Hexadecimal text to numbers, for the key/value settings of the drivers.
// The text holds hex digits only, most significant first; a character that
// is not a hex digit counts as 0, and text shorter than the value's width
// gives 0. Only the first 2, 4 or 8 characters are read.
#pragma once

#include <cstdint>

extern "C" {
int char2Hex(char c);
uint8_t str2Byte(const char* text);
uint16_t str2Word(const char* text);
uint32_t str2DWord(const char* text);
}
