#include "tools/ycan/adapter_target.h"

#include <cstdio>
#include <cstdlib>

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

}  // namespace

std::string Target::interfaceName() const {
    return "ycan" + std::to_string(type) + "-" + std::to_string(index) + "-" + std::to_string(channel);
}

bool parseTarget(const std::string& text, bool withChannel, Target& out, std::string& why) {
    std::vector<std::string> parts;
    size_t from = 0;
    for (size_t colon; (colon = text.find(':', from)) != std::string::npos; from = colon + 1)
        parts.push_back(text.substr(from, colon - from));
    parts.push_back(text.substr(from));
    Target t;
    const bool shapeOk = parts.size() == 2 || (withChannel && parts.size() == 3);
    if (!shapeOk || !parseNumber(parts[0], t.type) || !parseNumber(parts[1], t.index) ||
        (parts.size() == 3 && !parseNumber(parts[2], t.channel))) {
        why = withChannel ? "expected TYPE:INDEX[:CH], e.g. 43:0:0" : "expected TYPE:INDEX, e.g. 43:0";
        return false;
    }
    out = t;
    return true;
}

const std::vector<Model>& knownModels() {
    static const std::vector<Model> models = {
        {0x0471, 0x1200, Family::Classic, {3, 4}, 2, 0},
        {0x3068, 0x0009, Family::CanFd, {41, 42, 43}, 2, 60},
        {0x0471, 0x3014, Family::CanFd, {64}, 4, 60},
        {0x0471, 0x2014, Family::CanFd, {65}, 4, 60},
        {0x0471, 0x2018, Family::CanFd, {66}, 8, 80},
        {0x0471, 0x3018, Family::CanFd, {67}, 8, 80},
        {0x0471, 0x2601, Family::Recorder, {61}, 2, 0},
        {0x0471, 0x2602, Family::Recorder, {62}, 2, 0},
    };
    return models;
}

const Model* modelOfType(uint32_t type) {
    for (const Model& m : knownModels())
        for (uint32_t t : m.types)
            if (t == type) return &m;
    return nullptr;
}

void reportFailure(const std::string& what) {
    fprintf(stderr, "ycan: %s: %s (last error %d)\n", what.c_str(), YCAN_GetLastErrorStr(), YCAN_GetLastError());
}

bool openAndStart(const Target& t, const BusSettings& bus) {
    const Model* model = modelOfType(t.type);
    if (model == nullptr || model->family == Family::Recorder) {
        fprintf(stderr, "ycan: device type %u is not a CAN or CAN FD adapter\n", t.type);
        return false;
    }
    const std::string name = std::to_string(t.type) + ":" + std::to_string(t.index);
    if (YCAN_OpenDevice(t.type, t.index) != 1) {
        reportFailure("cannot open " + name);
        return false;
    }
    int ok;
    if (model->family == Family::Classic) {
        _YCAN_INIT_CONFIG c{};
        c.AcceptMask = 0xFFFFFFFF;
        c.FilterType = 1;
        c.BusTiming0 = bus.btr0;
        c.BusTiming1 = bus.btr1;
        if (!bus.btrGiven) {
            const Btr* found = nullptr;
            for (const Btr& b : kClassicRates)
                if (b.rate == bus.bitRate) found = &b;
            if (found == nullptr) {
                fprintf(stderr, "ycan: no bus timing for %u bit/s on a classic adapter; give --btr\n", bus.bitRate);
                YCAN_CloseDevice(t.type, t.index);
                return false;
            }
            c.BusTiming0 = found->btr0;
            c.BusTiming1 = found->btr1;
        }
        ok = YCAN_InitCAN(t.type, t.index, t.channel, &c);
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
        ok = YCAN_InitCANFD(t.type, t.index, t.channel, &c);
    }
    if (ok != 1) {
        reportFailure("cannot initialise channel " + std::to_string(t.channel) + " of " + name);
        YCAN_CloseDevice(t.type, t.index);
        return false;
    }
    return true;
}

}  // namespace ycantool
