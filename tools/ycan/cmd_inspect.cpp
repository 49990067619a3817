// ycan list, info and timing: looking at adapters and bit timings without
// touching the bus.
#include <libusb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "tools/ycan/adapter_target.h"
#include "tools/ycan/bit_timing.h"
#include "tools/ycan/commands.h"
#include "ycan.h"

namespace ycantool {

namespace {

bool wantsHelp(const Args& args) {
    for (const auto& a : args)
        if (a == "--help" || a == "-h") return true;
    return false;
}

const char* familyName(Family f) {
    switch (f) {
        case Family::Classic: return "CAN";
        case Family::CanFd: return "CAN FD";
        case Family::Recorder: return "recorder";
    }
    return "";
}

std::string typeList(const Model& m) {
    std::string out;
    for (uint32_t t : m.types) {
        if (!out.empty()) out += ',';
        out += std::to_string(t);
    }
    return out;
}

}  // namespace

int listCommand(const Args& args) {
    if (wantsHelp(args)) {
        putLine("usage: ycan list\n"
             "Lists the attached adapters the library can open, in USB enumeration order: the device\n"
             "type codes that open each one, its index among adapters of that id (the INDEX to use),\n"
             "USB bus and address, vendor:product id, kind and channel count.");
        return 0;
    }
    if (!args.empty()) usageError("list", "takes no arguments");
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) != LIBUSB_SUCCESS) {
        fprintf(stderr, "ycan list: USB is not available on this machine\n");
        return 1;
    }
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    std::map<std::pair<uint16_t, uint16_t>, int> seen;
    int found = 0;
    fprintf(out(), "%-10s %5s %4s %7s  %-9s  %-8s %s\n", "TYPES", "INDEX", "BUS", "ADDRESS", "ID", "KIND", "CHANNELS");
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(list[i], &d) != LIBUSB_SUCCESS) continue;
        for (const Model& m : knownModels()) {
            if (m.vendorId != d.idVendor || m.productId != d.idProduct) continue;
            const int index = seen[{d.idVendor, d.idProduct}]++;
            fprintf(out(), "%-10s %5d %4u %7u  %04x:%04x  %-8s %u\n", typeList(m).c_str(), index,
                   libusb_get_bus_number(list[i]), libusb_get_device_address(list[i]), d.idVendor,
                   d.idProduct, familyName(m.family), m.channels);
            ++found;
        }
    }
    if (n >= 0) libusb_free_device_list(list, 1);
    libusb_exit(ctx);
    if (found == 0) fprintf(stderr, "ycan list: no adapter attached\n");
    return 0;
}

int infoCommand(const Args& args) {
    if (wantsHelp(args)) {
        putLine("usage: ycan info TYPE:INDEX\n"
             "Opens the adapter and prints its board information: firmware versions, channel count,\n"
             "serial number and hardware type.");
        return 0;
    }
    if (args.size() != 1) usageError("info", "expects TYPE:INDEX");
    Target t;
    std::string why;
    if (!parseTarget(args[0], false, t, why)) usageError("info", why);
    if (YCAN_OpenDevice(t.type, t.index) != 1) {
        reportFailure("cannot open " + args[0]);
        return 1;
    }
    _YCAN_BOARD_INFO info{};
    const int ok = YCAN_BoardInfoGet(t.type, t.index, &info);
    if (ok != 1) reportFailure("no board information from " + args[0]);
    YCAN_CloseDevice(t.type, t.index);
    if (ok != 1) return 1;
    const std::string serial(info.SerialNum, strnlen(info.SerialNum, sizeof info.SerialNum));
    const std::string hardware(info.HwType, strnlen(info.HwType, sizeof info.HwType));
    fprintf(out(), "adapter        %s\n", args[0].c_str());
    fprintf(out(), "versions       %04x %04x %04x (api %04x)\n", info.Version0, info.Version1, info.Version2,
           info.ApiVersion);
    fprintf(out(), "channels       %u\n", info.ChannelNum);
    fprintf(out(), "serial number  %s\n", serial.c_str());
    fprintf(out(), "hardware       %s\n", hardware.c_str());
    return 0;
}

namespace {

void explain(unsigned clockMHz, uint32_t word) {
    const BitTiming t = unpackTimingWord(word);
    fprintf(out(), "timing word    0x%08X\n", word);
    fprintf(out(), "clock          %u MHz\n", clockMHz);
    fprintf(out(), "prescaler      %u (time quantum %.1f ns)\n", t.prescaler, 1000.0 * t.prescaler / clockMHz);
    fprintf(out(), "bit            %u time quanta: sync 1 + tseg1 %u + tseg2 %u\n", t.quanta(), t.tseg1, t.tseg2);
    fprintf(out(), "jump width     %u\n", t.sjw);
    fprintf(out(), "bit rate       %.0f bit/s\n", t.bitRate(clockMHz * 1000000u));
    fprintf(out(), "sample point   %.1f %%\n", t.samplePoint() * 100);
}

}  // namespace

int timingCommand(const Args& args) {
    if (wantsHelp(args)) {
        putLine("usage: ycan timing --clock 60|80 --bitrate RATE [--sample-point PERCENT]\n"
             "       ycan timing --clock 60|80 WORD\n"
             "Computes the CAN FD bit timing word for a bit rate (500k, 2M, 1000000...) at the\n"
             "adapter's controller clock (60 MHz for types 41-43, 64, 65; 80 MHz for 66, 67), with the\n"
             "sample point nearest the one asked for (default 80 %), and explains it; or explains a\n"
             "given word (e.g. 0x01400106). Words go to 'ycan dump --timing ABIT,DBIT'.");
        return 0;
    }
    unsigned clockMHz = 0, rate = 0;
    double samplePoint = 0.8;
    bool haveWord = false;
    uint32_t word = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) usageError("timing", a + " needs a value");
            return args[++i];
        };
        if (a == "--clock") {
            const std::string& v = value();
            clockMHz = static_cast<unsigned>(strtoul(v.c_str(), nullptr, 10));
            if (clockMHz != 60 && clockMHz != 80) usageError("timing", "the adapters' clocks are 60 and 80 MHz");
        } else if (a == "--bitrate") {
            rate = parseBitRate(value());
            if (rate == 0) usageError("timing", "bad bit rate");
        } else if (a == "--sample-point") {
            const double p = strtod(value().c_str(), nullptr);
            if (!(p > 0 && p < 100)) usageError("timing", "the sample point is a percentage, e.g. 80");
            samplePoint = p / 100;
        } else if (!haveWord && a.rfind("0x", 0) == 0) {
            char* end = nullptr;
            word = static_cast<uint32_t>(strtoul(a.c_str(), &end, 16));
            if (*end != '\0') usageError("timing", "bad timing word " + a);
            haveWord = true;
        } else {
            usageError("timing", "unexpected " + a);
        }
    }
    if (clockMHz == 0) usageError("timing", "--clock is needed");
    if (haveWord == (rate != 0)) usageError("timing", "give either --bitrate or a timing word");
    if (!haveWord) {
        const auto t = findTiming(clockMHz * 1000000u, rate, samplePoint);
        if (!t) {
            fprintf(stderr, "ycan timing: %u bit/s cannot be made exactly from %u MHz\n", rate, clockMHz);
            return 1;
        }
        word = packTimingWord(*t);
    }
    explain(clockMHz, word);
    return 0;
}

}  // namespace ycantool
