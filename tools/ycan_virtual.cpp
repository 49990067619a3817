// ycan-virtual: runs a program with virtual YCAN adapters attached. The
// adapters are emulated here, underneath the real libusb of the program,
// which runs as a child under the umockdev preload.
//
//   ycan-virtual [options] -- COMMAND [ARGS...]
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "drivers/common/adapter_models.h"
#include "sim/bench/usb_bench.h"
#include "sim/canfd/canfd_adapter.h"
#include "sim/recorder/recorder_adapter.h"
#include "sim/usbcan/usbcan_adapter.h"
#include "tools/foreground_command.h"
#include "tools/virtual_attachment.h"
#include "tools/virtual_control.h"
#include "tools/virtual_frames.h"
#include "tools/ycan/frame_text.h"

using namespace std::chrono;
using namespace std::chrono_literals;

namespace {

// What ycan-virtual itself reports (bus traffic, the summary) goes to
// standard error: standard output is the command's alone, so that its
// output redirected to a file is what the command wrote. Buffered, and
// flushed as the run goes.
FILE* reportOut() {
    static FILE* report = [] {
        const int fd = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
        FILE* f = fd >= 0 ? fdopen(fd, "w") : nullptr;
        if (f == nullptr) return stderr;
        setvbuf(f, nullptr, _IOFBF, 1 << 16);
        return f;
    }();
    return report;
}

const char* kUsage =
    "usage: ycan-virtual [options] -- COMMAND [ARGS...]\n"
    "Runs COMMAND with virtual YCAN adapters attached. COMMAND shares the terminal, standard\n"
    "input, output and error; SIGINT, SIGTERM and SIGHUP are passed on to it (a second one\n"
    "ends it with SIGKILL). The status is COMMAND's, 1 when --expect-echo failed, 2 for bad\n"
    "options, 124 when --duration ended COMMAND, 126/127 when COMMAND cannot be run.\n"
    "\n"
    "Adapters (the first CAN FD or classic one receives the traffic):\n"
    "  --canfd TYPE[xN]     N CAN FD adapters of TYPE (41-43, 64-67), e.g. --canfd 43\n"
    "  --classic N          N classic adapters (types 3 and 4)\n"
    "  --recorder TYPE[xN]  N recorders of TYPE (61, 62)\n"
    "  (each in a port of its own, emulated 1-1, 1-2, ... in this order, with a USB serial number\n"
    "  YV<TYPE>-<N>: YV43-1, YV43-2, YV4-1, ...)\n"
    "  --decline            adapters decline the device function set\n"
    "Traffic, sent once the command has started the channel:\n"
    "  --inject N           frames to send to the command (default 0)\n"
    "  --channel CH         channel (default 0)\n"
    "  --rate HZ            frames per second (default 200)\n"
    "  --fd PCT             share of CAN FD frames on a CAN FD adapter (default 50)\n"
    "  --ids LO[-HI]        identifier range, hex (default 100-1FF)\n"
    "  --adapter-rate HZ    the adapter hands at most HZ frames/s to the host, as a slow\n"
    "                       adapter would (default: as fast as the host reads)\n"
    "  --seed S             random identifiers, lengths and payloads (default: a pattern)\n"
    "Faults:\n"
    "  --unplug-at MS       unplug the adapter MS ms after the traffic started\n"
    "  --replug-after MS    plug it back in MS ms later (default 500)\n"
    "Ending:\n"
    "  --duration MS        run at most this long, then end COMMAND (SIGTERM) and exit 124\n"
    "                       (default 20000; 0: no limit)\n"
    "  --until N            stop once N frames came back\n"
    "  --expect-echo        every injected frame must come back unchanged on its channel\n"
    "Control (instead of the traffic and faults above):\n"
    "  --control            serve requests on a Unix socket whose path the command finds in\n"
    "                       YCAN_VIRTUAL_CONTROL: inject TYPE:INDEX:CH FRAME..., sent TYPE:INDEX:CH\n"
    "                       [N [MS]], state TYPE:INDEX:CH, recorder TYPE:INDEX:CH, refuse TYPE:INDEX\n"
    "                       on|off, unplug/replug TYPE:INDEX (see man ycan-virtual);\n"
    "                       the command then runs without a time limit unless --duration is given\n"
    "Attachment:\n"
    "  --usbip              attach the adapters to this machine's kernel through USB/IP (vhci-hcd;\n"
    "                       root, modprobe vhci-hcd) instead of emulating usbfs: any program\n"
    "                       reaches them through the real usbfs, as a cable-attached adapter\n"
    "Output (on standard error; standard output is COMMAND's):\n"
    "  --candump            bus traffic in candump log format\n"
    "  --quiet              no bus traffic lines\n";

struct Options {
    std::vector<unsigned> canfd;
    int classic = 0;
    std::vector<unsigned> recorders;
    bool decline = false;
    int inject = 0;
    unsigned channel = 0;
    double rate = 200;
    double adapterRate = 0;  // 0: no limit
    int fdShare = 50;
    uint32_t idLow = 0x100;
    uint32_t idHigh = 0x1FF;
    bool seeded = false;
    uint32_t seed = 0;
    long unplugAt = -1;
    long replugAfter = 500;
    long duration = -1;  // -1: 20 s, or no limit under --control
    bool control = false;
    long until = -1;
    bool expectEcho = false;
    bool candump = false;
    bool quiet = false;
    bool usbip = false;
    std::vector<std::string> command;
};

[[noreturn]] void usage(const std::string& why) {
    if (!why.empty()) fprintf(stderr, "ycan-virtual: %s\n", why.c_str());
    fputs(kUsage, stderr);
    exit(2);  // NOLINT(concurrency-mt-unsafe): before any thread of ours runs
}

// A bad value names its option and what the option takes, and ends the
// tool with status 2 before anything has started.
[[noreturn]] void badValue(const char* option, const std::string& text, const std::string& takes) {
    fprintf(stderr, "ycan-virtual: %s takes %s, not \"%s\" (ycan-virtual --help lists the options)\n", option,
            takes.c_str(), text.c_str());
    exit(2);  // NOLINT(concurrency-mt-unsafe): before any thread of ours runs
}

// A decimal whole number from lo to hi, nothing else.
long wholeNumber(const char* option, const std::string& text, long lo, long hi) {
    const std::string takes = "a whole number from " + std::to_string(lo) + " to " + std::to_string(hi);
    if (text.empty() || !(isdigit(static_cast<unsigned char>(text[0])) || text[0] == '-'))
        badValue(option, text, takes);
    errno = 0;
    char* end = nullptr;
    const long v = strtol(text.c_str(), &end, 10);
    if (*end != '\0' || errno == ERANGE || v < lo || v > hi) badValue(option, text, takes);
    return v;
}

// A rate in frames per second: a number above 0 (or 0 itself where it
// means "no limit") up to ten million.
double frameRate(const char* option, const std::string& text, bool zeroAllowed) {
    const std::string takes = zeroAllowed ? "a number of frames per second from 0 to 10000000"
                                          : "a number of frames per second above 0, up to 10000000";
    errno = 0;
    char* end = nullptr;
    const double v = strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(v) || v < 0 || v > 1e7 ||
        (v == 0 && !zeroAllowed))
        badValue(option, text, takes);
    return v;
}

