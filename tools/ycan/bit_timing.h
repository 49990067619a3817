// CAN FD bit timing words: what one means, and one for a given bit rate.
// Word layout (the adapters' own): bits 31..22 prescaler - 1, 21..15 SJW - 1,
// 14..8 TSEG2 - 1, 7..0 TSEG1 - 1; a bit lasts 1 + TSEG1 + TSEG2 time
// quanta of prescaler clock periods.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ycantool {

struct BitTiming {
    unsigned prescaler = 1;  // 1..1024
    unsigned sjw = 1;        // 1..128
    unsigned tseg1 = 1;      // 1..256 (propagation + phase 1)
    unsigned tseg2 = 1;      // 1..128 (phase 2)

    unsigned quanta() const { return 1 + tseg1 + tseg2; }
    double bitRate(unsigned clockHz) const;
    // Share of the bit before the sample, 0..1.
    double samplePoint() const;
};

uint32_t packTimingWord(const BitTiming& t);
BitTiming unpackTimingWord(uint32_t word);

// What a controller accepts: field ranges, and the bit rates of a phase.
struct TimingLimits {
    unsigned prescalerStep;  // the prescaler is a multiple of this
    unsigned maxPrescaler;
    unsigned minTseg1, maxTseg1;
    unsigned minTseg2, maxTseg2;
    unsigned maxSjw;
    double minBitRate, maxBitRate;
};
// The CAN FD controllers: the word's fields, at least 4 time quanta a bit
// (the adapters' own 5 Mbit/s words have 4), arbitration up to 1 Mbit/s,
// data phase up to 8 Mbit/s.
extern const TimingLimits kFdArbitration;
extern const TimingLimits kFdData;
// The classic adapters' SJA1000 at 16 MHz (time quantum 2 x (BRP + 1) clock
// periods, TSEG1 1..16, TSEG2 1..8, SJW 1..4), up to 1 Mbit/s.
extern const TimingLimits kSja1000;
constexpr unsigned kSja1000ClockHz = 16000000;

// Why a timing is outside the limits at this clock; empty when it fits.
std::string timingProblem(const BitTiming& t, unsigned clockHz, const TimingLimits& limits);

struct TimingChoice {
    BitTiming timing;
    double bitRate = 0;    // what it gives
    double rateError = 0;  // (bitRate - asked) / asked
};

// As the Linux kernel's bit-timing calculation: the timing nearest
// `bitRate` at `clockHz`, among equal rates the sample point nearest
// `samplePoint` (0..1), among those the most time quanta; SJW `sjw`. None
// when nothing within the limits comes within 5 % of the rate.
std::optional<TimingChoice> nearestTiming(unsigned clockHz, unsigned bitRate, double samplePoint,
                                          unsigned sjw, const TimingLimits& limits);
constexpr double kMaxRateError = 0.05;

// SJA1000 bus timing registers: BTR0 = SJW-1 (2 bits) | BRP (6 bits);
// BTR1 = SAM (1 bit) | TSEG2-1 (3 bits) | TSEG1-1 (4 bits). The "prescaler"
// of a BitTiming here counts clock periods per time quantum: 2 x (BRP + 1).
void packBtr(const BitTiming& t, uint8_t& btr0, uint8_t& btr1);
BitTiming unpackBtr(uint8_t btr0, uint8_t btr1);

// "500k", "2M", "1000000" -> bits per second; 0 when not a rate.
unsigned parseBitRate(const std::string& text);
// The other way: "1M", "500k", "83333" (a rate that is not whole, rounded).
std::string rateName(double bitRate);

}  // namespace ycantool
