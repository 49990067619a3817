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

// The timing that gives exactly `bitRate` at `clockHz` with the sample point
// nearest `samplePoint` (0..1), the most time quanta among equals, SJW 1;
// none when no prescaler divides the clock into that rate.
std::optional<BitTiming> findTiming(unsigned clockHz, unsigned bitRate, double samplePoint);

// "500k", "2M", "1000000" -> bits per second; 0 when not a rate.
unsigned parseBitRate(const std::string& text);

}  // namespace ycantool
