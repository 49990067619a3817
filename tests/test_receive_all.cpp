// The ordered, pollable receive path on the virtual bench: frames of both
// kinds and several channels come back in the order the adapter sent them,
// whichever calls read them; the event descriptor polls beside other
// descriptors and follows the frames and the link; the link state counts
// losses across unplugs; close wakes a poller; the recorder's answers.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "adapter_fixture.h"
#include "canfd_fixture.h"
#include "eventually.h"
#include "sim/bench/usb_bench.h"
#include "support/QErrMgr.h"
#include "ycan.h"

using namespace std::chrono_literals;
using ycansim::BusFrame;
using ycantest::eventually;

namespace {

uint64_t realtimeUs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count());
}

bool readable(int fd, int waitMs = 0) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, waitMs) == 1 && (p.revents & POLLIN) != 0;
}

// The frame a test sends as number n: the number in the ID, the data
// derived from it.
BusFrame numbered(uint32_t n, unsigned ch, bool fd) {
    BusFrame f;
    f.channel = ch;
    f.flags = fd ? 0x01 : 0x00;
    f.id = n;
    f.timeTag = n * 7;
    f.dataLen = fd ? 12 : 8;
    for (int i = 0; i < (fd ? 64 : 8); ++i) f.data.push_back(static_cast<uint8_t>(n + i));
    return f;
}

// Whether a received frame is exactly frame `sent`.
::testing::AssertionResult same(const _YCAN_RX_FRAME& got, const BusFrame& sent) {
    const bool fd = (sent.flags & 0x01) != 0;
    if (got.Frame.ID != sent.id)
        return ::testing::AssertionFailure() << "ID " << got.Frame.ID << " for " << sent.id;
    if (got.Kind != (fd ? YCAN_KIND_CANFD : YCAN_KIND_CLASSIC) || got.Channel != sent.channel)
        return ::testing::AssertionFailure()
               << "frame " << sent.id << ": kind " << int(got.Kind) << " channel " << int(got.Channel);
    if (got.Frame.TimeTag != sent.timeTag || got.Frame.DataLen != sent.dataLen ||
        memcmp(got.Frame.Data, sent.data.data(), sent.dataLen) != 0)
        return ::testing::AssertionFailure() << "frame " << sent.id << ": fields differ";
    return ::testing::AssertionSuccess();
}

// The syscall a thread of this process is blocked in (-1 when running).
long blockedIn(pid_t tid) {
    std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/syscall");
    std::string first;
    f >> first;
    return first == "running" || first.empty() ? -1 : std::stol(first);
}

// YCAN_ReceiveAll and YCAN_GetEventFd refuse adapter type:0 with `error`.
void expectRefused(uint32_t type, int error) {
    _YCAN_RX_FRAME f[1];
    EXPECT_EQ(YCAN_ReceiveAll(type, 0, 0, f, 1, 100), 0);
    EXPECT_EQ(YCAN_GetLastError(), error);
    EXPECT_EQ(YCAN_GetEventFd(type, 0), -1);
    EXPECT_EQ(YCAN_GetLastError(), error);
}

class ReceiveAllCanFd : public CanFd {
protected:
    ycansim::VirtualDevice& dev() { return *devices.at(0); }
    int waiting(unsigned type, unsigned channels) {
        int n = 0;
        for (unsigned ch = 0; ch < channels; ++ch) n += YCAN_GetReceiveNum(type, 0, ch, 2);
        return n;
    }
    // Random traffic: count frames numbered from first, over `channels`
    // channels and both kinds, handed to the adapter in bursts of 1-30 (so
    // that they cross transfers and packets in every way).
    std::vector<BusFrame> traffic(ycansim::VirtualCanFdAdapter& a, uint32_t first, uint32_t count,
                                  unsigned channels, uint32_t seed) {
        std::mt19937 rng(seed);
        std::vector<BusFrame> sent;
        std::vector<BusFrame> burst;
        for (uint32_t n = first; n < first + count; ++n) {
            sent.push_back(numbered(n, rng() % channels, rng() % 2 == 0));
            burst.push_back(sent.back());
            if (rng() % 30 == 0) {
                a.inject(dev(), burst);
                burst.clear();
            }
        }
        if (!burst.empty()) a.inject(dev(), burst);
        return sent;
    }
};

}  // namespace

