// Soak: an adapter pulled out and plugged back again and again while frames
// flow both ways, a thread issues commands and another closes and reopens
// the adapter now and then. Every cycle must recover; no frame may be
// delivered corrupted, twice or out of order, in either direction; file
// descriptors and threads must stay as they were, and memory flat.
//
// YCAN_SOAK_SECONDS sets the length per family (default 20; an hour for a
// local soak). The test prints cycles, frames and recovery times.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "adapter_fixture.h"
#include "eventually.h"
#include "ycan.h"

using namespace std::chrono_literals;
using ycantest::eventually;
using ycantest::msSince;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

double soakSeconds() {
    const char* v = std::getenv("YCAN_SOAK_SECONDS");
    const double s = v != nullptr ? std::atof(v) : 0;
    return s > 0 ? s : 20;
}

size_t entries(const char* dir) {
    size_t n = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir)) ++n;
    return n;
}

struct Resources {
    size_t fds;
    size_t threads;
    long rssKb;
};

// The process's own descriptors: the virtual bench's are taken off (it
// keeps a node and a socket per plug-in for connections still open).
Resources sample(const ycansim::UsbBench& bench) {
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return {entries("/proc/self/fd") - bench.descriptorsHeld(), entries("/proc/self/task"),
            resident * (sysconf(_SC_PAGESIZE) / 1024)};
}

class Soak : public ycantest::FamilyFixture {};

}  // namespace

