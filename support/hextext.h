// Text to numbers, for the key/value settings of the drivers and the log's
// configuration. Hex text holds hex digits only, most significant first; a character that
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

// Decimal text as atoi reads it (leading blanks, a sign, digits; 0 without
// digits), but defined for every text: a value past the range of long is
// clamped to it, then taken modulo 2^32 into an int, as glibc's atoi does.
int decimalText(const char* text);
