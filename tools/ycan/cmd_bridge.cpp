// ycan bridge: channels of an adapter as Linux CAN network interfaces, so
// that every SocketCAN program (can-utils, Wireshark, python-can's socketcan
// interface, ...) can use them, many at once.
//
// One process per adapter. Its main thread waits in poll() on the adapter's
// event descriptor, the interfaces' sockets and a signalfd: frames from the
// adapter are written to their channel's interface in delivery order, a
// batch per system call; frames other programs write on an interface go to
// a bounded queue per channel, whose thread hands them to the adapter
// (transmit calls take milliseconds and must not hold up the other way).
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <linux/can/error.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tools/ycan/adapter_arrival.h"
#include "tools/ycan/adapter_holder.h"
#include "tools/ycan/adapter_target.h"
#include "tools/ycan/attached_adapters.h"
#include "tools/ycan/bridge_supervisor.h"
#include "tools/ycan/bus_options.h"
#include "tools/ycan/can_interface.h"
#include "tools/ycan/commands.h"
#include "tools/ycan/socketcan_frames.h"
#include "tools/ycan/transmit_queue.h"
#include "ycan.h"

namespace ycantool {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kRetryEvery = std::chrono::milliseconds(500);

const char* kHelp =
    "usage: ycan bridge --all [--config FILE] [--create] [--check]\n"
    "       ycan bridge ADAPTER CH=IFACE [CH=IFACE ...] [--create] [--wait] [--tx-queue N]\n"
    "                   [--stats S] [--exit-on-iface-loss] [bus settings]\n"
    "--all bridges every adapter plugged in, now and later, each in a bridge process of its\n"
    "own (one that fails is started again; the others go on). Interface names and bus\n"
    "settings come from FILE (default " YCAN_BRIDGES_CONF "; see 'man ycan'); an\n"
    "adapter it does not name gets ycanPORT-CH, e.g. ycan1-2.3-0 for channel 0 of the\n"
    "adapter in port 1-2.3. SIGHUP reads FILE again; --check only says whether it is good.\n"
    "ADAPTER is TYPE:INDEX, TYPE@PORT or TYPE#SERIAL (see 'ycan list').\n"
    "Makes channels of an adapter Linux CAN network interfaces: every frame the adapter\n"
    "receives on channel CH reaches the programs on IFACE, in the order the adapter\n"
    "delivered them, and every frame a program writes on IFACE is sent on channel CH. One\n"
    "process serves one adapter; run one bridge per adapter.\n"
    "IFACE is the interface programs use. As with a kernel driver's, frames from the bus\n"
    "are received there (candump -x: RX) and a program's own are transmissions (TX): IFACE\n"
    "is one end of a vxcan pair whose other end, IFACE-ycan, is the bridge's (--create\n"
    "makes the pair):\n"
    "  ip link add dev can0 type vxcan peer name can0-ycan\n"
    "  ip link set can0 mtu 72 up && ip link set can0-ycan mtu 72 up\n"
    "Without IFACE-ycan the bridge uses IFACE itself, e.g. a vcan (where every frame is a\n"
    "local transmission) or a pair's end whose peer is in a container. An interface with\n"
    "the classic MTU (16) carries classic frames only: CAN FD frames for it are counted as\n"
    "dropped.\n"
    "  --create             create a missing IFACE as a vxcan pair (MTU 72, up; needs\n"
    "                       CAP_NET_ADMIN)\n"
    "  --wait               wait for an adapter that is not plugged in instead of failing\n"
    "  --tx-queue N         frames that may wait for the adapter per channel (default: a\n"
    "                       second at the bus rate); what overflows is counted\n"
    "  --stats S            per-channel counters on stderr every S seconds (SIGUSR1: once)\n"
    "  --exit-on-iface-loss exit with status 1 when an interface goes down or away, instead\n"
    "                       of waiting for it to return\n"
    "SIGINT or SIGTERM stop it (status 0). While the adapter is unplugged the interfaces\n"
    "stay: each gets a CAN error frame 'bus-off' as it goes and 'restarted' as it returns,\n"
    "and a pair's IFACE has no carrier meanwhile (frames written there are dropped).\n";

struct BridgeOptions {
    Target adapter;
    BusSettings bus;
    std::vector<std::pair<uint32_t, std::string>> pairs;  // channel, interface
    bool create = false;
    bool wait = false;
    bool exitOnLoss = false;
    // Started by ycan bridge --all, which says when the adapter comes and goes.
    bool supervised = false;
    long txQueue = -1;
    double statsEvery = 0;
};

// The command line, checked against the adapter's family and channels; a
// wrong one ends the process with status 2.
BridgeOptions parseBridgeArgs(const Args& args) {
    BridgeOptions o;
    bool haveTarget = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (takeBusOption("bridge", args, i, o.bus)) continue;
        if (a == "--create") {
            o.create = true;
        } else if (a == "--wait") {
            o.wait = true;
        } else if (a == "--exit-on-iface-loss") {
            o.exitOnLoss = true;
        } else if (a == "--supervised") {
            o.supervised = true;
        } else if (a == "--tx-queue" || a == "--stats") {
            const std::string v = i + 1 < args.size() ? args[++i] : "";
            char* end = nullptr;
            const double x = strtod(v.c_str(), &end);
            if (v.empty() || *end != '\0' || !(x > 0) ||
                (a == "--tx-queue" && (x != static_cast<long>(x) || x > 1e7)))
                usageError("bridge", a == "--stats"
                                         ? "--stats takes seconds above 0, e.g. 5"
                                         : "--tx-queue takes a number of frames from 1 to 10000000");
            if (a == "--stats")
                o.statsEvery = x;
            else
                o.txQueue = static_cast<long>(x);
        } else if (!a.empty() && a[0] == '-') {
            usageError("bridge", "unknown option " + a);
        } else if (a.find('=') != std::string::npos) {
            const std::string ch = a.substr(0, a.find('=')), iface = a.substr(a.find('=') + 1);
            char* end = nullptr;
            const unsigned long n = strtoul(ch.c_str(), &end, 10);
            if (ch.empty() || *end != '\0' || n > 7 || iface.empty())
                usageError("bridge", "expected CH=IFACE, e.g. 0=vcan0, not \"" + a + "\"");
            for (const auto& [c, name] : o.pairs)
                if (c == n || name == iface) usageError("bridge", a + ": each channel and interface once");
            o.pairs.emplace_back(static_cast<uint32_t>(n), iface);
        } else {
            if (haveTarget) usageError("bridge", "unexpected " + a);
            std::string why;
            if (!parseTarget(a, false, o.adapter, why)) usageError("bridge", why);
            haveTarget = true;
        }
    }
    if (!haveTarget) usageError("bridge", "which adapter? TYPE:INDEX");
    if (o.pairs.empty()) usageError("bridge", "which channels? CH=IFACE, e.g. 0=vcan0");
    for (const auto& [ch, iface] : o.pairs) {
        Target one = o.adapter;
        one.channel = ch;
        std::string why;
        if (!fitToAdapter(one, o.bus, why)) usageError("bridge", why);
    }
    if (o.txQueue < 0) {
        // A second at the bus rate: the shortest classic frame is 47 bits.
        o.txQueue = std::max<long>(64, static_cast<long>(busRates(o.adapter, o.bus).nominal / 47));
    }
    return o;
}

