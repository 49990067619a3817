#include "support/clock.h"

#include <ctime>

extern "C" uint64_t getCurMicroSec(void) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

extern "C" uint32_t getLapseMicroSec(uint32_t start) {
    return ycan::lapseBetween(start, ycan::curMicroSec32());
}