TEST_P(Soak, UnplugReplugCloseReopenUnderTrafficBothWays) {
    const uint32_t type = fam->type();
    ASSERT_TRUE(fam->ready());
    // One cycle first, so that whatever is made once on first use exists
    // before the resources are counted.
    bench.unplug(*fam->dev);
    ASSERT_TRUE(eventually([&] { return fam->recovering(); }, 5s));
    bench.replug(*fam->dev);
    ASSERT_TRUE(eventually([&] { return fam->command(); }, 10s));
    const Resources before = sample(bench);

    std::atomic<bool> running{true};
    std::atomic<uint64_t> received{0}, corrupted{0}, misordered{0}, transmitted{0}, commandsOk{0}, reopens{0};
    std::atomic<uint32_t> nextIn{0};
    // Transmitted frame numbers count up from kFirstOut; one bit each for
    // "a transmit reported it sent" and "the adapter put it on the bus".
    constexpr uint32_t kFirstOut = 1u << 24;
    std::mutex sentLock;
    std::vector<bool> sentOk, onBus;
    int64_t lastOnBus = -1;
    size_t notOurs = 0, outOfOrder = 0;
    // Takes what the adapter sent so far: ours, once each, in order.
    auto checkBus = [&] {
        for (int64_t n : fam->takeBusNumbers()) {
            if (n < kFirstOut) {
                ++notOurs;
                continue;
            }
            if (n <= lastOnBus) ++outOfOrder;
            lastOnBus = std::max(lastOnBus, n);
            const size_t bit = static_cast<size_t>(n - kFirstOut);
            if (onBus.size() <= bit) onBus.resize(bit + 1);
            onBus[bit] = true;
        }
    };

    std::thread injector([&] {
        while (running) {
            fam->inject(nextIn++);
            std::this_thread::sleep_for(1ms);
        }
    });
    std::thread receiver([&] {
        int64_t last = -1;
        _YCAN_CAN_OBJ f[64];
        while (running) {
            const int n = YCAN_Receive(type, 0, 0, f, 64, 20);
            if (n <= 0) std::this_thread::sleep_for(1ms);  // closed for a moment
            for (int i = 0; i < n; ++i) {
                ++received;
                const int64_t number = ycantest::frameNumber(f[i]);
                if (number < 0) {
                    ++corrupted;
                } else {
                    if (number <= last) ++misordered;
                    last = number;
                }
            }
        }
    });
    std::thread transmitter([&] {
        uint32_t n = kFirstOut;
        while (running) {
            if (fam->transmit(n) == 1) {
                std::lock_guard guard(sentLock);
                if (sentOk.size() <= n - kFirstOut) sentOk.resize(n - kFirstOut + 1);
                sentOk[n - kFirstOut] = true;
                ++transmitted;
            }
            ++n;
            std::this_thread::sleep_for(2ms);
        }
    });
    std::thread commander([&] {
        while (running) {
            if (fam->command()) ++commandsOk;
            std::this_thread::sleep_for(5ms);
        }
    });
    std::thread closer([&] {
        std::mt19937 rng(7);
        while (running) {
            for (int i = 0; i < 150 + static_cast<int>(rng() % 100) && running; ++i)
                std::this_thread::sleep_for(10ms);
            if (!running) break;
            YCAN_CloseDevice(type, 0);
            // Reopened as soon as the adapter is there. An adapter pulled out
            // before a channel was initialised is not reconnected by the
            // library (only initialised channels are restored): like an
            // application, close and open again until it works. Also when
            // the soak ends meanwhile: the adapter must be usable after it
            // (the last cycle plugs it back in).
            const auto giveUp = std::chrono::steady_clock::now() + 20s;
            while (!fam->ready() && std::chrono::steady_clock::now() < giveUp) {
                YCAN_CloseDevice(type, 0);
                std::this_thread::sleep_for(20ms);
            }
            ++reopens;
        }
    });

    std::mt19937 rng(11);
    std::vector<double> recoveryMs;
    int failedCycles = 0;
    // At least the soak's time, and at least a few cycles however slowly
    // this machine recovers (a failed cycle gives up after 10 s).
    constexpr size_t kMinCycles = 4;
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(soakSeconds());
    while (std::chrono::steady_clock::now() < end ||
           recoveryMs.size() + static_cast<size_t>(failedCycles) < kMinCycles) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30 + rng() % 150));
        bench.unplug(*fam->dev);
        std::this_thread::sleep_for(std::chrono::milliseconds(10 + rng() % 60));
        const auto replugged = std::chrono::steady_clock::now();
        bench.replug(*fam->dev);
        // Recovered: a command works again (through recovery, or through
        // the closer's reopen when it struck meanwhile).
        // What the bench and the adapter recorded is checked as it comes and
        // dropped, so that a long soak keeps its memory flat.
        bench.capture().clear();
        checkBus();
        if (eventually([&] { return fam->command(); }, 10s, 1ms)) {
            recoveryMs.push_back(msSince(replugged));
        } else if (failedCycles++ < 3) {
            ADD_FAILURE() << "cycle " << recoveryMs.size() + static_cast<size_t>(failedCycles)
                          << " never recovered";
        }
    }
    running = false;
    for (std::thread* t : {&injector, &receiver, &transmitter, &commander, &closer}) t->join();
    ASSERT_TRUE(eventually([&] { return fam->command(); }, 10s))
        << "the adapter is not usable after the soak";

    EXPECT_EQ(failedCycles, 0);
    EXPECT_GE(recoveryMs.size(), kMinCycles);
    EXPECT_GT(received.load(), 0u);
    EXPECT_EQ(corrupted.load(), 0u);
    EXPECT_EQ(misordered.load(), 0u);

    // Host to adapter: what the adapter put on the bus is ours, once each and
    // in order, and holds every frame a transmit reported as sent.
    checkBus();
    EXPECT_EQ(notOurs, 0u);
    EXPECT_EQ(outOfOrder, 0u);
    size_t missing = 0;
    for (size_t i = 0; i < sentOk.size(); ++i) missing += sentOk[i] && (i >= onBus.size() || !onBus[i]);
    EXPECT_EQ(missing, 0u) << "frames reported as sent that the adapter never got";
    bench.capture().clear();

    // Resources, counted as before: the adapter open, no helper threads.
    const Resources after = sample(bench);
    EXPECT_EQ(after.fds, before.fds);
    EXPECT_EQ(after.threads, before.threads);
    if (!kSanitized) {
        EXPECT_LT(after.rssKb - before.rssKb, 16 * 1024) << "resident memory grew";
    }

    std::sort(recoveryMs.begin(), recoveryMs.end());
    const double median = recoveryMs.empty() ? 0 : recoveryMs[recoveryMs.size() / 2];
    const double worst = recoveryMs.empty() ? 0 : recoveryMs.back();
    printf(
        "[soak %s] %zu cycles, %llu reopens; frames in %llu received (of %u sent), out %llu sent; "
        "%llu commands ok; recovery median %.0f ms, max %.0f ms; fds %zu->%zu, threads %zu->%zu, "
        "rss %ld->%ld KiB\n",
        fam->name().c_str(), recoveryMs.size(), static_cast<unsigned long long>(reopens.load()),
        static_cast<unsigned long long>(received.load()), nextIn.load(),
        static_cast<unsigned long long>(transmitted.load()),
        static_cast<unsigned long long>(commandsOk.load()), median, worst, before.fds, after.fds,
        before.threads, after.threads, before.rssKb, after.rssKb);
}

INSTANTIATE_TEST_SUITE_P(Families, Soak, ::testing::Values("canfd", "classic"),
                         [](const auto& p) { return std::string(p.param); });
