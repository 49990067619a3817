// Adapters that misbehave: replies replaced by noise, truncated, delayed,
// reordered or sent twice, endpoints stalled, and the same done to the
// receive stream. Every exported call that talks to the adapter must come
// back within its bound with a result it documents, the process must stay
// healthy (the adapter answers normally once it behaves again), and frames
// that arrive intact must be delivered intact.
//
// YCAN_HOSTILE_CALLS sets the calls per family (default 2500: some 2,600 to 3,300 requests),
// YCAN_HOSTILE_SEED the seed (default 1).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <thread>
#include <vector>

#include "adapter_fixture.h"
#include "eventually.h"
#include "ycan.h"

using namespace std::chrono_literals;
using ycantest::eventually;

namespace {

int envInt(const char* name, int fallback) {
    const char* v = std::getenv(name);
    const int n = v != nullptr ? std::atoi(v) : 0;
    return n > 0 ? n : fallback;
}

class HostileAdapter : public ycantest::FamilyFixture {
protected:
    void SetUp() override {
        FamilyFixture::SetUp();
        ASSERT_TRUE(fam->ready());
    }

    // Takes frames of channel 0 until `count` have come or `timeout` passed.
    std::vector<_YCAN_CAN_OBJ> takeFrames(size_t count, std::chrono::milliseconds timeout) {
        std::vector<_YCAN_CAN_OBJ> got;
        eventually(
            [&] {
                _YCAN_CAN_OBJ f[64];
                const int n = YCAN_Receive(fam->type(), 0, 0, f, 64, 20);
                got.insert(got.end(), f, f + std::max(n, 0));
                return got.size() >= count;
            },
            timeout, 0ms);
        return got;
    }

    // Waits until nothing the hostile device delayed is still to come (a
    // chunk held back delays what follows it, so the delays add up) and the
    // library has taken in all it was sent: its receive thread (the families
    // that carry frames have one) is back waiting on the stream with nothing
    // queued or finished behind it. On a loaded machine that can take a
    // while; nothing less is settled, as a transfer still being decoded would
    // land after a clear. Late replies may stay on the reply endpoint: the
    // next exchange drops them.
    void settle() {
        ASSERT_TRUE(eventually([&] { return bench.pendingWork() == 0; }, 30s));
        const uint8_t ep = fam->streamEp();
        ASSERT_TRUE(eventually(
            [&] {
                return !fam->carriesFrames() ||
                       (fam->dev->queuedIn(ep) == 0 && fam->dev->finishedIn(ep) == 0 &&
                        fam->dev->pendingIn(ep) > 0);
            },
            30s))
            << "stream queue " << fam->dev->queuedIn(ep) << ", finished " << fam->dev->finishedIn(ep)
            << ", pending " << fam->dev->pendingIn(ep);
    }
};

std::string describe(const ycansim::HostileCounts& c) {
    char text[256];
    snprintf(text, sizeof text,
             "%llu chunks: %llu replaced, %llu truncated, %llu delayed, %llu reordered, %llu duplicated; "
             "%llu stalls",
             static_cast<unsigned long long>(c.chunks), static_cast<unsigned long long>(c.replaced),
             static_cast<unsigned long long>(c.truncated), static_cast<unsigned long long>(c.delayed),
             static_cast<unsigned long long>(c.reordered), static_cast<unsigned long long>(c.duplicated),
             static_cast<unsigned long long>(c.stalls));
    return text;
}

}  // namespace

