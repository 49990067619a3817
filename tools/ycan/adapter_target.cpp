#include "tools/ycan/adapter_target.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <tuple>
#include <type_traits>

#include "tools/ycan/adapter_holder.h"
#include "tools/ycan/attached_adapters.h"
#include "tools/ycan/bit_timing.h"
#include "ycan.h"

namespace ycantool {

namespace {

bool parseNumber(const std::string& s, uint32_t& value) {
    if (s.empty() || s.size() > 9) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    value = static_cast<uint32_t>(strtoul(s.c_str(), nullptr, 10));
    return true;
}

// SJA1000 bus timing registers (16 MHz) of the usual classic bit rates.
struct Btr {
    unsigned rate;
    uint8_t btr0, btr1;
};
constexpr Btr kClassicRates[] = {{1000000, 0x00, 0x14}, {800000, 0x00, 0x16}, {500000, 0x00, 0x1C},
                                 {250000, 0x01, 0x1C},  {125000, 0x03, 0x1C}, {100000, 0x04, 0x1C},
                                 {50000, 0x09, 0x1C},   {20000, 0x18, 0x1C},  {10000, 0x31, 0x1C}};

// The rates the CAN FD adapters have words for (the library looks them up).
constexpr unsigned kFdArbitrationRates[] = {1000000, 800000, 500000, 250000, 125000, 100000, 50000};
constexpr unsigned kFdDataRates[] = {5000000, 4000000, 2000000, 1000000, 800000,
                                     500000,  250000,  125000,  100000,  50000};
constexpr double kDefaultSamplePoint = 0.8;

template <typename Rates>
std::string rateList(const Rates& rates) {
    std::string list;
    for (const auto& r : rates) {
        if constexpr (std::is_same_v<std::decay_t<decltype(r)>, Btr>)
            list += (list.empty() ? "" : ", ") + rateName(r.rate);
        else
            list += (list.empty() ? "" : ", ") + rateName(r);
    }
    return list;
}

template <typename Rates>
bool inTable(const Rates& rates, unsigned rate) {
    return std::find(std::begin(rates), std::end(rates), rate) != std::end(rates);
}

char sign(double x) { return x < 0 ? '-' : '+'; }

// A computed timing for a rate the table lacks; false when none reaches it.
bool computeTiming(const char* what, unsigned clockHz, unsigned rate, double samplePoint,
                   const TimingLimits& limits, const std::string& table, BitTiming& out, std::string& why) {
    const auto c =
        nearestTiming(clockHz, rate, samplePoint > 0 ? samplePoint : kDefaultSamplePoint, 1, limits);
    if (!c) {
        why = "no bus timing of this adapter reaches " + std::to_string(rate) + " bit/s" + what +
              " (the table rates: " + table + ")";
        return false;
    }
    out = c->timing;
    fprintf(stderr,
            "ycan: %u bit/s%s: %u time quanta of %u clock periods give %.0f bit/s (%c%.3f %%), "
            "sample point %.1f %%\n",
            rate, what, out.quanta(), out.prescaler, c->bitRate, sign(c->rateError),
            std::fabs(c->rateError) * 100, out.samplePoint() * 100);
    return true;
}

}  // namespace

bool fitToAdapter(const Target& t, BusSettings& bus, std::string& why) {
    const AdapterModel* model = modelOfType(t.type);
    if (model == nullptr || model->family == AdapterFamily::Recorder) return true;
    if (t.channel >= model->channels) {
        why = "adapter type " + std::to_string(t.type) + " has channels 0 to " +
              std::to_string(model->channels - 1);
        return false;
    }
    if (model->family == AdapterFamily::Classic) {
        if (bus.timingWords) {
            why = "--timing is for CAN FD adapters; a classic adapter takes --bitrate or --btr";
            return false;
        }
        if (bus.dataBitRateGiven || bus.dataSamplePoint > 0) {
            why = "a classic adapter has no data phase (--dbitrate, --dsample-point)";
            return false;
        }
        if (bus.btrGiven) {
            const std::string problem =
                timingProblem(unpackBtr(bus.btr0, bus.btr1), kSja1000ClockHz, kSja1000);
            if (!problem.empty()) {
                why = "--btr outside the controller's range: " + problem;
                return false;
            }
            return true;
        }
        const Btr* found = nullptr;
        for (const Btr& b : kClassicRates)
            if (b.rate == bus.bitRate) found = &b;
        if (found != nullptr && bus.samplePoint == 0) {
            bus.btr0 = found->btr0;
            bus.btr1 = found->btr1;
        } else {
            BitTiming timing;
            if (!computeTiming("", kSja1000ClockHz, bus.bitRate, bus.samplePoint, kSja1000,
                               rateList(kClassicRates), timing, why))
                return false;
            packBtr(timing, bus.btr0, bus.btr1);
        }
        bus.btrGiven = true;
        return true;
    }
    // CAN FD
    if (bus.btrGiven) {
        why = "--btr is for classic adapters; a CAN FD adapter takes --bitrate, --dbitrate or --timing";
        return false;
    }
    const unsigned clockHz = model->clockMHz * 1000000u;
    if (bus.timingWords) {
        for (const auto& [word, limits, name] : {std::tuple{bus.abitTiming, &kFdArbitration, "arbitration"},
                                                 std::tuple{bus.dbitTiming, &kFdData, "data"}}) {
            const std::string problem = timingProblem(unpackTimingWord(word), clockHz, *limits);
            if (!problem.empty()) {
                char hex[16];
                snprintf(hex, sizeof hex, "0x%08X", word);
                why = std::string("--timing ") + name + " word " + hex +
                      " outside the controller's range at " + std::to_string(model->clockMHz) +
                      " MHz: " + problem;
                return false;
            }
        }
        return true;
    }
    const bool tableRates =
        inTable(kFdArbitrationRates, bus.bitRate) && inTable(kFdDataRates, bus.dataBitRate);
    if (tableRates && bus.samplePoint == 0 && bus.dataSamplePoint == 0) return true;
    BitTiming arbitration, data;
    if (!computeTiming(" (arbitration)", clockHz, bus.bitRate, bus.samplePoint, kFdArbitration,
                       rateList(kFdArbitrationRates), arbitration, why) ||
        !computeTiming(" (data phase)", clockHz, bus.dataBitRate, bus.dataSamplePoint, kFdData,
                       rateList(kFdDataRates), data, why))
        return false;
    bus.timingWords = true;
    bus.abitTiming = packTimingWord(arbitration);
    bus.dbitTiming = packTimingWord(data);
    return true;
}

std::string Target::interfaceName() const {
    return "ycan" + std::to_string(type) + "-" + std::to_string(index) + "-" + std::to_string(channel);
}

std::string Target::name() const {
    switch (by) {
        case By::Port:
            return std::to_string(type) + "@" + place;
        case By::Serial:
            return std::to_string(type) + "#" + place;
        case By::Index:
            break;
    }
    return std::to_string(type) + ":" + std::to_string(index);
}

namespace {

// BUS-PORT[.PORT...], decimal numbers from 1 (up to 7 levels of hubs).
bool validPortPath(const std::string& s) {
    const size_t dash = s.find('-');
    uint32_t n = 0;
    if (dash == std::string::npos || !parseNumber(s.substr(0, dash), n) || n == 0 || s[0] == '0') return false;
    size_t from = dash + 1;
    int levels = 0;
    for (;;) {
        const size_t dot = s.find('.', from);
        const std::string part = s.substr(from, dot == std::string::npos ? std::string::npos : dot - from);
        if (!parseNumber(part, n) || n == 0 || n > 255 || part[0] == '0' || ++levels > 7) return false;
        if (dot == std::string::npos) return true;
        from = dot + 1;
    }
}

// "TYPE@PORT[:CH]" and "TYPE#SERIAL[:CH]" (text[at] is '@' or '#').
bool parsePlace(const std::string& text, size_t at, bool withChannel, Target& t, std::string& why) {
    std::string rest = text.substr(at + 1);
    const size_t colon = rest.rfind(':');
    const bool port = text[at] == '@';
    if (withChannel && colon != std::string::npos) {
        const std::string ch = rest.substr(colon + 1);
        if (parseNumber(ch, t.channel)) {
            rest.resize(colon);
        } else if (port) {
            why = "expected TYPE@PORT[:CH] with a channel number, e.g. 43@1-2.3:0";
            return false;
        }
    }
    t.by = port ? Target::By::Port : Target::By::Serial;
    t.place = rest;
    if (port && !validPortPath(rest)) {
        why = "\"" + rest + "\" is not a USB port path: BUS-PORT[.PORT...] as 'ycan list' shows it, e.g. 1-2.3";
        return false;
    }
    if (!port && (rest.empty() || rest.find_first_of(" \t\n") != std::string::npos)) {
        why = "expected TYPE#SERIAL, the serial number as 'ycan list' shows it, e.g. 43#0123ABCD";
        return false;
    }
    return true;
}

}  // namespace

bool parseTarget(const std::string& text, bool withChannel, Target& out, std::string& why) {
    const size_t at = text.find_first_of("@#");
    if (at != std::string::npos && at < text.find(':')) {
        Target t;
        if (!parseNumber(text.substr(0, at), t.type)) {
            why = "expected a device type before '" + text.substr(at, 1) + "', e.g. 43@1-2.3";
            return false;
        }
        if (!parsePlace(text, at, withChannel, t, why)) return false;
        out = t;
        return true;
    }
    std::vector<std::string> parts;
    size_t from = 0;
    for (size_t colon; (colon = text.find(':', from)) != std::string::npos; from = colon + 1)
        parts.push_back(text.substr(from, colon - from));
    parts.push_back(text.substr(from));
    Target t;
    const bool shapeOk = parts.size() == 2 || (withChannel && parts.size() == 3);
    if (!shapeOk || !parseNumber(parts[0], t.type) || !parseNumber(parts[1], t.index) ||
        (parts.size() == 3 && !parseNumber(parts[2], t.channel))) {
        why = withChannel ? "expected TYPE:INDEX[:CH], e.g. 43:0:0 (or TYPE@PORT[:CH], TYPE#SERIAL[:CH])"
                          : "expected TYPE:INDEX, e.g. 43:0 (or TYPE@PORT, TYPE#SERIAL)";
        return false;
    }
    out = t;
    return true;
}

std::vector<const AdapterModel*> knownModels() {
    std::vector<const AdapterModel*> out;
    for (const AdapterModel& m : ycan::adapterModels())
        if (m.family != AdapterFamily::ClassicReserved) out.push_back(&m);
    return out;
}

const AdapterModel* modelOfType(uint32_t type) {
    const AdapterModel* m = ycan::findAdapterModel(type);
    return m != nullptr && m->family != AdapterFamily::ClassicReserved ? m : nullptr;
}

void reportFailure(const std::string& what) {
    fprintf(stderr, "ycan: %s: %s (last error %d)\n", what.c_str(), YCAN_GetLastErrorStr(),
            YCAN_GetLastError());
}

void reportOpenFailure(const Target& t) {
    std::string why = accessDenied(t);
    if (why.empty()) why = inUseBy(t);
    const std::string name = t.name();
    // The classic adapters' open leaves the last error as it was: say what
    // is known instead of "OK".
    if (why.empty() && YCAN_GetLastError() == YCAN_ERR_OK)
        why = "cannot open " + name +
              (isAttached(t) ? ": it is attached but did not answer (the library's log lines above say more)"
                             : ": no such adapter is attached ('ycan list' shows the ones that are)");
    if (!why.empty())
        fprintf(stderr, "ycan: %s\n", why.c_str());
    else
        reportFailure("cannot open " + name);
}

bool openAndStart(Target& t, const BusSettings& bus) {
    return openAndStartChannels(t, {t.channel}, bus);
}

bool openAndStartChannels(Target& t, const std::vector<uint32_t>& channels, const BusSettings& bus) {
    const AdapterModel* model = modelOfType(t.type);
    if (model == nullptr || model->family == AdapterFamily::Recorder) {
        fprintf(stderr, "ycan: device type %u is not a CAN or CAN FD adapter\n", t.type);
        return false;
    }
    if (!openTarget(t)) return false;
    const std::string name = t.name();
    for (uint32_t ch : channels) {
        int ok;
        if (model->family == AdapterFamily::Classic) {
            _YCAN_INIT_CONFIG c{};
            c.AcceptMask = 0xFFFFFFFF;
            c.FilterType = 1;
            c.BusTiming0 = bus.btr0;
            c.BusTiming1 = bus.btr1;
            ok = YCAN_InitCAN(t.type, t.index, ch, &c);
        } else {
            _YCAN_INITFD_CONFIG c{};
            c.FdEnable = 1;
            if (bus.timingWords) {
                c.AbitTiming = bus.abitTiming;
                c.DbitTiming = bus.dbitTiming;
            } else {
                c.AbitBaudRate = bus.bitRate;
                c.DbitBaudRate = bus.dataBitRate;
            }
            ok = YCAN_InitCANFD(t.type, t.index, ch, &c);
        }
        if (ok != 1) {
            reportFailure("cannot initialise channel " + std::to_string(ch) + " of " + name);
            YCAN_CloseDevice(t.type, t.index);
            return false;
        }
    }
    return true;
}

BusRates busRates(const Target& t, const BusSettings& bus) {
    BusRates r;
    const AdapterModel* model = modelOfType(t.type);
    if (model == nullptr) return r;
    if (model->family == AdapterFamily::Classic) {
        r.nominal = unpackBtr(bus.btr0, bus.btr1).bitRate(kSja1000ClockHz);
        r.data = r.nominal;
    } else if (bus.timingWords) {
        r.nominal = unpackTimingWord(bus.abitTiming).bitRate(model->clockMHz * 1000000u);
        r.data = unpackTimingWord(bus.dbitTiming).bitRate(model->clockMHz * 1000000u);
    } else {
        r.nominal = bus.bitRate;
        r.data = bus.dataBitRate;
    }
    return r;
}

}  // namespace ycantool
