// ycan dump, send and gen: frames on a channel.
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tools/ycan/adapter_target.h"
#include "tools/ycan/bit_timing.h"
#include "tools/ycan/commands.h"
#include "tools/ycan/frame_text.h"
#include "ycan.h"


namespace ycantool {

namespace {

std::atomic<bool> interrupted{false};

void onSignal(int) { interrupted = true; }

// Ctrl-C and termination end the loops; the adapter is then closed.
void catchInterrupts() {
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

bool wantsHelp(const Args& args) {
    return std::find(args.begin(), args.end(), "--help") != args.end() ||
           std::find(args.begin(), args.end(), "-h") != args.end();
}

const char* kBusHelp =
    "Bus settings (the channel is initialised and started with them):\n"
    "  --bitrate RATE        arbitration (classic: bus) bit rate, e.g. 500k (default), 1M\n"
    "  --dbitrate RATE       CAN FD data phase bit rate, e.g. 2M (default), 5M\n"
    "  --sample-point PCT    sample point of a computed timing (default 80), e.g. 87.5\n"
    "  --dsample-point PCT   the same for the data phase\n"
    "  --timing ABIT,DBIT    CAN FD timing words instead (see 'ycan timing')\n"
    "  --btr BTR0,BTR1       classic: SJA1000 bus timing registers in hex, e.g. 00,14\n"
    "A rate the adapter has no table entry for (CAN FD: 1M 800k 500k 250k 125k 100k 50k,\n"
    "data phase also 5M 4M 2M; classic also 20k 10k) gets a computed timing, said on stderr\n"
    "with the rate it reaches; a channel the adapter lacks or an option of the other family\n"
    "is refused.\n";

double unixNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

bool isFdAdapter(uint32_t type) {
    const Model* m = modelOfType(type);
    return m != nullptr && m->family == Family::CanFd;
}

// Counts and times are decimal ("08" is eight, as can-utils reads it).
long number(const std::string& command, const std::string& text) {
    char* end = nullptr;
    const long v = strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || v < 0) usageError(command, "bad number " + text);
    return v;
}

// The one positional argument: the adapter channel; anything after it is
// a usage error.
void takeTarget(const std::string& command, const std::string& arg, Target& t, bool& haveTarget) {
    if (haveTarget) usageError(command, "unexpected " + arg);
    std::string why;
    if (!parseTarget(arg, true, t, why)) usageError(command, why);
    haveTarget = true;
}

// The channel exists and the bus settings fit the adapter, or a usage error.
void fitOrRefuse(const std::string& command, const Target& t, BusSettings& bus) {
    std::string why;
    if (!fitToAdapter(t, bus, why)) usageError(command, why);
}

}  // namespace

bool takeBusOption(const std::string& command, const Args& args, size_t& i, BusSettings& bus) {
    const std::string& a = args[i];
    if (a != "--bitrate" && a != "--dbitrate" && a != "--timing" && a != "--btr" && a != "--sample-point" &&
        a != "--dsample-point")
        return false;
    if (i + 1 >= args.size()) usageError(command, a + " needs a value");
    const std::string& v = args[++i];
    if (a == "--bitrate" || a == "--dbitrate") {
        const unsigned rate = parseBitRate(v);
        if (rate == 0) usageError(command, "bad bit rate " + v + " (e.g. 500k, 1M, 83333)");
        (a == "--bitrate" ? bus.bitRate : bus.dataBitRate) = rate;
        if (a == "--dbitrate") bus.dataBitRateGiven = true;
    } else if (a == "--sample-point" || a == "--dsample-point") {
        char* end = nullptr;
        const double p = strtod(v.c_str(), &end);
        if (v.empty() || *end != '\0' || !(p >= 50 && p < 100))
            usageError(command, a + " takes a percentage from 50 to 99.9, e.g. 87.5, not \"" + v + "\"");
        (a == "--sample-point" ? bus.samplePoint : bus.dataSamplePoint) = p / 100;
    } else {
        const size_t comma = v.find(',');
        if (comma == std::string::npos) usageError(command, a + " takes two values separated by a comma");
        char* end1 = nullptr;
        char* end2 = nullptr;
        const std::string first = v.substr(0, comma), second = v.substr(comma + 1);
        const unsigned long x = strtoul(first.c_str(), &end1, 16);
        const unsigned long y = strtoul(second.c_str(), &end2, 16);
        if (first.empty() || second.empty() || *end1 != '\0' || *end2 != '\0')
            usageError(command, "bad value " + v);
        if (a == "--timing") {
            bus.timingWords = true;
            bus.abitTiming = static_cast<uint32_t>(x);
            bus.dbitTiming = static_cast<uint32_t>(y);
        } else {
            if (x > 0xFF || y > 0xFF) usageError(command, "bus timing registers are bytes");
            bus.btrGiven = true;
            bus.btr0 = static_cast<uint8_t>(x);
            bus.btr1 = static_cast<uint8_t>(y);
        }
    }
    return true;
}

int dumpCommand(const Args& args) {
    if (wantsHelp(args)) {
        fprintf(out(), "usage: ycan dump TYPE:INDEX[:CH] [-n COUNT] [--format log|table] [bus settings]\n"
               "Initialises and starts the channel (default 0) and prints every frame received,\n"
               "until Ctrl-C or COUNT frames, then closes the adapter. The default format is\n"
               "candump's log, which can-utils (log2asc, canplayer) and python-can read:\n"
               "  (1700000000.123456) ycan43-0-0 123#1122\n"
               "  (1700000000.123512) ycan43-0-0 1ABCDEF0##1AABBCCDD\n"
               "--format table prints one aligned line per frame instead.\n%s",
               kBusHelp);
        return 0;
    }
    Target t;
    BusSettings bus;
    long count = -1;
    bool table = false;
    bool haveTarget = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (takeBusOption("dump", args, i, bus)) continue;
        if (a == "-n" && i + 1 < args.size()) {
            count = number("dump", args[++i]);
        } else if (a == "--format" && i + 1 < args.size()) {
            const std::string& f = args[++i];
            if (f != "log" && f != "table") usageError("dump", "--format is log or table");
            table = f == "table";
        } else {
            takeTarget("dump", a, t, haveTarget);
        }
    }
    if (!haveTarget) usageError("dump", "which adapter? TYPE:INDEX[:CH]");
    fitOrRefuse("dump", t, bus);
    catchInterrupts();
    if (!openAndStart(t, bus)) return 1;
    const bool fd = isFdAdapter(t.type);
    const std::string name = t.interfaceName();
    std::vector<_YCAN_CAN_OBJ> classic(256);
    std::vector<_YCAN_CANFD_OBJ> fdFrames(256);
    long printed = 0;
    std::vector<std::pair<uint32_t, TextFrame>> batch;
    batch.reserve(768);  // two classic takes and one FD take
    while (!interrupted && (count < 0 || printed < count)) {
        // Both queues, merged by the adapter's time tags.
        batch.clear();
        // Adds what one receive call returned to the batch; how many.
        auto take = [&batch](const auto& records, int n) {
            for (int k = 0; k < n; ++k) {
                const auto& r = records[static_cast<size_t>(k)];
                batch.emplace_back(r.TimeTag, fromRecord(r));
            }
            return n;
        };
        take(classic, YCAN_Receive(t.type, t.index, t.channel, classic.data(), 256, fd ? 0 : 100));
        if (fd) {
            const bool waited = batch.empty();
            const int n = take(fdFrames, YCAN_ReceiveFD(t.type, t.index, t.channel, fdFrames.data(), 256,
                                                        waited ? 100 : 0));
            // Classic frames that came in while this waited for FD ones.
            if (waited && n > 0) take(classic, YCAN_Receive(t.type, t.index, t.channel, classic.data(), 256, 0));
        }
        std::stable_sort(batch.begin(), batch.end(),
                         [](const auto& x, const auto& y) { return x.first < y.first; });
        const double now = unixNow();
        for (const auto& [tag, f] : batch) {
            if (count >= 0 && printed >= count) break;
            if (table) {
                char id[12];
                snprintf(id, sizeof id, f.extended ? "%08X" : "%03X", f.id);
                std::string data;
                for (unsigned k = 0; k < f.len && !f.remote; ++k) {
                    char b[4];
                    snprintf(b, sizeof b, " %02X", f.data[k]);
                    data += b;
                }
                fprintf(out(), "%s  %8s  %-3s [%2u] %s\n", name.c_str(), id, f.fd ? "FD" : (f.remote ? "RTR" : ""), f.len,
                       data.c_str());
            } else {
                fprintf(out(), "%s\n", formatLogLine(now, name, f).c_str());
            }
            ++printed;
        }
        fflush(out());
    }
    YCAN_CloseDevice(t.type, t.index);
    fprintf(stderr, "ycan dump: %ld frames\n", printed);
    return 0;
}

