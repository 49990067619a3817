// ycan bridge's transmit queue against a virtual CAN FD adapter: frames of
// both kinds reach the bus in the order they were queued, with their flags;
// a full queue counts every frame it turns away; a stop while frames wait
// accounts for each of them (sent, failed or left); a closed adapter's
// frames are counted as failed, never as sent.
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "canfd_fixture.h"
#include "eventually.h"
#include "tools/ycan/transmit_queue.h"

using namespace std::chrono_literals;
using ycantool::BridgeCounters;
using ycantool::Outgoing;
using ycantool::TransmitQueue;

namespace {

Outgoing numbered(uint32_t n, bool fd) {
    Outgoing o;
    if (fd) {
        o.kind = Outgoing::Kind::Fd;
        o.fd.ID = n;
        o.fd.DataLen = 12;
        o.fd.FrameOpt = (n % 3 == 0) ? 0x08 : 0x00;  // some with bit rate switch
        for (int i = 0; i < 12; ++i) o.fd.Data[i] = static_cast<uint8_t>(n + i);
    } else {
        o.kind = Outgoing::Kind::Classic;
        o.classic.ID = n;
        o.classic.DataLen = 8;
        for (int i = 0; i < 8; ++i) o.classic.Data[i] = static_cast<uint8_t>(n + i);
    }
    return o;
}

class BridgeQueue : public CanFd {
protected:
    ycantool::Target target() const {
        ycantool::Target t;
        t.type = 43;
        t.index = 0;
        return t;
    }
    ycansim::VirtualCanFdAdapter& ready() {
        auto& a = attach(43);
        EXPECT_EQ(open(43), 1);
        _YCAN_INITFD_CONFIG c = rates(1000000, 5000000);
        EXPECT_EQ(YCAN_InitCANFD(43, 0, 0, &c), 1);
        return a;
    }
};

}  // namespace

TEST_F(BridgeQueue, MixedKindsReachTheBusInQueueOrderWithTheirFlags) {
    auto& a = ready();
    BridgeCounters counts;
    std::vector<Outgoing> frames;
    for (uint32_t n = 1; n <= 57; ++n) frames.push_back(numbered(n, (n / 7) % 2 == 1));
    frames.insert(frames.begin() + 20, Outgoing{});  // refused (an error frame): skipped
    {
        TransmitQueue q(target(), 0, 1000, counts);
        // In pieces, as the interface hands them over.
        EXPECT_EQ(q.push(frames.data(), 30), 29u);
        EXPECT_EQ(q.push(frames.data() + 30, frames.size() - 30), 28u);
        ASSERT_TRUE(ycantest::eventually([&] { return counts.toAdapter.load() == 57; }, 20s))
            << counts.toAdapter.load() << " sent";
    }
    EXPECT_EQ(counts.transmitFailed.load(), 0u);
    EXPECT_EQ(counts.queueOverflow.load(), 0u);
    const auto bus = a.busFrames(0);
    ASSERT_EQ(bus.size(), 57u);
    for (uint32_t n = 1; n <= 57; ++n) {
        const auto& f = bus[n - 1];
        const bool fd = (n / 7) % 2 == 1;
        ASSERT_EQ(f.id, n) << "out of order at " << n;
        EXPECT_EQ((f.flags & 0x01) != 0, fd) << n;
        if (fd) {
            EXPECT_EQ((f.flags & 0x10) != 0, n % 3 == 0) << n;  // the record's bit rate switch
        }
        EXPECT_EQ(f.dataLen, fd ? 12u : 8u) << n;
        ASSERT_GE(f.data.size(), 8u);
        EXPECT_EQ(f.data[7], static_cast<uint8_t>(n + 7)) << n;
    }
}

TEST_F(BridgeQueue, AFullQueueCountsWhatItTurnsAwayAndAStopAccountsForTheRest) {
    ready();
    BridgeCounters counts;
    std::vector<Outgoing> frames;
    for (uint32_t n = 0; n < 200; ++n) frames.push_back(numbered(n, true));
    TransmitQueue q(target(), 0, 16, counts);
    // One push holds the lock: 16 fit, the rest find the queue full.
    EXPECT_EQ(q.push(frames.data(), frames.size()), 16u);
    EXPECT_EQ(counts.queueOverflow.load(), 184u);
    const size_t left = q.stop();
    EXPECT_EQ(counts.toAdapter.load() + counts.transmitFailed.load() + left, 16u);
    // Stopped: nothing more is taken.
    EXPECT_EQ(q.push(frames.data(), 1), 0u);
}

TEST_F(BridgeQueue, FramesForAClosedAdapterAreCountedAsFailed) {
    ready();
    YCAN_CloseDevice(43, 0);
    BridgeCounters counts;
    std::vector<Outgoing> frames;
    for (uint32_t n = 0; n < 25; ++n) frames.push_back(numbered(n, n % 2 == 0));
    TransmitQueue q(target(), 0, 100, counts);
    EXPECT_EQ(q.push(frames.data(), frames.size()), 25u);
    ASSERT_TRUE(ycantest::eventually([&] { return counts.transmitFailed.load() == 25; }, 20s))
        << counts.transmitFailed.load() << " failed";
    EXPECT_EQ(counts.toAdapter.load(), 0u);
}
