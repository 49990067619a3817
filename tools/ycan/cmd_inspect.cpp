// ycan list, info and timing: looking at adapters and bit timings without
// touching the bus.
#include <libusb.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/ycan/adapter_holder.h"
#include "tools/ycan/adapter_target.h"
#include "tools/ycan/attached_adapters.h"
#include "tools/ycan/bit_timing.h"
#include "tools/ycan/commands.h"
#include "ycan.h"

namespace ycantool {

namespace {

// Who holds an adapter, for the list: "pid N, COMMAND", "another program",
// or "-" when nobody does. Asked by claiming its interface, which writes
// nothing to it.
std::string holderOf(const AttachedAdapter& a) {
    Target t;
    t.type = a.model->preferredType();
    t.index = a.index;
    if (!a.port.empty()) {
        t.by = Target::By::Port;
        t.place = a.port;
    }
    const std::string text = inUseBy(t);
    if (text.empty()) return "-";
    const size_t open = text.find(" (");
    if (open == std::string::npos || text.back() != ')') return "another program";
    return text.substr(open + 2, text.size() - open - 3);
}

int listModels() {
    fprintf(out(), "%-20s  %-9s  %-8s  %8s  %s\n", "TYPES", "ID", "KIND", "CHANNELS", "CLOCK");
    for (const AdapterModel* m : knownModels()) {
        std::string types;
        for (uint32_t t : m->types) {
            if (t == 0) continue;
            if (!types.empty()) types += ',';
            types += std::to_string(t);
        }
        const std::string clock = m->clockMHz != 0 ? std::to_string(m->clockMHz) + " MHz" : "-";
        fprintf(out(), "%-20s  %04x:%04x  %-8s  %8u  %s\n", types.c_str(), m->vendorId, m->productId,
                ycan::familyName(m->family), m->channels, clock.c_str());
    }
    return 0;
}

}  // namespace

int listCommand(const Args& args) {
    if (wantsHelp(args)) {
        putLine(
            "usage: ycan list [--models]\n"
            "Lists the attached adapters the library can open, in USB enumeration order: the\n"
            "TYPE:INDEX to name it by in other commands and in programs, its USB port path,\n"
            "bus and address, vendor:product id, kind, channel count, USB serial number ('-':\n"
            "it reports none) and the program that has it open ('-': none). Types 41 and 42\n"
            "open the same adapters as 43, and 3 the same as 4. INDEX counts the adapters of\n"
            "a kind and changes when another one is plugged in first; TYPE@PORT (43@1-2.3) and\n"
            "TYPE#SERIAL (43#0123ABCD) name an adapter by where it is plugged in or by what it\n"
            "is, in every command.\n"
            "  --models  the adapter models the library knows instead, attached or not: their\n"
            "            type codes, vendor:product id, kind, channels and controller clock");
        return 0;
    }
    if (args.size() == 1 && args[0] == "--models") return listModels();
    if (!args.empty()) usageError("list", "takes no arguments but --models");
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) != LIBUSB_SUCCESS) {
        fprintf(stderr, "ycan list: USB is not available on this machine\n");
        return 1;
    }
    libusb_exit(ctx);
    const std::vector<AttachedAdapter> found = attachedAdapters(true);
    fprintf(out(), "%-8s %-12s %4s %7s  %-9s  %-8s %8s  %-16s %s\n", "ADAPTER", "PORT", "BUS", "ADDRESS", "ID",
            "KIND", "CHANNELS", "SERIAL", "IN USE BY");
    for (const AttachedAdapter& a : found) {
        const std::string name = std::to_string(a.model->preferredType()) + ":" + std::to_string(a.index);
        fprintf(out(), "%-8s %-12s %4u %7u  %04x:%04x  %-8s %8u  %-16s %s\n", name.c_str(),
                a.port.empty() ? "-" : a.port.c_str(), a.bus, a.address, a.model->vendorId, a.model->productId,
                ycan::familyName(a.model->family), a.model->channels, a.serial.empty() ? "-" : a.serial.c_str(),
                holderOf(a).c_str());
    }
    if (found.empty()) fprintf(stderr, "ycan list: no adapter attached\n");
    return 0;
}