// Replies and the command endpoints misbehave while frames keep arriving on
// the untouched stream.
TEST_P(HostileAdapter, EveryCallEndsInTimeWithADocumentedResult) {
    ycansim::Hostility h;
    h.seed = static_cast<uint32_t>(envInt("YCAN_HOSTILE_SEED", 1));
    h.tamperEps = {fam->replyEp()};
    h.replacePct = 2;
    h.truncatePct = 2;
    h.delayPct = 10;
    h.reorderPct = 5;
    h.duplicatePct = 5;
    h.maxDelayMs = 15;
    h.stallEps = {fam->commandOutEp(), fam->replyEp()};
    h.stallPct = 1;
    h.stallMs = 10;
    fam->dev->setHostility(h);

    // Frames on channel 0, untouched by the hostility, all the while.
    std::atomic<bool> running{true};
    std::atomic<uint32_t> injected{0};
    std::thread feeder;
    if (fam->carriesFrames())
        feeder = std::thread([&] {
            while (running) {
                fam->inject(injected.load());
                ++injected;
                std::this_thread::sleep_for(2ms);
            }
        });

    auto requestsWritten = [&] {
        return bench.capture().select(fam->dev->id(), ycansim::UsbEvent::Out, fam->commandOutEp()).size();
    };
    const size_t requestsBefore = requestsWritten();
    const int total = envInt("YCAN_HOSTILE_CALLS", 2500);
    std::vector<ycantest::ExportedCall> calls = fam->calls();
    std::map<std::string, double> slowest;
    int late = 0, undocumented = 0, succeeded = 0;
    for (int i = 0; i < total; ++i) {
        const ycantest::ExportedCall& call = calls[static_cast<size_t>(i) % calls.size()];
        const auto t0 = std::chrono::steady_clock::now();
        const int r = call.run();
        const double ms = ycantest::msSince(t0);
        slowest[call.name] = std::max(slowest[call.name], ms);
        if (ms > static_cast<double>(call.bound.count()) && late++ < 5)
            ADD_FAILURE() << call.name << " took " << ms << " ms, bound " << call.bound.count() << " ms";
        if (!call.documented(r) && undocumented++ < 5) ADD_FAILURE() << call.name << " returned " << r;
        succeeded += r > 0;
    }
    running = false;
    if (feeder.joinable()) feeder.join();
    const size_t requests = requestsWritten() - requestsBefore;
    const ycansim::HostileCounts counts = fam->dev->hostileCounts();
    EXPECT_EQ(late, 0);
    EXPECT_EQ(undocumented, 0);
    EXPECT_GT(counts.replaced + counts.truncated + counts.duplicated + counts.stalls, 0u);

    // Healthy: once the adapter behaves, its commands work again.
    fam->dev->setHostility({});
    settle();
    EXPECT_TRUE(eventually([&] { return fam->command(); }, 5s, 0ms))
        << "the adapter's commands never came back";

    // Every frame arrived intact, so every frame is delivered, in order.
    if (fam->carriesFrames()) {
        const uint32_t sent = injected.load();
        std::vector<_YCAN_CAN_OBJ> got = takeFrames(sent, 10s);
        ASSERT_EQ(got.size(), sent);
        for (uint32_t n = 0; n < sent; ++n) ASSERT_EQ(ycantest::frameNumber(got[n]), n) << "frame " << n;
    }

    std::string worst;
    for (auto& [name, ms] : slowest) worst += " " + name + "=" + std::to_string(static_cast<int>(ms)) + "ms";
    printf("[hostile %s] %d calls (%d succeeded), %zu requests written; replies %s; frames %u; slowest:%s\n",
           fam->name().c_str(), total, succeeded, requests, describe(counts).c_str(), injected.load(),
           worst.c_str());
}

