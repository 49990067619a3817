// ycan dump, send and gen: frames on a channel.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "tools/ycan/adapter_target.h"
#include "tools/ycan/bit_timing.h"
#include "tools/ycan/bus_options.h"
#include "tools/ycan/commands.h"
#include "tools/ycan/frame_filter.h"
#include "tools/ycan/frame_generator.h"
#include "tools/ycan/frame_text.h"
#include "tools/ycan/time_stamps.h"
#include "ycan.h"

namespace ycantool {

namespace {

bool isFdAdapter(uint32_t type) {
    const AdapterModel* m = modelOfType(type);
    return m != nullptr && m->family == AdapterFamily::CanFd;
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

// How dump writes what it receives.
struct DumpOutput {
    bool table = false;
    bool stampGiven = false;
    StampMode stamps = StampMode::Absolute;
    bool extra = false;   // -x: direction and CAN FD flags (table)
    bool toFile = false;  // -l: candump-DATE.log in the current directory
};

std::string tableLine(const std::string& stamp, const std::string& name, const TextFrame& f, bool extra) {
    char id[12];
    snprintf(id, sizeof id, f.extended ? "%08X" : "%03X", f.id);
    std::string data;
    for (unsigned k = 0; k < f.len && !f.remote; ++k) {
        char b[4];
        snprintf(b, sizeof b, " %02X", f.data[k]);
        data += b;
    }
    std::string flags;
    if (extra) {
        flags = std::string("RX ") + (f.fd && (f.fdFlags & kFdBitRateSwitch) ? "B" : "-") + " " +
                (f.fd && (f.fdFlags & kFdErrorState) ? "E" : "-") + "  ";
    }
    char line[512];
    snprintf(line, sizeof line, "%s%s  %s%8s  %-3s [%2u] %s", stamp.empty() ? "" : (stamp + "  ").c_str(),
             name.c_str(), flags.c_str(), id, f.fd ? "FD" : (f.remote ? "RTR" : ""), f.len, data.c_str());
    return line;
}

// "candump-2026-12-08_221500.log", as candump -l names its file.
std::string logFileName() {
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char name[64];
    strftime(name, sizeof name, "candump-%Y-%m-%d_%H%M%S.log", &local);
    return name;
}

// The channels a dump listens to, each with candump's filters.
struct DumpChannels {
    Target adapter;                    // its channel is the first one listed
    std::vector<uint32_t> channels;    // in the order given, no repeats
    std::vector<FrameFilter> filters;  // by position in channels
    bool any = false;

    // "TYPE:INDEX[:CH|:all][,FILTER...]"; every target names one adapter.
    void add(const std::string& arg) {
        const size_t comma = arg.find(',');
        std::string named = arg.substr(0, comma);
        bool all = false;
        if (named.size() > 4 && named.compare(named.size() - 4, 4, ":all") == 0) {
            all = true;
            named.resize(named.size() - 4);
        }
        Target t;
        std::string why;
        if (!parseTarget(named, !all, t, why)) usageError("dump", why + " (or TYPE:INDEX:all)");
        if (any && t.name() != adapter.name())
            usageError("dump", "one adapter per dump: " + named + " is not on " + adapter.name());
        FrameFilter filter;
        for (size_t from = comma; from != std::string::npos;) {
            const size_t next = arg.find(',', from + 1);
            if (!filter.add(
                    arg.substr(from + 1, next == std::string::npos ? std::string::npos : next - from - 1),
                    why))
                usageError("dump", why);
            from = next;
        }
        std::vector<uint32_t> these{t.channel};
        if (all) {
            const AdapterModel* m = modelOfType(t.type);
            these.clear();
            for (uint32_t ch = 0; ch < (m != nullptr ? m->channels : 1); ++ch) these.push_back(ch);
        }
        for (uint32_t ch : these) {
            t.channel = ch;
            if (!any) adapter = t;
            any = true;
            if (std::find(channels.begin(), channels.end(), ch) != channels.end())
                usageError("dump", "channel " + std::to_string(ch) + " is listed twice");
            channels.push_back(ch);
            filters.push_back(filter);
        }
    }
    // The filters of a channel listened to; null for another channel.
    const FrameFilter* filterOf(uint32_t ch) const {
        for (size_t k = 0; k < channels.size(); ++k)
            if (channels[k] == ch) return &filters[k];
        return nullptr;
    }
};

// Says on stderr when the adapter goes away and comes back; ends the dump
// when it stays away longer than allowed.
class LinkWatch {
public:
    LinkWatch(const Target& t, double timeoutS) : adapter(t), timeout(timeoutS) {}

    // False once the adapter has been away for longer than the time-out.
    bool check() {
        uint32_t losses = 0;
        const int state = YCAN_GetLinkState(adapter.type, adapter.index, &losses);
        const auto now = std::chrono::steady_clock::now();
        if (state == 0 && !away) {
            away = true;
            since = now;
            fprintf(stderr, "adapter %u:%u unplugged; waiting for it to return\n", adapter.type,
                    adapter.index);
        } else if (state == 1 && away) {
            away = false;
            fprintf(stderr, "adapter %u:%u is back\n", adapter.type, adapter.index);
        }
        if (away && timeout >= 0 && std::chrono::duration<double>(now - since).count() > timeout) {
            fprintf(stderr, "ycan dump: adapter %u:%u did not return within %g s\n", adapter.type,
                    adapter.index, timeout);
            return false;
        }
        return true;
    }
    bool isAway() const { return away; }

private:
    Target adapter;
    double timeout;
    bool away = false;
    std::chrono::steady_clock::time_point since;
};

}  // namespace

int dumpCommand(const Args& args) {
    if (wantsHelp(args)) {
        fprintf(out(),
                "usage: ycan dump TYPE:INDEX[:CH|:all][,FILTER...] [more channels of the adapter]\n"
                "                 [-n COUNT] [-t a|A|d|z] [-l] [-x] [--format log|table]\n"
                "                 [--unplug-timeout S] [bus settings]\n"
                "Initialises and starts the channels (default 0; :all is every channel) and prints\n"
                "every frame received, classic and CAN FD, in the order the adapter delivered\n"
                "them, until Ctrl-C or COUNT frames, then closes the adapter. The default format\n"
                "is candump's log, which can-utils (log2asc, canplayer) and python-can read:\n"
                "  (1700000000.123456) ycan43-0-0 123#1122\n"
                "  (1700000000.123512) ycan43-0-1 1ABCDEF0##1AABBCCDD\n"
                "Time stamps are the host's clock when the frame came over USB. --format table\n"
                "prints one aligned line per frame instead. As with candump:\n"
                "  FILTER  ID:MASK passes a frame whose identifier equals ID in the bits of MASK,\n"
                "          ID~MASK the frames that do not (hex; 8 digits of ID: 29-bit; MASK bit 31\n"
                "          tells 29-bit from 11-bit, bit 30 remote frames); any filter passing a\n"
                "          frame passes it, e.g. 43:0:0,123:7FF,400~700 (filters are per channel)\n"
                "  -t MODE time stamps: a absolute (the log format's), A date and time, d since the\n"
                "          frame before, z since the first frame (the table has none without -t)\n"
                "  -l      log to candump-DATE.log in the current directory instead (log format)\n"
                "  -x      table: direction and CAN FD flags (B bit rate switch, E error state)\n"
                "  -e      accepted; the adapters report no error frames\n"
                "An unplugged adapter is said on stderr, and again when it is back (the library\n"
                "restores its channels). --unplug-timeout S ends the dump with status 1 when the\n"
                "adapter stays away longer than S seconds; a dump that ends while the adapter is\n"
                "away exits with status 1 too.\n%s",
                kBusHelp);
        return 0;
    }
    DumpChannels listen;
    BusSettings bus;
    DumpOutput how;
    long count = -1;
    double unplugTimeout = -1;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (takeBusOption("dump", args, i, bus)) continue;
        if (a == "-n" && i + 1 < args.size()) {
            count = number("dump", args[++i]);
        } else if (a == "--format" && i + 1 < args.size()) {
            const std::string& f = args[++i];
            if (f != "log" && f != "table") usageError("dump", "--format is log or table");
            how.table = f == "table";
        } else if (a == "-t") {
            if (i + 1 >= args.size() || !parseStampMode(args[i + 1], how.stamps))
                usageError("dump", "-t takes a (absolute), A (date), d (delta) or z (zero)");
            ++i;
            how.stampGiven = true;
        } else if (a == "--unplug-timeout") {
            char* end = nullptr;
            const std::string v = i + 1 < args.size() ? args[++i] : "";
            unplugTimeout = strtod(v.c_str(), &end);
            if (v.empty() || *end != '\0' || !(unplugTimeout >= 0))
                usageError("dump", "--unplug-timeout takes seconds, e.g. 5 or 0.5");
        } else if (a == "-l") {
            how.toFile = true;
        } else if (a == "-x") {
            how.extra = true;
        } else if (a == "-e") {
            fprintf(stderr, "ycan dump: -e: the adapters report no error frames\n");
        } else if (!a.empty() && a[0] == '-') {
            usageError("dump", "unknown option " + a);
        } else {
            // candump's "interface,filter,filter..."
            listen.add(a);
        }
    }
    if (!listen.any) usageError("dump", "which adapter? TYPE:INDEX[:CH]");
    if (how.toFile && how.table) usageError("dump", "-l writes the log format, not a table");
    if (how.extra && !how.table) usageError("dump", "-x adds columns to --format table");
    if (!how.table && how.stamps == StampMode::Date)
        usageError("dump", "-t A writes dates, which the log format cannot carry; use --format table");
    Target& t = listen.adapter;
    for (uint32_t ch : listen.channels) {
        Target one = t;
        one.channel = ch;
        fitOrRefuse("dump", one, bus);
    }
    catchInterrupts();
    FILE* sink = out();
    std::string logName;
    if (how.toFile) {
        logName = logFileName();
        sink = fopen(logName.c_str(), "w");
        if (sink == nullptr) {
            fprintf(stderr, "ycan dump: cannot write %s: %s\n", logName.c_str(),
                    std::generic_category().message(errno).c_str());
            return 1;
        }
        fprintf(stderr, "ycan dump: logging to %s\n", logName.c_str());
    }
    if (!openAndStartChannels(t, listen.channels, bus)) {
        if (how.toFile) fclose(sink);
        return 1;
    }
    // The log file keeps candump's absolute time stamps.
    TimeStamper stamper(how.toFile ? StampMode::Absolute : how.stamps);
    std::vector<std::string> names;
    for (uint32_t ch : listen.channels) {
        Target one = t;
        one.channel = ch;
        names.push_back(one.interfaceName());
    }
    // One channel is read by itself; several through the adapter's one
    // ordered stream.
    const uint32_t from = listen.channels.size() == 1 ? listen.channels[0] : YCAN_ALL_CHANNELS;
    std::vector<_YCAN_RX_FRAME> frames(256);
    LinkWatch link(t, unplugTimeout);
    long printed = 0;
    bool gaveUp = false;
    while (!interrupted() && (count < 0 || printed < count)) {
        // The wait only bounds how soon an unplug or Ctrl-C is noticed:
        // frames are returned as soon as they are there.
        const int n =
            YCAN_ReceiveAll(t.type, t.index, from, frames.data(), static_cast<uint32_t>(frames.size()), 100);
        // Nothing came: the adapter may have been closed under us (the link
        // state is -1 only then; the last error may be an old one).
        if (n <= 0 && YCAN_GetLinkState(t.type, t.index, nullptr) < 0) {
            reportFailure("receiving");
            gaveUp = true;
            break;
        }
        for (int k = 0; k < n && (count < 0 || printed < count); ++k) {
            const _YCAN_RX_FRAME& r = frames[static_cast<size_t>(k)];
            const FrameFilter* filter = listen.filterOf(r.Channel);
            if (filter == nullptr) continue;
            const TextFrame f = fromReceived(r);
            if (!filter->passes(f)) continue;
            const std::string& name = names[static_cast<size_t>(filter - listen.filters.data())];
            const double when = static_cast<double>(r.HostTimeUs) / 1e6;
            if (how.table) {
                const std::string stamp = how.stampGiven ? stamper.stamp(when) : std::string();
                fprintf(sink, "%s\n", tableLine(stamp, name, f, how.extra).c_str());
            } else {
                fprintf(sink, "%s\n", formatLogLine(stamper.stamp(when), name, f).c_str());
            }
            ++printed;
        }
        if (n > 0) fflush(sink);
        if (!link.check()) {
            gaveUp = true;
            break;
        }
    }
    const bool endedAway = link.isAway();
    YCAN_CloseDevice(t.type, t.index);
    if (how.toFile && fclose(sink) != 0) {
        fprintf(stderr, "ycan dump: writing %s failed\n", logName.c_str());
        return 1;
    }
    fprintf(stderr, "ycan dump: %ld frames\n", printed);
    if (endedAway && !gaveUp)
        fprintf(stderr, "ycan dump: ended while adapter %u:%u was away\n", t.type, t.index);
    return gaveUp || endedAway ? 1 : 0;
}

int sendCommand(const Args& args) {
    if (wantsHelp(args)) {
        fprintf(out(),
                "usage: ycan send TYPE:INDEX:CH FRAME [-r COUNT] [-g GAP_MS] [bus settings]\n"
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
        if (args[i] == "-r" && i + 1 < args.size())
            repeat = number("send", args[++i]);
        else if (args[i] == "-g" && i + 1 < args.size())
            gapMs = number("send", args[++i]);
        else
            positional.push_back(args[i]);
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
    for (long k = 0; k < repeat && !interrupted(); ++k) {
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
        fprintf(out(),
                "usage: ycan gen TYPE:INDEX:CH [-n COUNT] [-g GAP_MS] [-I MODE] [-L MODE] [-D MODE]\n"
                "                [-e] [-R] [-f] [-b] [bus settings]\n"
                "Sends generated frames until Ctrl-C or COUNT frames, as cangen does:\n"
                "  -g GAP_MS  gap between frames (default 200; 0: as fast as the adapter takes them)\n"
                "  -I MODE    identifier: r random (default), i increment, or a hex value\n"
                "  -L MODE    length: r random (default), i increment, or a number of bytes\n"
                "  -D MODE    data: r random (default), i the frame's number (least significant byte\n"
                "             first), or hex bytes, e.g. 11223344\n"
                "  -e         29-bit identifiers     -R  remote frames\n"
                "  -f         CAN FD frames          -b  CAN FD frames with bit rate switch\n"
                "(--id HEX, --len BYTES and --fd, CAN FD with bit rate switch, work as before.)\n"
                "Prints frames/s on stderr each second.\n%s",
                kBusHelp);
        return 0;
    }
    Target t;
    BusSettings bus;
    GeneratorSettings gen;
    long count = -1;
    double gapMs = 200;
    bool haveTarget = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (takeBusOption("gen", args, i, bus)) continue;
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) usageError("gen", a + " needs a value");
            return args[++i];
        };
        std::string why;
        if (a == "-n") {
            count = number("gen", value());
        } else if (a == "-g") {
            const std::string& v = value();
            char* end = nullptr;
            gapMs = strtod(v.c_str(), &end);
            if (v.empty() || *end != '\0' || !(gapMs >= 0 && gapMs <= 3600000))
                usageError("gen", "-g takes a gap in milliseconds, e.g. 200 or 0.5, not \"" + v + "\"");
        } else if (a == "-I" || a == "--id") {
            if (!parseIdMode(value(), gen, why)) usageError("gen", why);
            // --id alone says the format by the identifier's size.
            if (a == "--id" && gen.id > 0x7FF) gen.extended = true;
        } else if (a == "-L" || a == "--len") {
            if (!parseLenMode(value(), gen, why)) usageError("gen", why);
        } else if (a == "-D") {
            if (!parseDataMode(value(), gen, why)) usageError("gen", why);
        } else if (a == "-e") {
            gen.extended = true;
        } else if (a == "-R") {
            gen.remote = true;
        } else if (a == "-f") {
            gen.fd = true;
        } else if (a == "-b" || a == "--fd") {
            gen.bitRateSwitch = true;
        } else if (!a.empty() && a[0] == '-') {
            usageError("gen", "unknown option " + a);
        } else {
            takeTarget("gen", a, t, haveTarget);
        }
    }
    if (!haveTarget) usageError("gen", "which channel? TYPE:INDEX:CH");
    std::string why;
    if (!checkSettings(gen, why)) usageError("gen", why);
    const bool fd = gen.fd || gen.bitRateSwitch;
    if (fd && !isFdAdapter(t.type)) usageError("gen", "CAN FD frames need a CAN FD adapter");
    fitOrRefuse("gen", t, bus);
    catchInterrupts();
    if (!openAndStart(t, bus)) return 1;
    const FrameGenerator frames(
        gen, static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    // With a gap one frame at a time; without, batches of 10 as fast as the
    // adapter takes them.
    const long perCall = gapMs > 0 ? 1 : 10;
    const auto gap = std::chrono::duration<double, std::milli>(gapMs);
    long sent = 0, lastSecond = 0;
    int status = 0;
    const auto started = std::chrono::steady_clock::now();
    auto tick = started, lastSent = started;
    std::vector<_YCAN_CANFD_OBJ> fdBatch;
    std::vector<_YCAN_CAN_OBJ> classicBatch;
    while (!interrupted() && (count < 0 || sent < count)) {
        if (gapMs > 0 && sent > 0) {
            // The gap counts from the frame before, as cangen's does: a
            // stall is never made up with a burst.
            const auto due = lastSent + std::chrono::duration_cast<std::chrono::steady_clock::duration>(gap);
            while (!interrupted() && std::chrono::steady_clock::now() < due)
                std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
                    due - std::chrono::steady_clock::now(), std::chrono::milliseconds(100)));
            if (interrupted()) break;
        }
        const long n = count < 0 ? perCall : std::min<long>(perCall, count - sent);
        lastSent = std::chrono::steady_clock::now();
        // Frame k is the same frame every time it is made: one the adapter
        // did not take is offered again unchanged.
        int r;
        if (fd) {
            fdBatch.clear();
            for (long k = 0; k < n; ++k)
                fdBatch.push_back(toFdRecord(frames.frame(static_cast<uint64_t>(sent + k))));
            r = YCAN_TransmitFD(t.type, t.index, t.channel, fdBatch.data(), static_cast<uint32_t>(n));
        } else {
            classicBatch.clear();
            for (long k = 0; k < n; ++k)
                classicBatch.push_back(toClassicRecord(frames.frame(static_cast<uint64_t>(sent + k))));
            r = YCAN_Transmit(t.type, t.index, t.channel, classicBatch.data(), static_cast<uint32_t>(n));
        }
        if (r <= 0) {
            reportFailure("sending");
            status = 1;
            break;
        }
        sent += r;
        const auto now = std::chrono::steady_clock::now();
        if (now - tick >= std::chrono::seconds(1)) {
            fprintf(
                stderr, "ycan gen: %ld frames/s, %ld in all\n",
                static_cast<long>((sent - lastSecond) / std::chrono::duration<double>(now - tick).count()),
                sent);
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
