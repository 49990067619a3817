// ycan bridge: channels of an adapter as Linux CAN network interfaces, so
// that every SocketCAN program (can-utils, Wireshark, python-can's socketcan
// interface, ...) can use them, many at once.
//
// One process per adapter. Its main thread waits in poll() on the adapter's
// event descriptor, the interfaces' sockets and a signalfd: frames from the
// adapter are written to their channel's interface in delivery order;
// frames other programs write on an interface go to a bounded queue per
// channel, which a writer thread hands to the adapter (transmit calls take
// milliseconds and must not hold up the other direction).
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/ycan/adapter_target.h"
#include "tools/ycan/can_interface.h"
#include "tools/ycan/commands.h"
#include "tools/ycan/socketcan_frames.h"
#include "ycan.h"

namespace ycantool {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kRetryEvery = std::chrono::milliseconds(500);
// Frames one transmit call is given: what one USB packet of the CAN FD
// adapters carries. Larger calls are packets back to back and measured no
// faster; smaller ones let the queue's lock go sooner.
constexpr size_t kTransmitBatch = 10;

struct Counters {
    std::atomic<uint64_t> toInterface{0};    // adapter -> interface
    std::atomic<uint64_t> toAdapter{0};      // interface -> adapter, sent
    std::atomic<uint64_t> dropped{0};        // adapter frames the interface could not take
    std::atomic<uint64_t> queueOverflow{0};  // interface frames the full queue could not take
    std::atomic<uint64_t> transmitFailed{0}; // interface frames the adapter did not take
};

// Frames from an interface waiting for the adapter, and the thread that
// hands them over, a run of one kind per transmit call, in order.
class TransmitQueue {
public:
    TransmitQueue(const Target& adapter, uint32_t channel, size_t capacity, Counters& counts)
        : t(adapter), ch(channel), limit(capacity), counters(counts), worker([this] { run(); }) {}
    ~TransmitQueue() {
        {
            std::lock_guard guard(lock);
            stopping = true;
        }
        wake.notify_all();
        worker.join();
    }
    TransmitQueue(const TransmitQueue&) = delete;
    TransmitQueue& operator=(const TransmitQueue&) = delete;

    // Queues frames in order; what finds the queue full is counted as
    // overflow. Returns how many were queued.
    size_t push(const Outgoing* frames, size_t count) {
        size_t queued = 0;
        bool wasEmpty;
        {
            std::lock_guard guard(lock);
            wasEmpty = waiting.empty();
            for (size_t k = 0; k < count; ++k) {
                if (frames[k].kind == Outgoing::Kind::Refused) continue;
                if (waiting.size() >= limit) {
                    counters.queueOverflow.fetch_add(1);
                    continue;
                }
                waiting.push_back(frames[k]);
                ++queued;
            }
        }
        // The writer only ever waits on an empty queue.
        if (wasEmpty && queued > 0) wake.notify_one();
        return queued;
    }

private:
    void run() {
        std::vector<_YCAN_CAN_OBJ> classic;
        std::vector<_YCAN_CANFD_OBJ> fd;
        for (;;) {
            Outgoing::Kind kind;
            {
                std::unique_lock guard(lock);
                wake.wait(guard, [&] { return stopping || !waiting.empty(); });
                if (stopping) return;
                kind = waiting.front().kind;
                classic.clear();
                fd.clear();
                while (!waiting.empty() && waiting.front().kind == kind && classic.size() + fd.size() < kTransmitBatch) {
                    if (kind == Outgoing::Kind::Fd)
                        fd.push_back(waiting.front().fd);
                    else
                        classic.push_back(waiting.front().classic);
                    waiting.pop_front();
                }
            }
            const auto n = static_cast<uint32_t>(classic.size() + fd.size());
            const int sent = kind == Outgoing::Kind::Fd ? YCAN_TransmitFD(t.type, t.index, ch, fd.data(), n)
                                                        : YCAN_Transmit(t.type, t.index, ch, classic.data(), n);
            const uint32_t ok = sent > 0 ? static_cast<uint32_t>(sent) : 0;
            counters.toAdapter.fetch_add(ok);
            if (ok < n) counters.transmitFailed.fetch_add(n - ok);
        }
    }