// The receive stream itself misbehaves: whatever the library hands out is a
// well-formed frame, and once the adapter behaves again (and the channel's
// buffer is cleared) frames flow exactly again.
TEST_P(HostileAdapter, MangledStreamYieldsOnlyWellFormedFramesAndRecovers) {
    if (!fam->carriesFrames()) GTEST_SKIP() << "the recorder carries no frames";
    ycansim::Hostility h;
    h.seed = static_cast<uint32_t>(envInt("YCAN_HOSTILE_SEED", 1));
    h.tamperEps = {fam->streamEp()};
    h.replacePct = 10;
    h.truncatePct = 10;
    h.delayPct = 10;
    h.reorderPct = 10;
    h.duplicatePct = 10;
    h.maxDelayMs = 10;
    h.stallEps = {fam->streamEp()};
    h.stallPct = 2;
    h.stallMs = 5;
    fam->dev->setHostility(h);

    const uint32_t frames = static_cast<uint32_t>(envInt("YCAN_HOSTILE_CALLS", 1500));
    std::atomic<bool> running{true};
    std::atomic<uint64_t> delivered{0}, malformed{0}, ours{0};
    std::thread receiver([&] {
        _YCAN_CAN_OBJ f[64];
        while (running) {
            const int n = YCAN_Receive(fam->type(), 0, 0, f, 64, 20);
            for (int i = 0; i < n; ++i) {
                ++delivered;
                if (f[i].DataLen > 8 || f[i].ID > 0x1FFFFFFF || f[i].ExternFlag > 1 || f[i].RemoteFlag > 1)
                    ++malformed;
                if (ycantest::frameNumber(f[i]) >= 0) ++ours;
            }
        }
    });
    for (uint32_t n = 0; n < frames; ++n) {
        fam->inject(n);
        if (n % 8 == 0) std::this_thread::sleep_for(1ms);
    }
    settle();
    running = false;
    receiver.join();
    const ycansim::HostileCounts counts = fam->dev->hostileCounts();
    EXPECT_EQ(malformed.load(), 0u);
    EXPECT_GT(ours.load(), 0u);
    EXPECT_GT(counts.replaced + counts.truncated, 0u);

    // Behaving again: after a clear, a burst arrives whole and in order. The
    // classic stream may still hold a few bytes of noise, which can cost the
    // first record of the burst.
    fam->dev->setHostility({});
    settle();
    ASSERT_EQ(YCAN_ClearBuffer(fam->type(), 0, 0), 1);
    const uint32_t first = 1u << 20;
    for (uint32_t n = first; n < first + 200; ++n) fam->inject(n);
    std::vector<_YCAN_CAN_OBJ> got = takeFrames(200, 30s);
    size_t at = 0;
    while (at < got.size() && at < 2 && ycantest::frameNumber(got[at]) != first &&
           ycantest::frameNumber(got[at]) != first + 1)
        ++at;
    ASSERT_LT(at, got.size());
    int64_t expect = ycantest::frameNumber(got[at]);
    ASSERT_TRUE(expect == first || (fam->name() == "classic" && expect == first + 1)) << expect;
    for (; at < got.size(); ++at, ++expect) ASSERT_EQ(ycantest::frameNumber(got[at]), expect) << "at " << at;
    EXPECT_EQ(expect, first + 200) << "queued " << YCAN_GetReceiveNum(fam->type(), 0, 0, 0)
                                   << ", device queue " << fam->dev->queuedIn(fam->streamEp())
                                   << ", pending in " << fam->dev->pendingIn(fam->streamEp()) << ", finished "
                                   << fam->dev->finishedIn(fam->streamEp()) << ", reassembly "
                                   << fam->reassemblyBytes();

    printf("[hostile stream %s] %u frames sent, %llu delivered (%llu intact); %s\n", fam->name().c_str(),
           frames, static_cast<unsigned long long>(delivered.load()),
           static_cast<unsigned long long>(ours.load()), describe(counts).c_str());
}

// Replies to earlier requests waiting on the reply endpoint (an answer that
// came after its exchange gave up, or one sent twice) are never taken for a
// new request's reply, and never make a request go out again.
TEST_P(HostileAdapter, LeftoverRepliesAreNeverTakenForANewRequest) {
    auto requestsFor = [&](const std::function<void()>& body) {
        const size_t before = bench.capture().all().size();
        body();
        size_t n = 0;
        const auto all = bench.capture().all();
        for (size_t i = before; i < all.size(); ++i)
            n += all[i].kind == ycansim::UsbEvent::Out && all[i].endpoint == fam->commandOutEp();
        return n;
    };
    const size_t clean = requestsFor([&] { ASSERT_TRUE(fam->command()); });
    // A reply of another command, as each family words it.
    std::vector<uint8_t> stale;
    if (fam->name() == "classic")
        stale = {0x12, 0xB2, 0x00, 0x05, 0x06};
    else
        stale = {0x55, 0x13, 0x01, 0x01, 0x07};
    for (int i = 0; i < 3; ++i) fam->dev->pushIn(fam->replyEp(), stale);
    ASSERT_TRUE(eventually([&] { return fam->dev->queuedIn(fam->replyEp()) == 3; }, 1s));
    const size_t withLeftovers = requestsFor([&] { EXPECT_TRUE(fam->command()); });
    EXPECT_EQ(withLeftovers, clean);
}

INSTANTIATE_TEST_SUITE_P(Families, HostileAdapter, ::testing::Values("canfd", "classic", "recorder"),
                         [](const auto& p) { return std::string(p.param); });