// The type codes of a family in the library's model table.
std::vector<unsigned> typesOf(ycan::AdapterFamily family) {
    std::vector<unsigned> out;
    for (const ycan::AdapterModel& m : ycan::adapterModels())
        if (m.family == family)
            for (uint32_t t : m.types)
                if (t != 0) out.push_back(t);
    std::sort(out.begin(), out.end());
    return out;
}

// The emulation's layout for a type, under the USB id the library's model
// table gives it.
ycansim::DeviceLayout withTableIds(ycansim::DeviceLayout layout, unsigned type) {
    const ycan::AdapterModel* model = ycan::findAdapterModel(type);
    layout.vendorId = model->vendorId;
    layout.productId = model->productId;
    return layout;
}

// TYPE or TYPExCOUNT, decimal, TYPE one of `types`, COUNT 1 to 16.
void addTyped(std::vector<unsigned>& out, const char* option, const std::string& layout,
              const std::vector<unsigned>& types) {
    std::string known;
    for (unsigned t : types) known += (known.empty() ? "" : ", ") + std::to_string(t);
    const std::string takes = "TYPE or TYPExCOUNT with TYPE one of " + known + " and COUNT 1 to 16";
    const size_t x = layout.find('x');
    const std::string typeText = layout.substr(0, x);
    const std::string countText = x == std::string::npos ? "1" : layout.substr(x + 1);
    auto digits = [](const std::string& t) {
        return !t.empty() && t.size() <= 4 &&
               std::all_of(t.begin(), t.end(), [](char c) { return isdigit(static_cast<unsigned char>(c)); });
    };
    if (!digits(typeText) || !digits(countText)) badValue(option, layout, takes);
    const unsigned type = static_cast<unsigned>(std::stoul(typeText));
    const unsigned long count = std::stoul(countText);
    if (std::find(types.begin(), types.end(), type) == types.end() || count == 0 || count > 16)
        badValue(option, layout, takes);
    for (unsigned long i = 0; i < count; ++i) out.push_back(type);
}