// One channel and its interface: `name` is the one programs use; the
// bridge's socket is on it, or on the bridge's end of its vxcan pair.
struct Bridged {
    Bridged(uint32_t channel, const std::string& ifaceName, bool onPairEnd)
        : ch(channel), name(ifaceName), pair(onPairEnd), iface(onPairEnd ? bridgeEndName(ifaceName) : ifaceName) {}
    uint32_t ch;
    std::string name;
    bool pair;
    CanInterface iface;
    bool away = false;          // interface gone or down, waiting for it
    bool carrierOff = false;    // the pair's bridge end taken down while the adapter is away
    bool warnedCarrier = false;
    bool warnedFdDrop = false;  // said once: FD frames for a classic-MTU interface
    bool warnedFull = false;
    bool warnedKernelDrops = false;
    BridgeCounters counters;
    std::unique_ptr<TransmitQueue> tx;
};

class Bridge {
public:
    explicit Bridge(BridgeOptions options) : o(std::move(options)), t(o.adapter) {}
    ~Bridge() {
        if (sigFd >= 0) close(sigFd);
    }
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    // Blocks the stop signals (before any thread starts, so that every
    // thread has them blocked), opens the interfaces and the adapter. On
    // failure says why and deletes the interfaces it created; the process
    // then exits 1.
    bool start();
    // Whether a stop signal came while it waited for the adapter.
    bool stoppedBeforeStart() const { return !running; }
    // Until a stop signal (0) or a loss that ends it (1); closes the adapter.
    int run();

private:
    bool startAll();
    bool prepareInterface(uint32_t ch, const std::string& name);
    bool openInterface(Bridged& b);
    bool attachedNow();
    bool waitForAdapter();
    bool openAdapter();
    bool readSignals();
    void adapterGone();
    void adapterBack();
    void fromAdapter();
    void writeRun(Bridged& b, size_t count);
    void fromInterface(Bridged& b, short events);
    void checkLink();
    void retryInterfaces();
    void lose(Bridged& b, const char* what);
    void printStats() const;