int sendCommand(const Args& args) {
    if (wantsHelp(args)) {
        fprintf(out(), "usage: ycan send TYPE:INDEX:CH FRAME [-r COUNT] [-g GAP_MS] [bus settings]\n"
               "Initialises and starts the channel and sends FRAME (cansend syntax) COUNT times\n"
               "(default 1), GAP_MS apart (default 0):\n"
               "  123#1122          classic, 11-bit identifier\n"
               "  1ABCDEF0#11.22    29-bit identifier\n"
               "  123#R             remote frame\n"
               "  123##1AABB        CAN FD, flags 1 = bit rate switch\n%s",
               kBusHelp);
        return 0;
    }
    Target t;
    BusSettings bus;
    long repeat = 1, gapMs = 0;
    std::vector<std::string> positional;
    for (size_t i = 0; i < args.size(); ++i) {
        if (takeBusOption("send", args, i, bus)) continue;
        if (args[i] == "-r" && i + 1 < args.size()) repeat = number("send", args[++i]);
        else if (args[i] == "-g" && i + 1 < args.size()) gapMs = number("send", args[++i]);
        else positional.push_back(args[i]);
    }
    if (positional.size() != 2) usageError("send", "expects TYPE:INDEX:CH and a frame");
    std::string why;
    if (!parseTarget(positional[0], true, t, why)) usageError("send", why);
    // Frames go out on one channel the user names, never on a default one.
    if (std::count(positional[0].begin(), positional[0].end(), ':') != 2)
        usageError("send", "needs the channel: TYPE:INDEX:CH, e.g. " + positional[0] + ":0");
    TextFrame f;
    if (!parseFrame(positional[1], f, why)) usageError("send", why);
    if (f.fd && !isFdAdapter(t.type)) usageError("send", "a CAN FD frame needs a CAN FD adapter");
    fitOrRefuse("send", t, bus);
    catchInterrupts();
    if (!openAndStart(t, bus)) return 1;
    int status = 0;
    for (long k = 0; k < repeat && !interrupted; ++k) {
        int sent;
        if (f.fd) {
            _YCAN_CANFD_OBJ r = toFdRecord(f);
            sent = YCAN_TransmitFD(t.type, t.index, t.channel, &r, 1);
        } else {
            _YCAN_CAN_OBJ r = toClassicRecord(f);
            sent = YCAN_Transmit(t.type, t.index, t.channel, &r, 1);
        }
        if (sent != 1) {
            reportFailure("sending " + positional[1]);
            status = 1;
            break;
        }
        if (gapMs > 0 && k + 1 < repeat) std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
    }
    YCAN_CloseDevice(t.type, t.index);
    return status;
}