const char* const kIdsTakes = "LO or LO-HI, hexadecimal identifiers up to 1FFFFFFF with LO <= HI";

// Times given in milliseconds go up to a day.
constexpr long kDayMs = 86400000;

Options parse(int argc, char** argv) {
    Options o;
    int i = 1;
    auto value = [&](const char* name) -> std::string {
        if (i + 1 >= argc) usage(std::string(name) + " needs a value");
        return argv[++i];
    };
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--") {
            for (++i; i < argc; ++i) o.command.push_back(argv[i]);
            break;
        }
        if (a == "--canfd")
            addTyped(o.canfd, "--canfd", value("--canfd"), typesOf(ycan::AdapterFamily::CanFd));
        else if (a == "--classic")
            o.classic = static_cast<int>(wholeNumber("--classic", value("--classic"), 0, 16));
        else if (a == "--recorder")
            addTyped(o.recorders, "--recorder", value("--recorder"), typesOf(ycan::AdapterFamily::Recorder));
        else if (a == "--decline")
            o.decline = true;
        else if (a == "--inject")
            o.inject = static_cast<int>(wholeNumber("--inject", value("--inject"), 0, 100000000));
        else if (a == "--channel")
            o.channel = static_cast<unsigned>(wholeNumber("--channel", value("--channel"), 0, 7));
        else if (a == "--rate")
            o.rate = frameRate("--rate", value("--rate"), false);
        else if (a == "--adapter-rate")
            o.adapterRate = frameRate("--adapter-rate", value("--adapter-rate"), true);
        else if (a == "--fd")
            o.fdShare = static_cast<int>(wholeNumber("--fd", value("--fd"), 0, 100));
        else if (a == "--ids") {
            std::string r = value("--ids");
            // LO-HI or a single identifier, hex.
            char* end = nullptr;
            const unsigned long low = strtoul(r.c_str(), &end, 16);
            unsigned long high = low;
            if (end != r.c_str() && *end == '-') {
                const char* from = end + 1;
                high = strtoul(from, &end, 16);
                if (end == from) badValue("--ids", r, kIdsTakes);
            }
            if (end == r.c_str() || *end != '\0' || high < low || high > 0x1FFFFFFFul || r[0] == '-')
                badValue("--ids", r, kIdsTakes);
            o.idLow = static_cast<uint32_t>(low);
            o.idHigh = static_cast<uint32_t>(high);
        } else if (a == "--seed") {
            o.seeded = true;
            o.seed = static_cast<uint32_t>(wholeNumber("--seed", value("--seed"), 0, 4294967295L));
        } else if (a == "--unplug-at")
            o.unplugAt = wholeNumber("--unplug-at", value("--unplug-at"), 0, kDayMs);
        else if (a == "--replug-after")
            o.replugAfter = wholeNumber("--replug-after", value("--replug-after"), 0, kDayMs);
        else if (a == "--duration")
            o.duration = wholeNumber("--duration", value("--duration"), 0, kDayMs);
        else if (a == "--until")
            o.until = wholeNumber("--until", value("--until"), 0, 100000000);
        else if (a == "--expect-echo")
            o.expectEcho = true;
        else if (a == "--control")
            o.control = true;
        else if (a == "--candump")
            o.candump = true;
        else if (a == "--quiet")
            o.quiet = true;
        else if (a == "--usbip")
            o.usbip = true;
        else if (a == "--help" || a == "-h") {
            // Asked for: the usage is the answer, not a complaint.
            fputs(kUsage, stdout);
            exit(0);  // NOLINT(concurrency-mt-unsafe): before any thread of ours runs
        } else if (a == "--version") {
            printf("ycan-virtual %s\n", YCAN_PACKAGE_VERSION);
            exit(0);  // NOLINT(concurrency-mt-unsafe): before any thread of ours runs
        } else
            usage("unknown option " + a);
    }
    if (o.command.empty()) usage("no command");
    if (o.control && (o.inject > 0 || o.expectEcho || o.unplugAt >= 0 || o.until >= 0))
        usage("--control replaces --inject, --expect-echo, --unplug-at and --until");
    if (o.duration < 0 && !o.control) o.duration = 20000;
    return o;
}

