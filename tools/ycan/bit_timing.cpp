#include "tools/ycan/bit_timing.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace ycantool {

double BitTiming::bitRate(unsigned clockHz) const {
    return static_cast<double>(clockHz) / (static_cast<double>(prescaler) * quanta());
}

double BitTiming::samplePoint() const { return static_cast<double>(1 + tseg1) / quanta(); }

uint32_t packTimingWord(const BitTiming& t) {
    return static_cast<uint32_t>((t.prescaler - 1) & 0x3FF) << 22 | static_cast<uint32_t>((t.sjw - 1) & 0x7F) << 15 |
           static_cast<uint32_t>((t.tseg2 - 1) & 0x7F) << 8 | static_cast<uint32_t>((t.tseg1 - 1) & 0xFF);
}

BitTiming unpackTimingWord(uint32_t w) {
    BitTiming t;
    t.prescaler = (w >> 22 & 0x3FF) + 1;
    t.sjw = (w >> 15 & 0x7F) + 1;
    t.tseg2 = (w >> 8 & 0x7F) + 1;
    t.tseg1 = (w & 0xFF) + 1;
    return t;
}

std::optional<BitTiming> findTiming(unsigned clockHz, unsigned bitRate, double samplePoint) {
    std::optional<BitTiming> best;
    double bestError = 0;
    if (bitRate == 0) return best;
    for (unsigned prescaler = 1; prescaler <= 1024; ++prescaler) {
        const uint64_t perBit = static_cast<uint64_t>(prescaler) * bitRate;
        if (clockHz % perBit != 0) continue;
        const uint64_t quanta = clockHz / perBit;
        if (quanta < 4 || quanta > 1 + 256 + 128) continue;
        BitTiming t;
        t.prescaler = prescaler;
        const double phase2 = std::round(static_cast<double>(quanta) * (1.0 - samplePoint));
        t.tseg2 = static_cast<unsigned>(std::clamp(phase2, 1.0, 128.0));
        t.tseg1 = static_cast<unsigned>(quanta) - 1 - t.tseg2;
        if (t.tseg1 < 1 || t.tseg1 > 256) continue;
        const double error = std::fabs(t.samplePoint() - samplePoint);
        // Smaller prescalers come first: among equal errors the first has
        // the most time quanta.
        if (!best || error < bestError - 1e-9) {
            best = t;
            bestError = error;
        }
    }
    return best;
}

unsigned parseBitRate(const std::string& text) {
    if (text.empty()) return 0;
    char* end = nullptr;
    const double value = strtod(text.c_str(), &end);
    double scale = 1;
    const std::string unit(end);
    if (unit == "k" || unit == "K") scale = 1e3;
    else if (unit == "M" || unit == "m") scale = 1e6;
    else if (!unit.empty()) return 0;
    const double rate = value * scale;
    if (!(rate >= 1 && rate <= 20e6)) return 0;
    return static_cast<unsigned>(std::lround(rate));
}

}  // namespace ycantool