    const Target t;
    const uint32_t ch;
    const size_t limit;
    Counters& counters;
    std::mutex lock;
    std::condition_variable wake;
    std::deque<Outgoing> waiting;
    bool stopping = false;
    std::thread worker;  // last: started once the rest is ready
};

// One channel and its interface.
struct Bridged {
    Bridged(uint32_t channel, const std::string& ifaceName) : ch(channel), iface(ifaceName) {}
    uint32_t ch;
    CanInterface iface;
    bool away = false;         // interface gone or down, waiting for it
    bool warnedFdDrop = false; // said once: FD frames for a classic-MTU interface
    bool warnedFull = false;
    bool warnedKernelDrops = false;
    Counters counters;
    std::unique_ptr<TransmitQueue> tx;
};

const char* kHelp =
    "usage: ycan bridge TYPE:INDEX CH=IFACE [CH=IFACE ...] [--create] [--tx-queue N]\n"
    "                   [--stats S] [--exit-on-iface-loss] [bus settings]\n"
    "Makes channels of an adapter Linux CAN network interfaces: every frame the adapter\n"
    "receives on channel CH is written on IFACE, in the order the adapter delivered them,\n"
    "and every frame another program writes on IFACE is sent on channel CH. One process\n"
    "serves one adapter; run one bridge per adapter. The interfaces must exist (a vcan,\n"
    "or one end of a vxcan pair for a container):\n"
    "  ip link add dev vcan0 type vcan && ip link set vcan0 mtu 72 up\n"
    "An interface with the classic MTU (16) carries classic frames only: CAN FD frames for\n"
    "it are counted as dropped.\n"
    "  --create             create missing vcan interfaces (MTU 72, up; needs CAP_NET_ADMIN)\n"
    "  --tx-queue N         frames that may wait for the adapter per channel (default: a\n"
    "                       second at the bus rate); what overflows is counted\n"
    "  --stats S            per-channel counters on stderr every S seconds (SIGUSR1: once)\n"
    "  --exit-on-iface-loss exit with status 1 when an interface goes down or away, instead\n"
    "                       of waiting for it to return\n"
    "SIGINT or SIGTERM stop it (status 0). An unplugged adapter is said on stderr; the\n"
    "interfaces stay and traffic resumes once the library has restored the adapter.\n";

std::string adapterName(const Target& t) { return std::to_string(t.type) + ":" + std::to_string(t.index); }

void printStats(const Target& t, const std::vector<std::unique_ptr<Bridged>>& channels, uint32_t losses) {
    for (const auto& b : channels) {
        const Counters& c = b->counters;
        fprintf(stderr,
                "ycan bridge: %s:%u=%s to-iface %llu to-adapter %llu dropped %llu tx-overflow %llu tx-failed %llu "
                "iface-overflow %llu link-losses %u\n",
                adapterName(t).c_str(), b->ch, b->iface.name().c_str(),
                static_cast<unsigned long long>(c.toInterface.load()),
                static_cast<unsigned long long>(c.toAdapter.load()), static_cast<unsigned long long>(c.dropped.load()),
                static_cast<unsigned long long>(c.queueOverflow.load()),
                static_cast<unsigned long long>(c.transmitFailed.load()),
                static_cast<unsigned long long>(b->iface.kernelDrops()), losses);
    }
}

}  // namespace

