// Monotonic microsecond clock: the one time base of every time-out in the
// library.
#pragma once

#include <cstdint>

extern "C" {
// Current CLOCK_MONOTONIC time in microseconds.
uint64_t getCurMicroSec(void);
// Microseconds elapsed since start, where start is the low 32 bits of an
// earlier getCurMicroSec(). Survives one wrap of the 32-bit clock.
uint32_t getLapseMicroSec(uint32_t start);
}

namespace ycan {
// The elapsed-time rule of getLapseMicroSec for a given "now": when the 32-bit
// clock has wrapped since start the result is one less than the modular
// difference. Kept separate so the rule can be checked at the wrap point.
constexpr uint32_t lapseBetween(uint32_t start, uint32_t now) {
    return now >= start ? now - start : now - start - 1u;
}

// Low 32 bits of the clock, the form drivers keep as a start time.
inline uint32_t curMicroSec32() { return static_cast<uint32_t>(getCurMicroSec()); }
}  // namespace ycan