// The umockdev preload must be in this process too; add it and start over.
void ensurePreload(char** argv) {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): before any thread of ours runs
    const char* current = getenv("LD_PRELOAD");
    if (current != nullptr && strstr(current, "libumockdev-preload") != nullptr) return;
    std::string preload = "libumockdev-preload.so.0";
    if (current != nullptr && *current != '\0') preload += std::string(":") + current;
    // NOLINTNEXTLINE(concurrency-mt-unsafe): before any thread of ours runs
    setenv("LD_PRELOAD", preload.c_str(), 1);
    execv("/proc/self/exe", argv);
    perror("ycan-virtual: re-exec under the umockdev preload");
    exit(2);  // NOLINT(concurrency-mt-unsafe): before any thread of ours runs
}

// One frame as ycan-virtual sends it and expects it back (for a remote
// frame, len is the requested length).
struct Frame : ycantool::TextFrame {
    unsigned channel = 0;
};

Frame onChannel(const ycantool::TextFrame& t, unsigned ch) {
    Frame f;
    static_cast<ycantool::TextFrame&>(f) = t;
    f.channel = ch;
    return f;
}

bool sameFrame(const Frame& a, const Frame& b) {
    return a.channel == b.channel && a.fd == b.fd && a.extended == b.extended && a.remote == b.remote &&
           a.id == b.id && a.len == b.len && (a.remote || memcmp(a.data, b.data, a.len) == 0);
}

void printFrame(const char* dir, const Frame& f, bool candump, double t) {
    if (candump) {
        char stamp[32];
        snprintf(stamp, sizeof stamp, "(%017.6f)", t);
        fprintf(reportOut(), "%s\n",
                ycantool::formatLogLine(stamp, "can" + std::to_string(f.channel), f).c_str());
        return;
    }
    char id[16];
    snprintf(id, sizeof id, f.extended ? "%08" PRIX32 : "%03" PRIX32, f.id);
    std::string data = f.remote ? " remote" : "";
    for (int i = 0; !f.remote && i < f.len; ++i) {
        char b[4];
        snprintf(b, sizeof b, " %02X", f.data[i]);
        data += b;
    }
    fprintf(reportOut(), "%s  can%u  %8s  %s[%d] %s\n", dir, f.channel, id, f.fd ? "FD " : "", f.len,
            data.c_str());
}

// Frames leaving the adapter later than this after they were due on the bus
// mean the emulation cannot carry the offered rate.
constexpr double kBehindMs = 200;

const uint8_t kFdLengths[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};

class FrameSource {
public:
    FrameSource(const Options& o, bool canFd) : opts(o), fdCapable(canFd), rng(o.seed) {}
    Frame next(int n) {
        Frame f;
        f.channel = opts.channel;
        const uint32_t span = opts.idHigh - opts.idLow + 1;
        if (opts.seeded) {
            f.fd = fdCapable && static_cast<int>(rng() % 100) < opts.fdShare;
            f.extended = rng() % 4 == 0;
            f.id = opts.idLow + static_cast<uint32_t>(rng() % span);
            f.len = f.fd ? kFdLengths[rng() % 16] : static_cast<uint8_t>(rng() % 9);
            for (unsigned i = 0; i < f.len && i < sizeof f.data; ++i) f.data[i] = static_cast<uint8_t>(rng());
        } else {
            f.fd = fdCapable && (n * opts.fdShare / 100) != ((n + 1) * opts.fdShare / 100);
            f.extended = n % 5 == 4;
            f.id = opts.idLow + static_cast<uint32_t>(n) % span;
            const auto k = static_cast<unsigned>(n);
            f.len = f.fd ? kFdLengths[k % 16] : static_cast<uint8_t>(k % 9);
            for (unsigned i = 0; i < f.len && i < sizeof f.data; ++i) f.data[i] = static_cast<uint8_t>(k + i);
        }
        if (f.extended) f.id |= 0x10000000;
        return f;
    }

private:
    const Options& opts;
    bool fdCapable;
    std::mt19937 rng;
};

