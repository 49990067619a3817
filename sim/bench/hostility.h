// A virtual device that misbehaves, driven by a seed: what it sends on the
// chosen IN endpoints is replaced by random bytes, truncated, delayed (what
// follows waits behind it), delayed alone (what follows overtakes it) or
// sent twice, and transfers the host submits on the chosen endpoints are
// stalled for a while (the device clears the stall itself). Percentages are
// per chunk sent or per transfer submitted.
#pragma once

#include <cstdint>
#include <vector>

namespace ycansim {

struct Hostility {
    uint32_t seed = 1;
    std::vector<uint8_t> tamperEps;  // IN endpoints whose chunks are tampered with
    int replacePct = 0;
    int truncatePct = 0;
    int delayPct = 0;
    int reorderPct = 0;
    int duplicatePct = 0;
    int maxDelayMs = 20;
    std::vector<uint8_t> stallEps;  // endpoints whose transfers may be stalled
    int stallPct = 0;
    int stallMs = 20;
};

// What a hostile device did so far.
struct HostileCounts {
    uint64_t chunks = 0;  // chunks on tampered endpoints
    uint64_t replaced = 0;
    uint64_t truncated = 0;
    uint64_t delayed = 0;
    uint64_t reordered = 0;
    uint64_t duplicated = 0;
    uint64_t stalls = 0;
};

}  // namespace ycansim