int bridgeCommand(const Args& args) {
    if (wantsHelp(args)) {
        fprintf(out(), "%s", kHelp);
        return 0;
    }
    Target t;
    bool haveTarget = false;
    BusSettings bus;
    std::vector<std::pair<uint32_t, std::string>> pairs;
    bool create = false, exitOnLoss = false;
    long txQueue = -1;
    double statsEvery = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (takeBusOption("bridge", args, i, bus)) continue;
        if (a == "--create") {
            create = true;
        } else if (a == "--exit-on-iface-loss") {
            exitOnLoss = true;
        } else if (a == "--tx-queue" || a == "--stats") {
            const std::string v = i + 1 < args.size() ? args[++i] : "";
            char* end = nullptr;
            const double x = strtod(v.c_str(), &end);
            if (v.empty() || *end != '\0' || !(x > 0) || (a == "--tx-queue" && (x != static_cast<long>(x) || x > 1e7)))
                usageError("bridge", a == "--stats" ? "--stats takes seconds above 0, e.g. 5"
                                                    : "--tx-queue takes a number of frames from 1 to 10000000");
            if (a == "--stats")
                statsEvery = x;
            else
                txQueue = static_cast<long>(x);
        } else if (!a.empty() && a[0] == '-') {
            usageError("bridge", "unknown option " + a);
        } else if (a.find('=') != std::string::npos) {
            const std::string ch = a.substr(0, a.find('=')), iface = a.substr(a.find('=') + 1);
            char* end = nullptr;
            const unsigned long n = strtoul(ch.c_str(), &end, 10);
            if (ch.empty() || *end != '\0' || n > 7 || iface.empty())
                usageError("bridge", "expected CH=IFACE, e.g. 0=vcan0, not \"" + a + "\"");
            for (const auto& [c, name] : pairs)
                if (c == n || name == iface) usageError("bridge", a + ": each channel and interface once");
            pairs.emplace_back(static_cast<uint32_t>(n), iface);
        } else {
            if (haveTarget) usageError("bridge", "unexpected " + a);
            std::string why;
            if (!parseTarget(a, false, t, why)) usageError("bridge", why);
            haveTarget = true;
        }
    }
    if (!haveTarget) usageError("bridge", "which adapter? TYPE:INDEX");
    if (pairs.empty()) usageError("bridge", "which channels? CH=IFACE, e.g. 0=vcan0");
    for (const auto& [ch, iface] : pairs) {
        Target one = t;
        one.channel = ch;
        std::string why;
        if (!fitToAdapter(one, bus, why)) usageError("bridge", why);
    }
    if (txQueue < 0) {
        // A second at the bus rate: the shortest classic frame is 47 bits.
        txQueue = std::max<long>(64, static_cast<long>(busRates(t, bus).nominal / 47));
    }

    // The signals come through a descriptor; blocked before any thread
    // starts, so every thread has them blocked.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    const int sigFd = signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);

    std::vector<std::unique_ptr<Bridged>> channels;
    for (const auto& [ch, iface] : pairs) {
        auto b = std::make_unique<Bridged>(ch, iface);
        // Frames written faster than the bridge reads wait in the socket:
        // room for a transmit queue's worth (never less than the default).
        b->iface.setReceiveBuffer(static_cast<size_t>(std::clamp<long>(txQueue, 256, 1 << 16)) * 1024);
        std::string why;
        if (!b->iface.open(why)) {
            std::string created;
            if (create && why.rfind("no interface", 0) == 0 && createVcan(iface, created)) {
                fprintf(stderr, "ycan bridge: created %s (vcan, MTU 72)\n", iface.c_str());
                if (b->iface.open(why)) {
                    channels.push_back(std::move(b));
                    continue;
                }
            } else if (create && why.rfind("no interface", 0) == 0) {
                why += " and creating it failed: " + created;
            }
            fprintf(stderr, "ycan bridge: %s\nycan bridge: make it with\n  ip link add dev %s type vcan\n"
                            "  ip link set %s mtu 72 up\n(or give --create where the bridge may)\n",
                    why.c_str(), iface.c_str(), iface.c_str());
            return 1;
        }
        if (!b->iface.carriesFd())
            fprintf(stderr, "ycan bridge: %s has the classic MTU: CAN FD frames for it will be dropped\n",
                    iface.c_str());
        channels.push_back(std::move(b));
    }
    std::vector<uint32_t> numbers;
    for (const auto& b : channels) numbers.push_back(b->ch);
    if (!openAndStartChannels(t, numbers, bus)) return 1;
    const int eventFd = YCAN_GetEventFd(t.type, t.index);
    if (eventFd < 0) {
        reportFailure("no event descriptor for " + adapterName(t));
        YCAN_CloseDevice(t.type, t.index);
        return 1;
    }
    for (auto& b : channels)
        b->tx = std::make_unique<TransmitQueue>(t, b->ch, static_cast<size_t>(txQueue), b->counters);
    fprintf(stderr, "ycan bridge: %s:", adapterName(t).c_str());
    for (const auto& b : channels) fprintf(stderr, " %u=%s", b->ch, b->iface.name().c_str());
    fprintf(stderr, " (stop with Ctrl-C)\n");

    Bridged* byChannel[8] = {};
    for (auto& b : channels) byChannel[b->ch] = b.get();
    std::vector<_YCAN_RX_FRAME> frames(256);
    std::vector<canfd_frame> converted(frames.size()), incoming(64);
    std::vector<size_t> sizes(frames.size());
    std::vector<Outgoing> outgoing(incoming.size());
    uint32_t losses = 0;
    bool away = false;
    int status = 0;
    bool running = true;
    auto nextRetry = Clock::now() + kRetryEvery;
    auto nextStats = statsEvery > 0 ? Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                         std::chrono::duration<double>(statsEvery))
                                    : Clock::time_point::max();
    auto lose = [&](Bridged& b, const char* what) {
        b.away = true;
        fprintf(stderr, "ycan bridge: %s %s%s\n", b.iface.name().c_str(), what,
                exitOnLoss ? "" : "; waiting for it to return");
        if (exitOnLoss) {
            status = 1;
            running = false;
        }
    };
    while (running) {
        std::vector<pollfd> fds = {{sigFd, POLLIN, 0}, {eventFd, POLLIN, 0}};
        std::vector<Bridged*> polled;
        for (auto& b : channels) {
            if (b->away || !b->iface.isOpen()) continue;
            fds.push_back({b->iface.descriptor(), POLLIN, 0});
            polled.push_back(b.get());
        }
        const auto now = Clock::now();
        const auto until = std::min(nextRetry, nextStats);
        const int waitMs = until <= now ? 0 : static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(until - now).count());
        if (poll(fds.data(), fds.size(), waitMs) < 0 && errno != EINTR) break;

        if (fds[0].revents & POLLIN) {
            signalfd_siginfo si{};
            while (read(sigFd, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
                if (si.ssi_signo == SIGUSR1)
                    printStats(t, channels, losses);
                else
                    running = false;
            }
        }
        if (fds[1].revents & POLLIN) {
            // Adapter -> interfaces, in delivery order.
            int n;
            do {
                n = YCAN_ReceiveAll(t.type, t.index, YCAN_ALL_CHANNELS, frames.data(),
                                    static_cast<uint32_t>(frames.size()), 0);
                // Runs of one channel's frames are written with one call.
                for (int k = 0; k < n;) {
                    const uint8_t ch = frames[static_cast<size_t>(k)].Channel;
                    Bridged* b = ch < 8 ? byChannel[ch] : nullptr;
                    size_t run = 0;
                    for (; k < n && frames[static_cast<size_t>(k)].Channel == ch; ++k) {
                        const _YCAN_RX_FRAME& r = frames[static_cast<size_t>(k)];
                        if (b == nullptr) continue;
                        if (r.Kind == YCAN_KIND_CANFD && !b->iface.carriesFd()) {
                            b->counters.dropped.fetch_add(1);
                            if (!b->warnedFdDrop)
                                fprintf(stderr, "ycan bridge: %s has the classic MTU: a CAN FD frame was dropped "
                                                "(counted from now on)\n", b->iface.name().c_str());
                            b->warnedFdDrop = true;
                            continue;
                        }
                        sizes[run] = toSocketCan(r, converted[run]);
                        ++run;
                    }
                    if (b == nullptr || run == 0) continue;
                    if (b->away || !b->iface.isOpen()) {
                        b->counters.dropped.fetch_add(run);
                        continue;
                    }
                    size_t full = 0;
                    bool gone = false;
                    const size_t written = b->iface.write(converted.data(), sizes.data(), run, full, gone);
                    b->counters.toInterface.fetch_add(written);
                    b->counters.dropped.fetch_add(run - written);
                    if (gone) lose(*b, "went down or away");
                }
            } while (n == static_cast<int>(frames.size()));
            uint32_t lost = 0;
            const int link = YCAN_GetLinkState(t.type, t.index, &lost);
            losses = lost;
            if (link == 0 && !away) {
                away = true;
                fprintf(stderr, "adapter %s unplugged; waiting for it to return\n", adapterName(t).c_str());
            } else if (link == 1 && away) {
                away = false;
                fprintf(stderr, "adapter %s is back\n", adapterName(t).c_str());
            } else if (link < 0) {
                reportFailure("adapter " + adapterName(t) + " was closed");
                status = 1;
                running = false;
            }
        }
        // Interfaces -> adapter.
        for (size_t k = 0; k < polled.size(); ++k) {
            const short ev = fds[k + 2].revents;
            if (ev == 0) continue;
            Bridged& b = *polled[k];
            int n;
            while ((n = b.iface.read(incoming.data(), sizes.data(), incoming.size())) > 0) {
                for (size_t f = 0; f < static_cast<size_t>(n); ++f) outgoing[f] = fromSocketCan(incoming[f], sizes[f]);
                const uint64_t overflowBefore = b.counters.queueOverflow.load();
                b.tx->push(outgoing.data(), static_cast<size_t>(n));
                if (b.counters.queueOverflow.load() != overflowBefore && !b.warnedFull) {
                    fprintf(stderr, "ycan bridge: %s: the adapter takes frames slower than they come; the transmit "
                                    "queue is full and frames are dropped (counted)\n", b.iface.name().c_str());
                    b.warnedFull = true;
                }
            }
            if (b.iface.kernelDrops() > 0 && !b.warnedKernelDrops) {
                fprintf(stderr, "ycan bridge: %s: frames written there came faster than the bridge read them; the "
                                "kernel dropped some (counted as iface-overflow)\n", b.iface.name().c_str());
                b.warnedKernelDrops = true;
            }
            if (n < 0 || (ev & (POLLERR | POLLHUP | POLLNVAL))) {
                b.iface.close();
                lose(b, "went down or away");
            }
        }
        if (Clock::now() >= nextRetry) {
            nextRetry = Clock::now() + kRetryEvery;
            for (auto& b : channels) {
                if (!b->away || !running) continue;
                std::string why;
                if (b->iface.open(why)) {
                    b->away = false;
                    b->warnedFdDrop = false;
                    fprintf(stderr, "ycan bridge: %s is back\n", b->iface.name().c_str());
                }
            }
        }
        if (Clock::now() >= nextStats) {
            printStats(t, channels, losses);
            nextStats += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(statsEvery));
        }
    }
    // Stop the writers (what still waits for the adapter is not sent), then
    // close the adapter.
    for (auto& b : channels) b->tx.reset();
    YCAN_CloseDevice(t.type, t.index);
    printStats(t, channels, losses);
    if (sigFd >= 0) close(sigFd);
    return status;
}

}  // namespace ycantool