int genCommand(const Args& args) {
    if (wantsHelp(args)) {
        fprintf(out(), "usage: ycan gen TYPE:INDEX:CH [-n COUNT] [--fd] [--len BYTES] [--id HEX] [bus settings]\n"
               "Sends frames as fast as the adapter takes them, 10 per call, until Ctrl-C or COUNT\n"
               "frames: identifier HEX (default 123), BYTES data bytes (default 8) counting up;\n"
               "--fd sends CAN FD frames with bit rate switch. Prints frames/s on stderr each second.\n%s",
               kBusHelp);
        return 0;
    }
    Target t;
    BusSettings bus;
    long count = -1;
    bool fd = false, haveTarget = false;
    unsigned len = 8;
    uint32_t id = 0x123;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (takeBusOption("gen", args, i, bus)) continue;
        if (a == "-n" && i + 1 < args.size()) count = number("gen", args[++i]);
        else if (a == "--fd") fd = true;
        else if (a == "--len" && i + 1 < args.size()) len = static_cast<unsigned>(number("gen", args[++i]));
        else if (a == "--id" && i + 1 < args.size()) {
            const std::string& v = args[++i];
            char* end = nullptr;
            const unsigned long x = strtoul(v.c_str(), &end, 16);
            if (v.empty() || *end != '\0' || x > 0x1FFFFFFF) usageError("gen", "bad identifier " + v);
            id = static_cast<uint32_t>(x);
        }
        else takeTarget("gen", a, t, haveTarget);
    }
    if (!haveTarget) usageError("gen", "which channel? TYPE:INDEX:CH");
    if ((fd && !validFdLength(len)) || (!fd && len > 8)) usageError("gen", "bad data length");
    if (fd && !isFdAdapter(t.type)) usageError("gen", "--fd needs a CAN FD adapter");
    fitOrRefuse("gen", t, bus);
    catchInterrupts();
    if (!openAndStart(t, bus)) return 1;
    TextFrame f;
    f.id = id & 0x1FFFFFFF;
    f.extended = f.id > 0x7FF;
    f.fd = fd;
    f.fdFlags = fd ? kFdBitRateSwitch : 0;
    f.len = static_cast<uint8_t>(len);
    long sent = 0, lastSecond = 0;
    int status = 0;
    auto started = std::chrono::steady_clock::now(), tick = started;
    while (!interrupted && (count < 0 || sent < count)) {
        const long n = count < 0 ? 10 : std::min<long>(10, count - sent);
        int r;
        // The first data byte counts the frames sent, so a frame the adapter
        // did not take is offered again with the same count.
        auto numbered = [&](long k) {
            f.data[0] = static_cast<uint8_t>(sent + k);
            return f;
        };
        if (fd) {
            std::vector<_YCAN_CANFD_OBJ> batch;
            for (long k = 0; k < n; ++k) batch.push_back(toFdRecord(numbered(k)));
            r = YCAN_TransmitFD(t.type, t.index, t.channel, batch.data(), static_cast<uint32_t>(n));
        } else {
            std::vector<_YCAN_CAN_OBJ> batch;
            for (long k = 0; k < n; ++k) batch.push_back(toClassicRecord(numbered(k)));
            r = YCAN_Transmit(t.type, t.index, t.channel, batch.data(), static_cast<uint32_t>(n));
        }
        if (r <= 0) {
            reportFailure("sending");
            status = 1;
            break;
        }
        sent += r;
        const auto now = std::chrono::steady_clock::now();
        if (now - tick >= std::chrono::seconds(1)) {
            fprintf(stderr, "ycan gen: %ld frames/s, %ld in all\n",
                    static_cast<long>((sent - lastSecond) / std::chrono::duration<double>(now - tick).count()), sent);
            tick = now;
            lastSecond = sent;
        }
    }
    YCAN_CloseDevice(t.type, t.index);
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    fprintf(stderr, "ycan gen: %ld frames in %.1f s\n", sent, secs);
    return status;
}

}  // namespace ycantool
