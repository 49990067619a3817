#include "tools/ycan/bus_stats.h"

#include <algorithm>

namespace ycantool {

FrameBits frameBits(const TextFrame& f) {
    const unsigned payload = f.remote ? 0 : 8u * f.len;
    FrameBits b;
    if (!f.fd) {
        // SOF, identifier, RTR/SRR, IDE, (extension, RTR), reserved, DLC,
        // data, CRC 15 and delimiter, ACK and delimiter, EOF 7, IFS 3.
        b.nominal = (f.extended ? 67u : 47u) + payload;
        return b;
    }
    // Arbitration: SOF, identifier (and SRR, IDE, extension), RRS, IDE, FDF,
    // res, BRS; after the data phase: ACK and delimiter, EOF 7, IFS 3.
    b.nominal = (f.extended ? 36u : 17u) + 12u;
    // ESI, DLC, data, stuff count, CRC 17 or 21, CRC delimiter.
    b.data = 1 + 4 + payload + 4 + (f.len > 16 ? 21u : 17u) + 1;
    return b;
}

double frameSeconds(const TextFrame& f, const BusRates& rates) {
    if (rates.nominal <= 0) return 0;
    const FrameBits b = frameBits(f);
    const bool switched = f.fd && (f.fdFlags & kFdBitRateSwitch) != 0 && rates.data > 0;
    return b.nominal / rates.nominal + b.data / (switched ? rates.data : rates.nominal);
}

void BusStats::add(uint32_t channel, const TextFrame& f, double when) {
    Identifier& s = ids[Key{channel, f.extended, f.id}];
    if (s.count > 0) {
        const double gap = std::max(0.0, when - s.last);
        s.period = s.count == 1 ? gap : 0.8 * s.period + 0.2 * gap;
        s.changed = 0;
        const unsigned n = std::max(f.len, s.frame.len);
        for (unsigned k = 0; k < n && k < 64; ++k)
            if (k >= s.frame.len || k >= f.len || s.frame.data[k] != f.data[k]) s.changed |= uint64_t{1} << k;
    }
    ++s.count;
    ++s.inWindow;
    s.last = when;
    s.frame = f;
    Channel& c = channelStats[channel];
    ++c.inWindow;
    c.busySeconds += frameSeconds(f, rates);
}

void BusStats::tick(double now) {
    if (windowStart < 0) {
        windowStart = now;
        return;
    }
    const double span = now - windowStart;
    if (span <= 0) return;
    for (auto& [key, s] : ids) {
        s.rate = s.inWindow / span;
        s.inWindow = 0;
    }
    for (auto& [ch, c] : channelStats) {
        c.rate = c.inWindow / span;
        c.load = std::min(1.0, c.busySeconds / span);
        c.inWindow = 0;
        c.busySeconds = 0;
    }
    windowStart = now;
}

}  // namespace ycantool