    const BridgeOptions o;
    Target t;
    int sigFd = -1;
    int eventFd = -1;
    std::vector<std::string> createdHere;  // by --create, in this start
    std::vector<std::unique_ptr<Bridged>> channels;
    Bridged* byChannel[8] = {};
    bool running = true;
    int status = 0;
    bool adapterAway = false;
    uint32_t losses = 0;
    // Buffers of the two ways, kept across wake-ups.
    std::vector<_YCAN_RX_FRAME> received = std::vector<_YCAN_RX_FRAME>(256);
    std::vector<canfd_frame> converted = std::vector<canfd_frame>(256);
    std::vector<size_t> sizes = std::vector<size_t>(256);
    std::vector<canfd_frame> incoming = std::vector<canfd_frame>(64);
    std::vector<Outgoing> outgoing = std::vector<Outgoing>(64);
};

// Finds or makes the channel's interface and opens the bridge's socket on it.
bool Bridge::prepareInterface(uint32_t ch, const std::string& name) {
    const bool pair = interfaceExists(bridgeEndName(name));
    if (!pair && !interfaceExists(name) && o.create) {
        std::string why;
        if (!createVxcanPair(name, bridgeEndName(name), why)) {
            fprintf(stderr, "ycan bridge: no interface %s, and creating it failed: %s\n", name.c_str(),
                    why.c_str());
            return false;
        }
        fprintf(stderr, "ycan bridge: created %s (vxcan pair with %s, the bridge's end; MTU 72)\n", name.c_str(),
                bridgeEndName(name).c_str());
        createdHere.push_back(name);
        channels.push_back(std::make_unique<Bridged>(ch, name, true));
    } else {
        channels.push_back(std::make_unique<Bridged>(ch, name, pair));
    }
    Bridged& b = *channels.back();
    byChannel[ch] = &b;
    // Frames written faster than the bridge reads wait in the socket: room
    // for a transmit queue's worth (never less than the default).
    b.iface.setReceiveBuffer(static_cast<size_t>(std::clamp<long>(o.txQueue, 256, 1 << 16)) * 1024);
    return openInterface(b);
}