TEST_F(ReceiveAllCanFd, MixedKindsOnSeveralChannelsComeBackInTheOrderSent) {
    auto& a = attach(66);  // eight channels
    ASSERT_EQ(open(66), 1);
    const uint64_t before = realtimeUs();
    const std::vector<BusFrame> sent = traffic(a, 0, 800, 8, 1);

    // One reader of every channel: exactly the sequence sent.
    std::vector<_YCAN_RX_FRAME> got;
    std::vector<_YCAN_RX_FRAME> buf(64);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (got.size() < sent.size() && std::chrono::steady_clock::now() < deadline) {
        const int n =
            YCAN_ReceiveAll(66, 0, YCAN_ALL_CHANNELS, buf.data(), static_cast<uint32_t>(buf.size()), 500);
        ASSERT_GE(n, 0);
        got.insert(got.end(), buf.begin(), buf.begin() + n);
    }
    const uint64_t after = realtimeUs();
    ASSERT_EQ(got.size(), sent.size());
    uint64_t lastOf[8] = {};
    for (size_t i = 0; i < sent.size(); ++i) {
        ASSERT_TRUE(same(got[i], sent[i])) << "at " << i;
        // Host times: taken between the injection and the read, never
        // going back within a channel.
        EXPECT_GE(got[i].HostTimeUs, before);
        EXPECT_LE(got[i].HostTimeUs, after);
        EXPECT_GE(got[i].HostTimeUs, lastOf[got[i].Channel]);
        lastOf[got[i].Channel] = got[i].HostTimeUs;
    }
    EXPECT_EQ(YCAN_ReceiveAll(66, 0, YCAN_ALL_CHANNELS, buf.data(), 64, 0), 0);
}

TEST_F(ReceiveAllCanFd, PerKindCallsInterleavedWithItLoseAndDuplicateNothing) {
    auto& a = attach(43);
    ASSERT_EQ(open(43), 1);
    const std::vector<BusFrame> sent = traffic(a, 0, 1000, 2, 2);
    ASSERT_TRUE(eventually([&] { return waiting(43, 2) == 1000; }, 10s)) << waiting(43, 2);

    std::vector<int> seen(sent.size(), 0);
    // Per reader (0-3: kind x channel, 4-5: one channel, 6: all): the last
    // frame number it took.
    std::vector<int64_t> last(7, -1);
    auto take = [&](uint32_t id, size_t reader, unsigned ch, int kind) {
        ASSERT_LT(id, sent.size());
        ++seen[id];
        EXPECT_EQ(sent[id].channel, ch);
        if (kind >= 0) {
            EXPECT_EQ(sent[id].flags & 0x01, kind);
        }
        EXPECT_GT(static_cast<int64_t>(id), last[reader]) << "reader " << reader << " out of order";
        last[reader] = id;
    };
    std::mt19937 rng(9);
    for (int round = 0; round < 3000 && waiting(43, 2) > 0; ++round) {
        const unsigned ch = rng() % 2;
        const uint32_t n = 1 + rng() % 7;
        switch (rng() % 4) {
            case 0: {
                _YCAN_CAN_OBJ f[8];
                const int r = YCAN_Receive(43, 0, ch, f, n, 0);
                for (int i = 0; i < r; ++i) take(f[i].ID, ch * 2, ch, 0);
                break;
            }
            case 1: {
                _YCAN_CANFD_OBJ f[8];
                const int r = YCAN_ReceiveFD(43, 0, ch, f, n, 0);
                for (int i = 0; i < r; ++i) take(f[i].ID, ch * 2 + 1, ch, 1);
                break;
            }
            case 2: {
                _YCAN_RX_FRAME f[8];
                const int r = YCAN_ReceiveAll(43, 0, ch, f, n, 0);
                for (int i = 0; i < r; ++i) take(f[i].Frame.ID, 4 + ch, f[i].Channel, f[i].Kind);
                break;
            }
            default: {
                _YCAN_RX_FRAME f[8];
                const int r = YCAN_ReceiveAll(43, 0, YCAN_ALL_CHANNELS, f, n, 0);
                for (int i = 0; i < r; ++i) take(f[i].Frame.ID, 6, f[i].Channel, f[i].Kind);
            }
        }
    }
    EXPECT_EQ(waiting(43, 2), 0);
    for (size_t i = 0; i < seen.size(); ++i) ASSERT_EQ(seen[i], 1) << "frame " << i;
}