// The adapter that carries the traffic, seen through frames.
class TrafficAdapter {
public:
    virtual ~TrafficAdapter() = default;
    virtual bool channelStarted(unsigned ch) = 0;
    // Frames arriving on the bus, each with the adapter's time tag (us).
    virtual void send(const std::vector<Frame>& frames, const std::vector<uint32_t>& tags) = 0;
    // What the command put on the bus since the last call.
    virtual std::vector<Frame> takeSentByCommand(unsigned ch) = 0;
    // Frames waiting in the adapter for the host, and frames it sent on.
    virtual size_t waiting() const = 0;
    virtual uint64_t delivered() const = 0;
    // A slow adapter: at most this many frames a second to the host; what
    // it holds back goes out on later pumps.
    virtual void limitRateToHost(double framesPerSecond) = 0;
    virtual void pumpToHost() = 0;
};

bool started(const ycansim::FdChannelState& s) { return s.started; }
bool started(const ycansim::ClassicChannelState& s) { return s.initialised && s.starts > 0; }

// A virtual adapter's traffic: toBus and fromBus turn frames into the
// adapter's own bus frames and back.
template <class Adapter, auto toBus, auto fromBus>
class Traffic final : public TrafficAdapter {
public:
    Traffic(Adapter& a, ycansim::DeviceEndpoints& d) : adapter(a), dev(d) {}
    bool channelStarted(unsigned ch) override { return started(adapter.channel(ch)); }
    void send(const std::vector<Frame>& frames, const std::vector<uint32_t>& tags) override {
        std::vector<decltype(toBus(frames[0], 0, 0))> bus;
        bus.reserve(frames.size());
        for (size_t i = 0; i < frames.size(); ++i)
            bus.push_back(toBus(frames[i], frames[i].channel, tags[i]));
        adapter.fromBus(dev, bus);
    }
    std::vector<Frame> takeSentByCommand(unsigned ch) override {
        std::vector<Frame> out;
        for (auto& b : adapter.takeBusFrames(ch)) out.push_back(onChannel(fromBus(b), b.channel));
        return out;
    }
    size_t waiting() const override { return adapter.framesWaiting(); }
    uint64_t delivered() const override { return adapter.framesSent(); }
    void limitRateToHost(double framesPerSecond) override { adapter.limitRateToHost(framesPerSecond); }
    void pumpToHost() override { adapter.pumpToHost(dev); }

private:
    Adapter& adapter;
    ycansim::DeviceEndpoints& dev;
};

using FdTraffic = Traffic<ycansim::VirtualCanFdAdapter, ycanvirtual::toBusFrame, ycanvirtual::fromBusFrame>;
using ClassicTraffic =
    Traffic<ycansim::VirtualUsbCanAdapter, ycanvirtual::toClassicFrame, ycanvirtual::fromClassicFrame>;

// The virtual adapters the options ask for, on one bench. The first CAN FD
// or classic adapter carries the traffic.
struct Adapters {
    std::unique_ptr<ycanvirtual::Attachment> bench;
    std::vector<std::shared_ptr<ycansim::DeviceModel>> models;
    std::vector<ycanvirtual::ControlledAdapter> controlled;
    std::unique_ptr<TrafficAdapter> traffic;
    ycansim::DeviceEndpoints* trafficDevice = nullptr;
    unsigned trafficChannels = 0;
    bool fdCapable = false;

