#include "tools/ycan/bit_timing.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace ycantool {

double BitTiming::bitRate(unsigned clockHz) const {
    return static_cast<double>(clockHz) / (static_cast<double>(prescaler) * quanta());
}

double BitTiming::samplePoint() const { return static_cast<double>(1 + tseg1) / quanta(); }

uint32_t packTimingWord(const BitTiming& t) {
    return static_cast<uint32_t>((t.prescaler - 1) & 0x3FF) << 22 |
           static_cast<uint32_t>((t.sjw - 1) & 0x7F) << 15 |
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

const TimingLimits kFdArbitration{1, 1024, 2, 256, 1, 128, 128, 5000, 1000000};
const TimingLimits kFdData{1, 1024, 2, 256, 1, 128, 128, 5000, 8000000};
const TimingLimits kSja1000{2, 128, 1, 16, 1, 8, 4, 5000, 1000000};

namespace {

std::string rateText(double rate) {
    char buf[48];
    if (rate >= 1e6)
        snprintf(buf, sizeof buf, "%g Mbit/s", rate / 1e6);
    else if (rate >= 1e3)
        snprintf(buf, sizeof buf, "%g kbit/s", rate / 1e3);
    else
        snprintf(buf, sizeof buf, "%g bit/s", rate);
    return buf;
}

bool prescalerFits(unsigned prescaler, const TimingLimits& limits) {
    return prescaler >= limits.prescalerStep && prescaler <= limits.maxPrescaler &&
           prescaler % limits.prescalerStep == 0;
}

}  // namespace

std::string timingProblem(const BitTiming& t, unsigned clockHz, const TimingLimits& limits) {
    std::string why;
    auto add = [&](const std::string& s) { why += (why.empty() ? "" : ", ") + s; };
    if (!prescalerFits(t.prescaler, limits))
        add("prescaler " + std::to_string(t.prescaler) + " out of range");
    if (t.tseg1 < limits.minTseg1 || t.tseg1 > limits.maxTseg1)
        add("tseg1 " + std::to_string(t.tseg1) + " (" + std::to_string(limits.minTseg1) + " to " +
            std::to_string(limits.maxTseg1) + ")");
    if (t.tseg2 < limits.minTseg2 || t.tseg2 > limits.maxTseg2)
        add("tseg2 " + std::to_string(t.tseg2) + " (" + std::to_string(limits.minTseg2) + " to " +
            std::to_string(limits.maxTseg2) + ")");
    if (t.sjw < 1 || t.sjw > limits.maxSjw || t.sjw > t.tseg2 || t.sjw > t.tseg1)
        add("jump width " + std::to_string(t.sjw) + " (1 to " +
            std::to_string(std::min({limits.maxSjw, t.tseg1, t.tseg2})) + ")");
    const double rate = t.bitRate(clockHz);
    if (rate > limits.maxBitRate * (1 + 1e-9) || rate < limits.minBitRate * (1 - 1e-9))
        add(rateText(rate) + " (" + rateText(limits.minBitRate) + " to " + rateText(limits.maxBitRate) + ")");
    return why;
}

std::optional<TimingChoice> nearestTiming(unsigned clockHz, unsigned bitRate, double samplePoint,
                                          unsigned sjw, const TimingLimits& limits) {
    std::optional<TimingChoice> best;
    double bestSpError = 0;
    if (bitRate == 0 || clockHz == 0) return best;
    const unsigned maxQuanta = 1 + limits.maxTseg1 + limits.maxTseg2;
    const unsigned minQuanta = std::max(4u, 1 + limits.minTseg1 + limits.minTseg2);
    for (unsigned quanta = maxQuanta; quanta >= minQuanta; --quanta) {
        // The prescalers either side of the exact one.
        const double step = limits.prescalerStep;
        const double exact = static_cast<double>(clockHz) / (static_cast<double>(quanta) * bitRate) / step;
        for (double p : {std::floor(exact) * step, std::ceil(exact) * step}) {
            if (p < step || p > limits.maxPrescaler) continue;
            BitTiming t;
            t.prescaler = static_cast<unsigned>(p);
            t.sjw = sjw;
            const double phase2 = std::round(static_cast<double>(quanta) * (1.0 - samplePoint));
            t.tseg2 = static_cast<unsigned>(std::clamp(phase2, static_cast<double>(limits.minTseg2),
                                                       static_cast<double>(limits.maxTseg2)));
            if (quanta - 1 < t.tseg2 + limits.minTseg1) continue;
            t.tseg1 = quanta - 1 - t.tseg2;
            if (t.tseg1 > limits.maxTseg1) {
                t.tseg1 = limits.maxTseg1;
                t.tseg2 = quanta - 1 - t.tseg1;
            }
            if (!timingProblem(t, clockHz, limits).empty()) continue;
            const double rate = t.bitRate(clockHz);
            const double rateError = (rate - bitRate) / bitRate;
            if (std::fabs(rateError) > kMaxRateError) continue;
            const double spError = std::fabs(t.samplePoint() - samplePoint);
            // Larger quanta come first: they win among equals.
            const bool better = !best || std::fabs(rateError) < std::fabs(best->rateError) - 1e-12 ||
                                (std::fabs(std::fabs(rateError) - std::fabs(best->rateError)) <= 1e-12 &&
                                 spError < bestSpError - 1e-9);
            if (better) {
                best = TimingChoice{t, rate, rateError};
                bestSpError = spError;
            }
        }
    }
    return best;
}

void packBtr(const BitTiming& t, uint8_t& btr0, uint8_t& btr1) {
    btr0 = static_cast<uint8_t>(((t.sjw - 1) & 0x3) << 6 | ((t.prescaler / 2 - 1) & 0x3F));
    btr1 = static_cast<uint8_t>(((t.tseg2 - 1) & 0x7) << 4 | ((t.tseg1 - 1) & 0xF));
}

BitTiming unpackBtr(uint8_t btr0, uint8_t btr1) {
    BitTiming t;
    t.sjw = (btr0 >> 6 & 0x3) + 1;
    t.prescaler = 2 * ((btr0 & 0x3F) + 1);
    t.tseg2 = (btr1 >> 4 & 0x7) + 1;
    t.tseg1 = (btr1 & 0xF) + 1;
    return t;
}

unsigned parseBitRate(const std::string& text) {
    if (text.empty()) return 0;
    char* end = nullptr;
    const double value = strtod(text.c_str(), &end);
    double scale = 1;
    const std::string unit(end);
    if (unit == "k" || unit == "K")
        scale = 1e3;
    else if (unit == "M" || unit == "m")
        scale = 1e6;
    else if (!unit.empty())
        return 0;
    const double rate = value * scale;
    if (!(rate >= 1 && rate <= 20e6)) return 0;
    return static_cast<unsigned>(std::lround(rate));
}

std::string rateName(double bitRate) {
    const long long rate = std::llround(bitRate);
    if (rate != 0 && rate % 1000000 == 0) return std::to_string(rate / 1000000) + "M";
    if (rate != 0 && rate % 1000 == 0) return std::to_string(rate / 1000) + "k";
    return std::to_string(rate);
}

}  // namespace ycantool
