// What ycan top shows, from the frames received and when: per identifier
// the count, rate, period and last data with the bytes that changed; per
// channel the frame rate and the bus load against the bit rates.
#pragma once

#include <cstdint>
#include <map>
#include <tuple>
#include <vector>

#include "tools/ycan/adapter_target.h"
#include "tools/ycan/frame_text.h"

namespace ycantool {

// Bits a frame takes on the bus without stuff bits (as canbusload counts by
// default): those sent at the arbitration rate and those of the data phase
// (at the data rate when the frame switches bit rate).
struct FrameBits {
    unsigned nominal = 0;
    unsigned data = 0;
};
FrameBits frameBits(const TextFrame& f);
// Seconds the frame occupies the bus.
double frameSeconds(const TextFrame& f, const BusRates& rates);

class BusStats {
public:
    explicit BusStats(const BusRates& r) : rates(r) {}

    struct Identifier {
        uint64_t count = 0;
        double rate = 0;       // frames/s over the last window
        double period = 0;     // seconds between frames, smoothed; 0 until two came
        double last = 0;       // when the last one came
        TextFrame frame;       // the last one
        uint64_t changed = 0;  // bit k: byte k differs from the frame before
        uint64_t inWindow = 0;
    };
    struct Channel {
        double rate = 0;  // frames/s over the last window
        double load = 0;  // share of the window the bus was busy, 0..1
        uint64_t inWindow = 0;
        double busySeconds = 0;
    };
    // (channel, extended, identifier)
    using Key = std::tuple<uint32_t, bool, uint32_t>;

    void add(uint32_t channel, const TextFrame& f, double when);
    // Ends the window at `now`: rates and loads are those since the last call.
    void tick(double now);
    void addChannel(uint32_t channel) { channelStats[channel]; }

    const std::map<Key, Identifier>& identifiers() const { return ids; }
    const std::map<uint32_t, Channel>& channels() const { return channelStats; }

private:
    BusRates rates;
    std::map<Key, Identifier> ids;
    std::map<uint32_t, Channel> channelStats;
    double windowStart = -1;
};

}  // namespace ycantool