bool Bridge::openInterface(Bridged& b) {
    const std::string& bound = b.iface.name();
    std::string why;
    if (!b.iface.open(why) && b.pair && why == bound + " is down") {
        // The bridge's end is the bridge's to set up (a bridge that ended
        // while its adapter was away left it down).
        std::string upWhy;
        if (setLinkUp(bound, true, upWhy)) b.iface.open(why);
    }
    if (!b.iface.isOpen()) {
        if (why.rfind("no interface", 0) == 0)
            fprintf(stderr,
                    "ycan bridge: %s\nycan bridge: make it, with the bridge's end %s, with\n"
                    "  ip link add dev %s type vxcan peer name %s\n"
                    "  ip link set %s mtu 72 up && ip link set %s mtu 72 up\n"
                    "(or give --create where the bridge may; a vcan %s works too)\n",
                    why.c_str(), bridgeEndName(b.name).c_str(), b.name.c_str(), bridgeEndName(b.name).c_str(),
                    b.name.c_str(), bridgeEndName(b.name).c_str(), b.name.c_str());
        else if (why == bound + " is down")
            fprintf(stderr, "ycan bridge: %s\nycan bridge: set it up with\n  ip link set %s up\n", why.c_str(),
                    bound.c_str());
        else
            fprintf(stderr, "ycan bridge: %s\n", why.c_str());
        return false;
    }
    if (b.pair && !hasCarrier(bound)) {
        fprintf(stderr, "ycan bridge: %s is down\nycan bridge: set it up with\n  ip link set %s up\n",
                b.name.c_str(), b.name.c_str());
        b.iface.close();
        return false;
    }
    if (!b.iface.carriesFd())
        fprintf(stderr, "ycan bridge: %s has the classic MTU: CAN FD frames for it will be dropped\n",
                bound.c_str());
    return true;
}

bool Bridge::start() {
    if (startAll()) return true;
    if (!running) return false;  // stopped while it waited: as a bridge that ran
    // A bridge that does not run leaves no interface of its own behind.
    for (auto& b : channels) b->iface.close();
    for (const std::string& name : createdHere) {
        std::string why;
        if (deleteInterface(name, why))
            fprintf(stderr, "ycan bridge: deleted %s, which it had created\n", name.c_str());
        else
            fprintf(stderr, "ycan bridge: could not delete %s: %s\n", name.c_str(), why.c_str());
    }
    return false;
}

bool Bridge::startAll() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    sigFd = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (sigFd < 0) {
        perror("ycan bridge: signalfd");
        return false;
    }
    for (const auto& [ch, iface] : o.pairs)
        if (!prepareInterface(ch, iface)) return false;
    if (o.wait && !attachedNow() && !waitForAdapter()) return false;
    if (!openAdapter()) return false;
    eventFd = YCAN_GetEventFd(t.type, t.index);
    if (eventFd < 0) {
        reportFailure("no event descriptor for " + t.name());
        YCAN_CloseDevice(t.type, t.index);
        return false;
    }
    for (auto& b : channels)
        b->tx = std::make_unique<TransmitQueue>(t, b->ch, static_cast<size_t>(o.txQueue), b->counters);
    if (!o.supervised) {
        fprintf(stderr, "ycan bridge: %s:", t.name().c_str());
        for (const auto& b : channels) fprintf(stderr, " %u=%s", b->ch, b->name.c_str());
        fprintf(stderr, " (stop with Ctrl-C)\n");
    }
    return true;
}