    explicit Adapters(const Options& o)
        : bench(o.usbip ? ycanvirtual::usbipAttachment() : ycanvirtual::benchAttachment()) {
        // Channel counts, clocks and USB ids are the library's model table's.
        for (unsigned type : o.canfd) {
            const ycan::AdapterModel* model = ycan::findAdapterModel(type);
            auto m = std::make_shared<ycansim::VirtualCanFdAdapter>(type, model->channels, model->clockMHz);
            if (o.decline) m->setFunctionSetReply(ycansim::FunctionSetReply::Decline);
            const ycansim::DeviceLayout layout = withSerial(withTableIds(ycansim::canFdLayout(type), type), type);
            auto& dev = bench->add(layout, m);
            controlled.push_back({layout.vendorId, layout.productId, &dev, m, nullptr, nullptr});
            if (!traffic) carryTraffic(std::make_unique<FdTraffic>(*m, dev), dev, m->channelCount(), true);
            models.push_back(m);
        }
        for (int i = 0; i < o.classic; ++i) {
            auto m = std::make_shared<ycansim::VirtualUsbCanAdapter>();
            if (o.decline) m->setFunctionSetReply(ycansim::FunctionSetReply::Decline);
            const ycansim::DeviceLayout layout = withSerial(withTableIds(ycansim::usbCanLayout(), 3), 4);
            auto& dev = bench->add(layout, m);
            controlled.push_back({layout.vendorId, layout.productId, &dev, nullptr, m, nullptr});
            if (!traffic)
                carryTraffic(std::make_unique<ClassicTraffic>(*m, dev), dev,
                             ycan::findAdapterModel(3)->channels, false);
            models.push_back(m);
        }
        for (unsigned type : o.recorders) {
            auto m = std::make_shared<ycansim::VirtualRecorder>();
            const ycansim::DeviceLayout layout = withSerial(withTableIds(ycansim::recorderLayout(type), type), type);
            auto& dev = bench->add(layout, m);
            controlled.push_back({layout.vendorId, layout.productId, &dev, nullptr, nullptr, m});
            models.push_back(m);
        }
    }

private:
    // Each virtual adapter reports a USB serial number of its own:
    // "YV43-1", "YV43-2", ... by type, in the order the options give them.
    ycansim::DeviceLayout withSerial(ycansim::DeviceLayout layout, unsigned type) {
        layout.serial = "YV" + std::to_string(type) + "-" + std::to_string(++serials[type]);
        return layout;
    }
    std::map<unsigned, int> serials;

    void carryTraffic(std::unique_ptr<TrafficAdapter> t, ycansim::DeviceEndpoints& dev, unsigned channels,
                      bool fd) {
        traffic = std::move(t);
        trafficDevice = &dev;
        trafficChannels = channels;
        fdCapable = fd;
    }
};

// The scripted traffic: frames sent to the command at the offered rate once
// it has started the channel, the faults, and the frames it sends back,
// matched against what was sent.
class ScriptedTraffic {
public:
    ScriptedTraffic(const Options& o, Adapters& a) : opts(o), adapters(a), source(o, a.fdCapable) {}

    // One step of the main loop.
    void step() {
        TrafficAdapter& traffic = *adapters.traffic;
        if (!started && traffic.channelStarted(opts.channel)) {
            started = true;
            startedAt = steady_clock::now();
            startedAtUs = ycansim::UsbBench::nowUs();
        }
        if (started) {
            sendDueFrames(traffic);
            noteBacklog(traffic);
            playFaults();
        }
        matchReturnedFrames(traffic);
    }

    // How long the main loop may sleep before the next frame is due (at
    // most `longest`), so that frames go out one by one at their time
    // rather than in bursts of one loop period.
    microseconds pause(microseconds longest) const {
        if (!started || static_cast<int>(injected.size()) >= opts.inject) return longest;
        const double nextDue = static_cast<double>(injected.size()) / opts.rate;
        const double wait = nextDue - duration<double>(steady_clock::now() - startedAt).count();
        return std::clamp(microseconds(static_cast<long>(wait * 1e6)), microseconds(0), longest);
    }

    size_t matched() const { return matchedFrames; }
    int mismatchedFrames() const { return mismatched; }

    // The closing lines; true when an expected echo did not come back whole.
    bool summarise() const {
        if (opts.inject > 0 && started) printRate();
        if (!opts.expectEcho && opts.inject <= 0) return false;
        fprintf(reportOut(), "echoed %zu/%zu frames, %d mismatched\n", matchedFrames, injected.size(),
                mismatched);
        // A command that never started the channel (it could not open the
        // adapter, say) echoed nothing of what was to be sent: not a pass.
        const bool allSent = static_cast<int>(injected.size()) >= opts.inject;
        if (opts.expectEcho && !allSent)
            fprintf(reportOut(), "ycan-virtual: %s; %zu of %d frames were sent\n",
                    started ? "the command ended before the traffic did"
                            : "the command never started the channel",
                    injected.size(), opts.inject);
        return opts.expectEcho && (!allSent || matchedFrames != injected.size() || mismatched > 0);
    }

private:
    static double wallSeconds() { return duration<double>(system_clock::now().time_since_epoch()).count(); }