TEST_F(ReceiveAllCanFd, RefusesWhatItCannotServe) {
    attach(43);
    expectRefused(43, YCAN_ERR_NOT_OPENED);
    _YCAN_RX_FRAME f[2];
    uint32_t losses = 99;
    EXPECT_EQ(YCAN_GetLinkState(43, 0, &losses), -1);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_NOT_OPENED);
    EXPECT_EQ(losses, 99u) << "untouched when not open";

    ASSERT_EQ(open(43), 1);
    struct Case {
        uint32_t ch;
        _YCAN_RX_FRAME* frames;
        uint32_t count;
    } cases[] = {{2, f, 2}, {0xFFFFFFFE, f, 2}, {0, nullptr, 2}, {0, f, 0}};
    for (const Case& c : cases) {
        QErrInfoMgr::getinstance()->setLastError(0);
        EXPECT_EQ(YCAN_ReceiveAll(43, 0, c.ch, c.frames, c.count, 100), 0) << c.ch;
        EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_PARAMETER) << c.ch;
    }
    EXPECT_EQ(YCAN_ReceiveAll(99, 0, 0, f, 2, 0), 0);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_TYPE_NOT_SUPPORTED);
    EXPECT_EQ(YCAN_GetLinkState(43, 0, nullptr), 1) << "losses may be left out";
}

// ---- Both frame-carrying families -------------------------------------------

namespace {

class PollableReceive : public ycantest::FamilyFixture {
protected:
    uint32_t type() const { return fam->type(); }
    int linkState(uint32_t* losses) { return YCAN_GetLinkState(type(), 0, losses); }
};

int64_t numberOf(const _YCAN_RX_FRAME& r) {
    _YCAN_CAN_OBJ f;
    memcpy(&f, &r.Frame, sizeof f);
    return r.Kind == YCAN_KIND_CLASSIC ? ycantest::frameNumber(f) : -1;
}

}  // namespace