// Stop signals read; false when one asks to stop (SIGUSR1 prints the
// counters).
bool Bridge::readSignals() {
    signalfd_siginfo si{};
    while (read(sigFd, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
        if (si.ssi_signo == SIGUSR1)
            printStats();
        else
            running = false;
    }
    return running;
}

// Whether the adapter is listed; one named by port or serial number is
// located at the same time, which spares the open a look of its own.
bool Bridge::attachedNow() {
    if (t.by == Target::By::Index) return isAttached(t);
    std::string why;
    return locate(t, why);
}

// An adapter that is not plugged in: its interfaces are there, as while it
// is away; nothing is opened until it is.
bool Bridge::waitForAdapter() {
    if (!o.supervised)
        fprintf(stderr, "ycan bridge: adapter %s is not plugged in; waiting for it\n", t.name().c_str());
    adapterGone();
    for (;;) {
        if (waitUntilAttached(t, sigFd)) break;
        if (!readSignals()) return false;
    }
    if (!o.supervised) fprintf(stderr, "ycan bridge: adapter %s plugged in\n", t.name().c_str());
    return true;
}

bool Bridge::openAdapter() {
    std::vector<uint32_t> numbers;
    numbers.reserve(channels.size());
    for (const auto& b : channels) numbers.push_back(b->ch);
    // One that was just plugged in may take a moment to answer.
    for (int tries = 1; !openAndStartChannels(t, numbers, o.bus); ++tries) {
        if (!o.wait || tries == 5 || !isAttached(t)) return false;
        pollfd stop{sigFd, POLLIN, 0};
        if (poll(&stop, 1, 1000) > 0 && !readSignals()) return false;
    }
    if (adapterAway) adapterBack();
    return true;
}

// The adapter went: each interface gets the error frame a controller's
// driver writes at bus-off, and a pair's programs lose the carrier (the
// bridge's end goes down) until it returns. Without CAP_NET_ADMIN the
// error frames alone say it.
void Bridge::adapterGone() {
    adapterAway = true;
    for (auto& b : channels) {
        if (b->away || !b->iface.isOpen()) continue;
        b->iface.writeError(CAN_ERR_BUSOFF);
        if (!b->pair) continue;
        std::string why;
        if (setLinkUp(b->iface.name(), false, why)) {
            b->iface.close();
            b->carrierOff = true;
        } else if (!b->warnedCarrier) {
            fprintf(stderr, "ycan bridge: cannot take the carrier of %s away (%s): the error frame alone says it\n",
                    b->name.c_str(), why.c_str());
            b->warnedCarrier = true;
        }
    }
}

void Bridge::adapterBack() {
    adapterAway = false;
    for (auto& b : channels) {
        if (b->carrierOff) {
            b->carrierOff = false;
            std::string why;
            if (!setLinkUp(b->iface.name(), true, why) || !b->iface.open(why)) {
                lose(*b, "could not be set up again");
                continue;
            }
        }
        if (!b->away && b->iface.isOpen()) b->iface.writeError(CAN_ERR_RESTARTED);
    }
}

void Bridge::lose(Bridged& b, const char* what) {
    b.away = true;
    fprintf(stderr, "ycan bridge: %s %s%s\n", b.name.c_str(), what,
            o.exitOnLoss ? "" : "; waiting for it to return");
    if (o.exitOnLoss) {
        status = 1;
        running = false;
    }
}

// The first `count` converted frames, all of channel b, onto its interface.
void Bridge::writeRun(Bridged& b, size_t count) {
    if (b.away || b.carrierOff || !b.iface.isOpen()) {
        b.counters.dropped.fetch_add(count);
        return;
    }
    bool gone = false;
    const size_t written = b.iface.write(converted.data(), sizes.data(), count, gone);
    b.counters.toInterface.fetch_add(written);
    b.counters.dropped.fetch_add(count - written);
    if (gone) lose(b, "went down or away");
}

// Adapter -> interfaces, in delivery order: runs of one channel's frames go
// out with one call.
void Bridge::fromAdapter() {
    int n;
    do {
        n = YCAN_ReceiveAll(t.type, t.index, YCAN_ALL_CHANNELS, received.data(),
                            static_cast<uint32_t>(received.size()), 0);
        for (int k = 0; k < n;) {
            const uint8_t ch = received[static_cast<size_t>(k)].Channel;
            Bridged* b = ch < 8 ? byChannel[ch] : nullptr;
            size_t run = 0;
            for (; k < n && received[static_cast<size_t>(k)].Channel == ch; ++k) {
                const _YCAN_RX_FRAME& r = received[static_cast<size_t>(k)];
                if (b == nullptr) continue;
                if (r.Kind == YCAN_KIND_CANFD && !b->iface.carriesFd()) {
                    b->counters.dropped.fetch_add(1);
                    if (!b->warnedFdDrop)
                        fprintf(stderr,
                                "ycan bridge: %s has the classic MTU: a CAN FD frame was dropped "
                                "(counted from now on)\n",
                                b->name.c_str());
                    b->warnedFdDrop = true;
                    continue;
                }
                sizes[run] = toSocketCan(r, converted[run]);
                ++run;
            }
            if (b != nullptr && run > 0) writeRun(*b, run);
        }
    } while (n == static_cast<int>(received.size()));
    checkLink();
}

void Bridge::checkLink() {
    uint32_t lost = 0;
    const int link = YCAN_GetLinkState(t.type, t.index, &lost);
    losses = lost;
    if (link == 0 && !adapterAway) {
        if (!o.supervised)
            fprintf(stderr, "ycan bridge: adapter %s unplugged; waiting for it to return\n", t.name().c_str());
        adapterGone();
    } else if (link == 1 && adapterAway) {
        if (!o.supervised) fprintf(stderr, "ycan bridge: adapter %s is back\n", t.name().c_str());
        adapterBack();
    } else if (link < 0) {
        reportFailure("adapter " + t.name() + " was closed");
        status = 1;
        running = false;
    }
}

// Interface -> adapter: what other programs wrote, to the channel's queue.
void Bridge::fromInterface(Bridged& b, short events) {
    int n;
    while ((n = b.iface.read(incoming.data(), sizes.data(), incoming.size())) > 0) {
        for (size_t f = 0; f < static_cast<size_t>(n); ++f)
            outgoing[f] = fromSocketCan(incoming[f], sizes[f]);
        const uint64_t overflowBefore = b.counters.queueOverflow.load();
        b.tx->push(outgoing.data(), static_cast<size_t>(n));
        if (b.counters.queueOverflow.load() != overflowBefore && !b.warnedFull) {
            fprintf(stderr,
                    "ycan bridge: %s: the adapter takes frames slower than they come; the transmit "
                    "queue is full and frames are dropped (counted)\n",
                    b.name.c_str());
            b.warnedFull = true;
        }
    }
    if (b.iface.kernelDrops() > 0 && !b.warnedKernelDrops) {
        fprintf(stderr,
                "ycan bridge: %s: frames written there came faster than the bridge read them; the "
                "kernel dropped some (counted as iface-overflow)\n",
                b.name.c_str());
        b.warnedKernelDrops = true;
    }
    if (n < 0 || (events & (POLLERR | POLLHUP | POLLNVAL))) {
        b.iface.close();
        lose(b, "went down or away");
    }
}

// Interfaces that went are looked for again; a pair whose programs' end
// went down is noticed here (the bridge's end only loses its carrier).
void Bridge::retryInterfaces() {
    for (auto& b : channels) {
        if (b->carrierOff || !running) continue;
        if (!b->away) {
            if (b->pair && b->iface.isOpen() && !hasCarrier(b->iface.name())) {
                b->iface.close();
                lose(*b, "went down or away");
            }
            continue;
        }
        std::string why;
        if (b->iface.open(why) && (!b->pair || hasCarrier(b->iface.name()))) {
            b->away = false;
            b->warnedFdDrop = false;
            fprintf(stderr, "ycan bridge: %s is back\n", b->name.c_str());
        } else {
            b->iface.close();
        }
    }
}

void Bridge::printStats() const {
    for (const auto& b : channels) {
        const BridgeCounters& c = b->counters;
        fprintf(stderr,
                "ycan bridge: %s:%u=%s to-iface %llu to-adapter %llu dropped %llu tx-overflow %llu tx-failed "
                "%llu "
                "iface-overflow %llu link-losses %u\n",
                t.name().c_str(), b->ch, b->name.c_str(),
                static_cast<unsigned long long>(c.toInterface.load()),
                static_cast<unsigned long long>(c.toAdapter.load()),
                static_cast<unsigned long long>(c.dropped.load()),
                static_cast<unsigned long long>(c.queueOverflow.load()),
                static_cast<unsigned long long>(c.transmitFailed.load()),
                static_cast<unsigned long long>(b->iface.kernelDrops()), losses);
    }
}

int Bridge::run() {
    const auto statsPeriod =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.statsEvery));
    auto nextRetry = Clock::now() + kRetryEvery;
    auto nextStats = o.statsEvery > 0 ? Clock::now() + statsPeriod : Clock::time_point::max();
    std::vector<pollfd> fds;
    std::vector<Bridged*> polled;
    while (running) {
        fds.assign({{sigFd, POLLIN, 0}, {eventFd, POLLIN, 0}});
        polled.clear();
        for (auto& b : channels) {
            if (b->away || b->carrierOff || !b->iface.isOpen()) continue;
            fds.push_back({b->iface.descriptor(), POLLIN, 0});
            polled.push_back(b.get());
        }
        const auto now = Clock::now();
        const auto until = std::min(nextRetry, nextStats);
        const int waitMs =
            until <= now
                ? 0
                : static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(until - now).count());
        if (poll(fds.data(), fds.size(), waitMs) < 0 && errno != EINTR) {
            perror("ycan bridge: poll");
            status = 1;
            break;
        }
        if (fds[0].revents & POLLIN) readSignals();
        if (fds[1].revents & POLLIN) fromAdapter();
        for (size_t k = 0; k < polled.size(); ++k)
            if (fds[k + 2].revents != 0) fromInterface(*polled[k], fds[k + 2].revents);
        if (Clock::now() >= nextRetry) {
            nextRetry = Clock::now() + kRetryEvery;
            retryInterfaces();
        }
        if (Clock::now() >= nextStats) {
            printStats();
            nextStats += statsPeriod;
        }
    }
    // Stop the queues' threads (what still waits for the adapter is not
    // sent, and said), then close the adapter.
    for (auto& b : channels) {
        const size_t left = b->tx->stop();
        if (left > 0)
            fprintf(stderr, "ycan bridge: %s: %zu frames still waiting for the adapter were not sent\n",
                    b->name.c_str(), left);
    }
    YCAN_CloseDevice(t.type, t.index);
    printStats();
    return status;
}

}  // namespace

int bridgeCommand(const Args& args) {
    if (wantsHelp(args)) {
        fprintf(out(), "%s", kHelp);
        return 0;
    }
    if (std::find(args.begin(), args.end(), "--all") != args.end()) {
        SupervisorOptions so;
        for (size_t i = 0; i < args.size(); ++i) {
            const std::string& a = args[i];
            if (a == "--all") continue;
            if (a == "--create") {
                so.create = true;
            } else if (a == "--check") {
                so.checkOnly = true;
            } else if (a == "--config") {
                if (i + 1 >= args.size() || args[i + 1].empty()) usageError("bridge", "--config needs a file");
                so.configPath = args[++i];
                so.configGiven = true;
            } else {
                usageError("bridge", "with --all the adapters, interfaces and bus settings come from the "
                                     "configuration file (--config FILE), not " + a);
            }
        }
        return bridgeAll(so);
    }
    Bridge bridge(parseBridgeArgs(args));
    if (!bridge.start()) return bridge.stoppedBeforeStart() ? 0 : 1;
    return bridge.run();
}

}  // namespace ycantool