    // Every frame due by now goes to the adapter in one batch, time-tagged
    // with when it was due on the bus.
    void sendDueFrames(TrafficAdapter& traffic) {
        const double due = duration<double>(steady_clock::now() - startedAt).count() * opts.rate;
        std::vector<Frame> batch;
        std::vector<uint32_t> tags;
        while (static_cast<int>(injected.size() + batch.size()) < opts.inject &&
               static_cast<double>(injected.size() + batch.size()) <= due) {
            const size_t n = injected.size() + batch.size();
            batch.push_back(source.next(static_cast<int>(n)));
            tags.push_back(static_cast<uint32_t>(
                startedAtUs + static_cast<uint64_t>(static_cast<double>(n) * 1e6 / opts.rate)));
        }
        if (opts.adapterRate > 0) traffic.pumpToHost();  // what the limit held back
        if (batch.empty()) return;
        traffic.send(batch, tags);
        for (const Frame& f : batch) {
            injected.push_back(f);
            injectedByKind[f.fd ? 1 : 0].push_back(f);
            if (!opts.quiet) printFrame(" in", f, opts.candump, wallSeconds());
        }
    }

    // How late the adapter is: the next frame to leave it was due on the
    // bus this long ago.
    void noteBacklog(TrafficAdapter& traffic) {
        const size_t backlog = traffic.waiting();
        maxBacklog = std::max(maxBacklog, backlog);
        if (backlog > 0 && !warnedBehind) {
            const double nextDue = static_cast<double>(traffic.delivered()) / opts.rate;
            const double lateMs =
                (duration<double>(steady_clock::now() - startedAt).count() - nextDue) * 1000;
            if (lateMs > kBehindMs) {
                warnedBehind = true;
                fprintf(reportOut(),
                        "ycan-virtual: falling behind: frames leave the adapter %.0f ms after they are due "
                        "(%zu waiting)\n",
                        lateMs, backlog);
            }
        }
        if (lastDeliveredAt == steady_clock::time_point{} && opts.inject > 0 &&
            traffic.delivered() >= static_cast<uint64_t>(opts.inject))
            lastDeliveredAt = steady_clock::now();
    }

    void playFaults() {
        const long since = duration_cast<milliseconds>(steady_clock::now() - startedAt).count();
        if (opts.unplugAt >= 0 && !unplugged && since >= opts.unplugAt) {
            adapters.bench->unplug(*adapters.trafficDevice);
            unplugged = true;
            fprintf(reportOut(), "ycan-virtual: adapter unplugged\n");
        }
        if (unplugged && !replugged && since >= opts.unplugAt + opts.replugAfter) {
            adapters.bench->replug(*adapters.trafficDevice);
            replugged = true;
            fprintf(reportOut(), "ycan-virtual: adapter plugged back in\n");
        }
    }

    // Classic and CAN FD frames travel in separate queues, so order holds
    // within each kind only: a returned frame matches the next injected
    // frame of its kind that it equals; frames in between were lost (an
    // unplugged adapter, say).
    void matchReturnedFrames(TrafficAdapter& traffic) {
        for (const Frame& f : traffic.takeSentByCommand(opts.channel)) {
            if (!opts.quiet) printFrame("out", f, opts.candump, wallSeconds());
            const int kind = f.fd ? 1 : 0;
            const auto& sent = injectedByKind[kind];
            size_t k = echoedByKind[kind];
            while (k < sent.size() && !sameFrame(f, sent[k])) ++k;
            if (k < sent.size()) {
                ++matchedFrames;
                echoedByKind[kind] = k + 1;
            } else {
                ++mismatched;
            }
        }
    }

    // Achieved: frames the adapter handed to the host, over the time from
    // the first frame due to the last one sent (or to the end).
    void printRate() const {
        const uint64_t delivered = adapters.traffic->delivered();
        const auto end =
            lastDeliveredAt != steady_clock::time_point{} ? lastDeliveredAt : steady_clock::now();
        // Over the frames offered: a run that ended early offered fewer.
        const size_t offered = std::max<size_t>(injected.size(), 1);
        const double offeredSpan = static_cast<double>(offered - 1) / opts.rate;
        const double span = std::max(offeredSpan, duration<double>(end - startedAt).count());
        const double achieved =
            span > 0 ? static_cast<double>(delivered) / span : static_cast<double>(delivered);
        fprintf(reportOut(),
                "ycan-virtual: offered %.0f frames/s, achieved %.0f frames/s (%" PRIu64
                " of %d frames to the host, "
                "at most %zu waiting in the adapter)\n",
                opts.rate, std::min(achieved, opts.rate), delivered, opts.inject, maxBacklog);
        if (achieved < 0.95 * opts.rate)
            fprintf(reportOut(), "ycan-virtual: warning: the adapter fell behind the offered rate\n");
    }