TEST_P(PollableReceive, TheEventDescriptorPollsBesideASocketAndFollowsFramesAndTheLink) {
    ASSERT_TRUE(fam->ready());
    const int fd = YCAN_GetEventFd(type(), 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(YCAN_GetEventFd(type(), 0), fd);
    EXPECT_FALSE(readable(fd));
    uint32_t losses = 99;
    EXPECT_EQ(linkState(&losses), 1);
    EXPECT_EQ(losses, 0u);

    // One thread polls the adapter and a socket together.
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    auto pollBoth = [&](int waitMs) {
        pollfd p[2] = {{fd, POLLIN, 0}, {pair[0], POLLIN, 0}};
        EXPECT_GE(poll(p, 2, waitMs), 0);
        return std::pair<bool, bool>{(p[0].revents & POLLIN) != 0, (p[1].revents & POLLIN) != 0};
    };
    ASSERT_EQ(write(pair[1], "x", 1), 1);
    EXPECT_EQ(pollBoth(5000), (std::pair<bool, bool>{false, true}));
    char c;
    ASSERT_EQ(read(pair[0], &c, 1), 1);
    fam->inject(1);
    fam->inject(2);
    EXPECT_EQ(pollBoth(5000), (std::pair<bool, bool>{true, false}));
    // Level-triggered: it stays readable until the last frame is taken.
    _YCAN_RX_FRAME f[4];
    ASSERT_TRUE(eventually([&] { return YCAN_GetReceiveNum(type(), 0, 0, 0) == 2; }, 5s));
    ASSERT_EQ(YCAN_ReceiveAll(type(), 0, 0, f, 1, 0), 1);
    EXPECT_EQ(numberOf(f[0]), 1);
    EXPECT_TRUE(readable(fd));
    ASSERT_EQ(YCAN_ReceiveAll(type(), 0, YCAN_ALL_CHANNELS, f, 4, 0), 1);
    EXPECT_EQ(numberOf(f[0]), 2);
    EXPECT_FALSE(readable(fd));
    close(pair[0]);
    close(pair[1]);

    // Unplugged: readable until the state is read; away, one loss. Plugged
    // back: readable again; linked, still one loss. A second cycle counts two.
    for (uint32_t cycle = 1; cycle <= 2; ++cycle) {
        bench.unplug(*fam->dev);
        ASSERT_TRUE(readable(fd, 10000)) << "cycle " << cycle;
        ASSERT_TRUE(eventually([&] { return linkState(&losses) == 0; }, 5s));
        EXPECT_EQ(losses, cycle);
        EXPECT_FALSE(readable(fd)) << "the change was read";
        bench.replug(*fam->dev);
        ASSERT_TRUE(readable(fd, 10000)) << "cycle " << cycle;
        ASSERT_TRUE(eventually([&] { return linkState(&losses) == 1; }, 5s));
        EXPECT_EQ(losses, cycle);
        EXPECT_FALSE(readable(fd));
    }
    // Frames flow again and wake the poller.
    fam->inject(3);
    ASSERT_TRUE(readable(fd, 5000));
    ASSERT_EQ(YCAN_ReceiveAll(type(), 0, YCAN_ALL_CHANNELS, f, 4, 1000), 1);
    EXPECT_EQ(numberOf(f[0]), 3);
}

TEST_P(PollableReceive, CloseWakesAThreadPollingTheDescriptor) {
    ASSERT_TRUE(fam->ready());
    const int fd = YCAN_GetEventFd(type(), 0);
    ASSERT_GE(fd, 0);
    std::atomic<pid_t> tid{0};
    auto poller = std::async(std::launch::async, [&] {
        tid = gettid();
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, 60000);
    });
    // Closed only once the thread sits in poll (syscall 7, or 271 for ppoll).
    ASSERT_TRUE(eventually(
        [&] {
            const long call = tid.load() != 0 ? blockedIn(tid.load()) : -1;
            return call == 7 || call == 271;
        },
        10s));
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(YCAN_CloseDevice(type(), 0), 1);
    ASSERT_EQ(poller.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(poller.get(), 1);
    EXPECT_LT(ycantest::msSince(t0), 10000.0);

    // Everything after the close is refused, nothing is used.
    expectRefused(type(), YCAN_ERR_NOT_OPENED);
    EXPECT_EQ(YCAN_GetLinkState(type(), 0, nullptr), -1);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_NOT_OPENED);

    // Reopened: a fresh link count and a descriptor that works.
    ASSERT_TRUE(fam->ready());
    uint32_t losses = 99;
    EXPECT_EQ(YCAN_GetLinkState(type(), 0, &losses), 1);
    EXPECT_EQ(losses, 0u);
    const int again = YCAN_GetEventFd(type(), 0);
    ASSERT_GE(again, 0);
    fam->inject(4);
    EXPECT_TRUE(readable(again, 5000));
}

TEST_P(PollableReceive, AWaitingReaderOfEveryChannelIsWokenByAFrame) {
    ASSERT_TRUE(fam->ready());
    auto reader = std::async(std::launch::async, [&] {
        _YCAN_RX_FRAME f[4];
        const int n = YCAN_ReceiveAll(type(), 0, YCAN_ALL_CHANNELS, f, 4, -1);
        return n == 1 ? numberOf(f[0]) : -100 - n;
    });
    EXPECT_EQ(reader.wait_for(50ms), std::future_status::timeout);
    fam->inject(7);
    ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(reader.get(), 7);
}

INSTANTIATE_TEST_SUITE_P(Both, PollableReceive, ::testing::Values("canfd", "classic"),
                         [](const ::testing::TestParamInfo<const char*>& p) { return std::string(p.param); });

// ---- The recorder ------------------------------------------------------------

class RecorderReceive : public ycantest::AdapterFixture<ycansim::VirtualRecorder> {};

TEST_F(RecorderReceive, CarriesNoFramesAndReportsItsLink) {
    attach(61);
    ASSERT_EQ(open(61), 1);
    expectRefused(61, YCAN_ERR_TYPE_NOT_SUPPORTED);
    uint32_t losses = 99;
    EXPECT_EQ(YCAN_GetLinkState(61, 0, &losses), 1);
    EXPECT_EQ(losses, 0u);
    ASSERT_EQ(YCAN_CloseDevice(61, 0), 1);
    EXPECT_EQ(YCAN_GetLinkState(61, 0, &losses), -1);
    EXPECT_EQ(YCAN_GetLastError(), YCAN_ERR_NOT_OPENED);
}
