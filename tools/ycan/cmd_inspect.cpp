// ycan list, info and timing: looking at adapters and bit timings without
// touching the bus.
#include <libusb.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tools/ycan/adapter_target.h"
#include "tools/ycan/bit_timing.h"
#include "tools/ycan/commands.h"
#include "ycan.h"

namespace ycantool {

namespace {

// The code programs open an adapter of this id with (the others that open
// it too are listed in the help).
uint32_t preferredType(const AdapterModel& m) { return m.preferredType(); }

struct Listed {
    const AdapterModel* model;
    int index;
    unsigned bus, address;
};

// The adapter's serial number from its board information; "-" when it
// cannot be opened (another program has it, or it went away).
std::string serialOf(const Listed& a) {
    const uint32_t type = preferredType(*a.model);
    const uint32_t index = static_cast<uint32_t>(a.index);
    if (YCAN_OpenDevice(type, index) != 1) return "-";
    _YCAN_BOARD_INFO info{};
    const bool ok = YCAN_BoardInfoGet(type, index, &info) == 1;
    YCAN_CloseDevice(type, index);
    const std::string serial(info.SerialNum, strnlen(info.SerialNum, sizeof info.SerialNum));
    return ok && !serial.empty() ? serial : "-";
}

// Runs fn with the library's console log (descriptor 1 here) silenced.
template <typename Fn>
void withoutLibraryLog(Fn fn) {
    fflush(stdout);
    const int saved = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (saved >= 0 && null >= 0) dup2(null, STDOUT_FILENO);
    fn();
    fflush(stdout);
    if (saved >= 0) dup2(saved, STDOUT_FILENO);
    for (int fd : {saved, null})
        if (fd >= 0) close(fd);
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
            "TYPE:INDEX to name it by in other commands and in programs, USB bus and address,\n"
            "vendor:product id, kind, channel count and serial number ('-' when another program\n"
            "has the adapter open). Types 41 and 42 open the same adapters as 43, and 3 the same\n"
            "as 4.\n"
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
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx, &list);
    std::map<std::pair<uint16_t, uint16_t>, int> seen;
    std::vector<Listed> found;
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(list[i], &d) != LIBUSB_SUCCESS) continue;
        for (const AdapterModel* m : knownModels()) {
            if (m->vendorId != d.idVendor || m->productId != d.idProduct) continue;
            found.push_back({m, seen[{d.idVendor, d.idProduct}]++, libusb_get_bus_number(list[i]),
                             libusb_get_device_address(list[i])});
        }
    }
    if (n >= 0) libusb_free_device_list(list, 1);
    libusb_exit(ctx);
    std::vector<std::string> serials;
    withoutLibraryLog([&] {
        for (const Listed& a : found) serials.push_back(serialOf(a));
    });
    fprintf(out(), "%-8s %4s %7s  %-9s  %-8s %8s  %s\n", "ADAPTER", "BUS", "ADDRESS", "ID", "KIND",
            "CHANNELS", "SERIAL");
    for (size_t k = 0; k < found.size(); ++k) {
        const Listed& a = found[k];
        const std::string name = std::to_string(preferredType(*a.model)) + ":" + std::to_string(a.index);
        fprintf(out(), "%-8s %4u %7u  %04x:%04x  %-8s %8u  %s\n", name.c_str(), a.bus, a.address,
                a.model->vendorId, a.model->productId, ycan::familyName(a.model->family), a.model->channels,
                serials[k].c_str());
    }
    if (found.empty()) fprintf(stderr, "ycan list: no adapter attached\n");
    return 0;
}

int infoCommand(const Args& args) {
    if (wantsHelp(args)) {
        putLine(
            "usage: ycan info TYPE:INDEX\n"
            "Opens the adapter and prints its board information: firmware versions, channel count,\n"
            "serial number and hardware type.");
        return 0;
    }
    if (args.size() != 1) usageError("info", "expects TYPE:INDEX");
    Target t;
    std::string why;
    if (!parseTarget(args[0], false, t, why)) usageError("info", why);
    if (YCAN_OpenDevice(t.type, t.index) != 1) {
        reportOpenFailure(t);
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