    const Options& opts;
    Adapters& adapters;
    FrameSource source;
    std::vector<Frame> injected;
    std::vector<Frame> injectedByKind[2];
    size_t echoedByKind[2] = {0, 0};  // position after the last matched frame
    size_t matchedFrames = 0;
    int mismatched = 0;
    size_t maxBacklog = 0;
    bool warnedBehind = false;
    bool started = false;
    steady_clock::time_point startedAt{};
    uint64_t startedAtUs = 0;
    steady_clock::time_point lastDeliveredAt{};
    bool unplugged = false;
    bool replugged = false;
};

// As timeout(1) says it: the command was ended because its time was up.
constexpr int kTimedOut = 124;

int run(const Options& o) {
    Adapters adapters(o);
    if (o.inject > 0 && !adapters.traffic) {
        fprintf(stderr, "ycan-virtual: --inject needs a CAN FD or classic adapter\n");
        return 2;
    }
    if (adapters.traffic && o.channel >= adapters.trafficChannels) {
        fprintf(stderr,
                "ycan-virtual: --channel takes a channel of the adapter that carries the traffic, 0 to %u, "
                "not \"%u\"\n",
                adapters.trafficChannels - 1, o.channel);
        return 2;
    }
    if (adapters.traffic && o.adapterRate > 0) adapters.traffic->limitRateToHost(o.adapterRate);

    // Under --control the command's harness plays the bus through the
    // socket; the scripted traffic stays off.
    std::unique_ptr<ycanvirtual::ControlServer> control;
    std::vector<std::string> env;
    if (o.control) {
        control = std::make_unique<ycanvirtual::ControlServer>(*adapters.bench, adapters.controlled);
        env.push_back("YCAN_VIRTUAL_CONTROL=" + control->path());
        adapters.traffic.reset();
    }
    std::unique_ptr<ScriptedTraffic> traffic;
    if (adapters.traffic) traffic = std::make_unique<ScriptedTraffic>(o, adapters);

    fflush(reportOut());  // what we said so far comes before what the command says
    ycanvirtual::ForegroundCommand child(o.command, env);
    const auto start = steady_clock::now();
    int exitStatus = -1;
    bool timedOut = false;
    for (;;) {
        if (traffic) traffic->step();
        fflush(reportOut());

        exitStatus = child.wait(0ms);
        if (exitStatus >= 0) break;
        const long elapsed = duration_cast<milliseconds>(steady_clock::now() - start).count();
        if (o.duration > 0 && elapsed >= o.duration) {
            timedOut = true;
            break;
        }
        // Once we were asked to end, the command was told: its end is ours.
        if (!ycanvirtual::ForegroundCommand::interrupted()) {
            const size_t matched = traffic ? traffic->matched() : 0;
            const int mismatched = traffic ? traffic->mismatchedFrames() : 0;
            if (o.until >= 0 && static_cast<long>(matched) >= o.until) break;
            if (o.expectEcho && o.inject > 0 && static_cast<int>(matched) + mismatched >= o.inject) break;
        }
        std::this_thread::sleep_for(traffic ? traffic->pause(10ms) : 10ms);
    }
    const bool stoppedByUs = exitStatus < 0;
    if (stoppedByUs) child.stop(SIGTERM, 2s);

    bool failed = false;
    if (traffic) {
        failed = traffic->summarise();
    } else if (o.expectEcho || o.inject > 0) {
        fprintf(reportOut(), "echoed 0/0 frames, 0 mismatched\n");  // the bus was the command harness's
    }
    if (timedOut) fprintf(reportOut(), "ycan-virtual: --duration %ld ms ended the command\n", o.duration);
    fflush(reportOut());
    if (failed) return 1;
    if (timedOut) return kTimedOut;
    return stoppedByUs ? 0 : exitStatus;
}

}  // namespace

int main(int argc, char** argv) {
    Options o = parse(argc, argv);
    // Over USB/IP the command meets the kernel's own usbfs.
    if (!o.usbip) ensurePreload(argv);
    // A pipe reader that goes away must not kill us before the summary.
    signal(SIGPIPE, SIG_IGN);
    try {
        return run(o);
    } catch (const std::exception& e) {
        fprintf(stderr, "ycan-virtual: %s\n", e.what());
        return 2;
    }
}