int infoCommand(const Args& args) {
    if (wantsHelp(args)) {
        putLine(
            "usage: ycan info TYPE:INDEX | TYPE@PORT | TYPE#SERIAL\n"
            "Opens the adapter and prints its board information: firmware versions, channel count,\n"
            "serial number and hardware type; and its USB port path and serial number.");
        return 0;
    }
    if (args.size() != 1) usageError("info", "expects TYPE:INDEX, TYPE@PORT or TYPE#SERIAL");
    Target t;
    std::string why;
    if (!parseTarget(args[0], false, t, why)) usageError("info", why);
    if (!openTarget(t)) return 1;
    _YCAN_BOARD_INFO info{};
    const int ok = YCAN_BoardInfoGet(t.type, t.index, &info);
    char port[YCAN_PORT_PATH_SIZE] = "";
    char usbSerial[YCAN_SERIAL_SIZE] = "";
    YCAN_GetDeviceLocation(t.type, t.index, port, sizeof port, usbSerial, sizeof usbSerial);
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
    fprintf(out(), "usb port       %s\n", port[0] != '\0' ? port : "-");
    fprintf(out(), "usb serial     %s\n", usbSerial[0] != '\0' ? usbSerial : "-");
    return 0;
}

namespace {

void explain(unsigned clockMHz, uint32_t word) {
    const BitTiming t = unpackTimingWord(word);
    fprintf(out(), "timing word    0x%08X\n", word);
    fprintf(out(), "clock          %u MHz\n", clockMHz);
    fprintf(out(), "prescaler      %u (time quantum %.1f ns)\n", t.prescaler,
            1000.0 * t.prescaler / clockMHz);
    fprintf(out(), "bit            %u time quanta: sync 1 + tseg1 %u + tseg2 %u\n", t.quanta(), t.tseg1,
            t.tseg2);
    fprintf(out(), "jump width     %u\n", t.sjw);
    fprintf(out(), "bit rate       %.0f bit/s\n", t.bitRate(clockMHz * 1000000u));
    fprintf(out(), "sample point   %.1f %%\n", t.samplePoint() * 100);
}

}  // namespace

int timingCommand(const Args& args) {
    if (wantsHelp(args)) {
        putLine(
            "usage: ycan timing --clock 60|80 --bitrate RATE [--sample-point PERCENT] [--sjw N]\n"
            "       ycan timing --clock 60|80 WORD\n"
            "Computes the CAN FD bit timing word for a bit rate (500k, 2M, 83333...) at the\n"
            "adapter's controller clock (60 MHz for types 41-43, 64, 65; 80 MHz for 66, 67): the\n"
            "rate nearest the one asked for (its error said when not exact; more than 5 % is\n"
            "refused), then the sample point nearest the one asked for (default 80 %), with jump\n"
            "width N (default 1); and explains it. Or explains a given word (e.g. 0x01400106) and\n"
            "says whether the controller takes it (status 1 if not). Words go to\n"
            "'ycan dump --timing ABIT,DBIT'.");
        return 0;
    }
    unsigned clockMHz = 0, rate = 0, sjw = 1;
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
            if (clockMHz != 60 && clockMHz != 80)
                usageError("timing", "the adapters' clocks are 60 and 80 MHz");
        } else if (a == "--bitrate") {
            rate = parseBitRate(value());
            if (rate == 0) usageError("timing", "bad bit rate");
        } else if (a == "--sample-point") {
            const double p = strtod(value().c_str(), nullptr);
            if (!(p > 0 && p < 100)) usageError("timing", "the sample point is a percentage, e.g. 80");
            samplePoint = p / 100;
        } else if (a == "--sjw") {
            const std::string& v = value();
            char* end = nullptr;
            const unsigned long n = strtoul(v.c_str(), &end, 10);
            if (v.empty() || *end != '\0' || n < 1 || n > kFdData.maxSjw)
                usageError("timing", "--sjw takes a jump width from 1 to 128, not \"" + v + "\"");
            sjw = static_cast<unsigned>(n);
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
    if (haveWord) {
        explain(clockMHz, word);
        const std::string problem = timingProblem(unpackTimingWord(word), clockMHz * 1000000u, kFdData);
        if (problem.empty()) return 0;
        fprintf(stderr, "ycan timing: the controller does not take this word: %s\n", problem.c_str());
        return 1;
    }
    const auto c = nearestTiming(clockMHz * 1000000u, rate, samplePoint, sjw, kFdData);
    if (!c) {
        fprintf(stderr, "ycan timing: no timing word at %u MHz comes within %.0f %% of %u bit/s%s\n",
                clockMHz, kMaxRateError * 100, rate, sjw > 1 ? " with that jump width" : "");
        return 1;
    }
    explain(clockMHz, packTimingWord(c->timing));
    if (c->rateError != 0)
        fprintf(out(), "rate error     %+.4f %% (asked %u bit/s)\n", c->rateError * 100, rate);
    return 0;
}

}  // namespace ycantool
