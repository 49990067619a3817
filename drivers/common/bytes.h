// Little-endian reading and writing of the numbers inside adapter packets,
// and the bit timing word's fields: the drivers' one copy. The virtual
// adapters under sim/ keep their own, so that a mistake here is not
// mirrored by the emulation that tests it.
#pragma once

#include <cstdint>

namespace ycan::bytes {

inline uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

inline uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// High byte first.
inline uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

inline void put16(uint8_t* p, unsigned v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// High byte first.
inline void putBe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// Fields of a packed bit timing word, each the value minus one:
// prescaler (31..22), SJW (21..15), TSEG2 (14..8), TSEG1 (7..0).
struct TimingWord {
    unsigned prescaler, sjw, tseg2, tseg1;
    explicit TimingWord(uint32_t w)
        : prescaler(w >> 22), sjw((w >> 15) & 0x7F), tseg2((w >> 8) & 0x7F), tseg1(w & 0xFF) {}
};

// A timing word's fields as the adapters' bit timing commands carry them,
// 7 bytes: prescaler (2), SJW (1), TSEG1 (2), TSEG2 (2), low bytes first.
inline void putTiming(uint8_t* p, uint32_t word) {
    const TimingWord t(word);
    put16(p, t.prescaler);
    p[2] = static_cast<uint8_t>(t.sjw);
    put16(p + 3, t.tseg1);
    put16(p + 5, t.tseg2);
}

}  // namespace ycan::bytes
