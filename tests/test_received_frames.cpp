// The receive queues' storage and the queues themselves: order and content
// across block boundaries under any mix of pushes and takes, delivery order
// kept across kinds and channels whichever way the frames are read, waiting
// takes released by close, and the event descriptor following the queues.
#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <future>
#include <random>
#include <thread>
#include <vector>

#include "drivers/common/chunked_fifo.h"
#include "drivers/common/received_frames.h"

using namespace std::chrono_literals;

namespace {

struct Item {
    uint32_t value;
    uint8_t pad[5];
};

}  // namespace

TEST(ChunkedFifo, KeepsOrderAndContentUnderAnyMixOfPushesAndPops) {
    // Blocks of 3 items: every run crosses block boundaries and the ring of
    // blocks grows and wraps.
    ycan::ChunkedFifo<Item, 3> fifo;
    std::deque<uint32_t> reference;
    std::mt19937 rng(11);
    uint32_t next = 0;
    for (int round = 0; round < 20000; ++round) {
        // Phases where the writer runs ahead, then the reader catches up.
        const bool writerAhead = (round / 500) % 2 == 0;
        if (rng() % 3 != 0 || (writerAhead && rng() % 2 == 0)) {
            std::vector<Item> in(rng() % 8);
            for (auto& it : in) {
                it.value = next;
                reference.push_back(next++);
            }
            fifo.push(in.data(), in.size());
        } else {
            std::vector<Item> out(rng() % 10);
            // Both ways out: copied in runs, or handed over one by one.
            size_t n = 0;
            if (rng() % 2 == 0)
                n = fifo.pop(out.data(), out.size());
            else
                n = fifo.popEach(out.size(), [&, at = size_t{0}](const Item& it) mutable { out[at++] = it; });
            ASSERT_EQ(n, std::min(out.size(), reference.size()));
            for (size_t i = 0; i < n; ++i) {
                ASSERT_EQ(out[i].value, reference.front());
                reference.pop_front();
            }
        }
        ASSERT_EQ(fifo.size(), reference.size());
    }
    fifo.clear();
    EXPECT_TRUE(fifo.empty());
    Item one{42, {}};
    fifo.push(&one, 1);
    Item out{};
    EXPECT_EQ(fifo.pop(&out, 5), 1u);
    EXPECT_EQ(out.value, 42u);
}

namespace {

using ycan::ReceivedFrames;
using ycan::StagedFrames;

// A frame that says where it came from: its place in the sequence in ID,
// its kind and channel in TimeTag.
struct Sent {
    unsigned ch;
    bool fd;
    uint32_t id;
};

void stage(StagedFrames& staged, const Sent& s) {
    if (s.fd) {
        _YCAN_CANFD_OBJ f{};
        f.ID = s.id;
        f.DataLen = 64;
        f.Data[63] = static_cast<uint8_t>(s.id);
        staged.add(s.ch, f);
    } else {
        _YCAN_CAN_OBJ f{};
        f.ID = s.id;
        f.DataLen = 8;
        f.Data[7] = static_cast<uint8_t>(s.id);
        staged.add(s.ch, f);
    }
}

// Random traffic over `channels` channels, published in transfers of 1-20.
std::vector<Sent> publishRandom(ReceivedFrames& store, unsigned channels, size_t count, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<Sent> sent;
    StagedFrames staged;
    for (uint32_t id = 0; id < count; ++id) {
        sent.push_back({static_cast<unsigned>(rng() % channels), rng() % 2 == 0, id});
        stage(staged, sent.back());
        if (rng() % 20 == 0) store.publish(staged);
    }
    store.publish(staged);
    return sent;
}

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

}  // namespace

TEST(ReceivedFrames, EveryWayOfReadingKeepsDeliveryOrderAndLosesNothing) {
    ReceivedFrames store(4);
    store.open();
    const std::vector<Sent> sent = publishRandom(store, 4, 5000, 7);
    EXPECT_EQ(store.size(0, 2) + store.size(1, 2) + store.size(2, 2) + store.size(3, 2), sent.size());

    // Readers of one channel, of one kind, and of everything take turns;
    // every frame comes out exactly once, and each reader sees its frames in
    // the order they were sent.
    std::vector<int> seen(sent.size(), 0);
    std::vector<int64_t> lastOf(4 * 2 + 5, -1);  // per (channel, kind), per channel, all
    auto note = [&](uint32_t id, size_t reader) {
        ASSERT_LT(id, sent.size());
        ++seen[id];
        EXPECT_GT(static_cast<int64_t>(id), lastOf[reader]) << "reader " << reader;
        lastOf[reader] = id;
    };
    std::mt19937 rng(3);
    std::vector<_YCAN_RX_FRAME> rx(16);
    std::vector<_YCAN_CAN_OBJ> can(16);
    std::vector<_YCAN_CANFD_OBJ> fd(16);
    for (int round = 0; round < 100000; ++round) {
        const unsigned ch = rng() % 4;
        const unsigned n = 1 + rng() % 16;
        switch (rng() % 4) {
            case 0: {
                const int got = store.take(ch, can.data(), n, 0);
                for (int i = 0; i < got; ++i) {
                    ASSERT_FALSE(sent[can[i].ID].fd);
                    ASSERT_EQ(sent[can[i].ID].ch, ch);
                    EXPECT_EQ(can[i].Data[7], static_cast<uint8_t>(can[i].ID));
                    note(can[i].ID, ch * 2);
                }
                break;
            }
            case 1: {
                const int got = store.take(ch, fd.data(), n, 0);
                for (int i = 0; i < got; ++i) {
                    ASSERT_TRUE(sent[fd[i].ID].fd);
                    ASSERT_EQ(sent[fd[i].ID].ch, ch);
                    EXPECT_EQ(fd[i].Data[63], static_cast<uint8_t>(fd[i].ID));
                    note(fd[i].ID, ch * 2 + 1);
                }
                break;
            }
            default: {
                const bool all = rng() % 2 == 0;
                const int got = store.takeInOrder(all ? ReceivedFrames::kAllChannels : ch, rx.data(), n, 0);
                for (int i = 0; i < got; ++i) {
                    const Sent& s = sent[rx[i].Frame.ID];
                    ASSERT_EQ(rx[i].Channel, s.ch);
                    ASSERT_EQ(rx[i].Kind, s.fd ? YCAN_KIND_CANFD : YCAN_KIND_CLASSIC);
                    if (!all) {
                        ASSERT_EQ(rx[i].Channel, ch);
                    }
                    EXPECT_EQ(rx[i].Frame.Data[s.fd ? 63 : 7], static_cast<uint8_t>(s.id));
                    // A classic frame brings nothing past its 8 bytes.
                    if (!s.fd) {
                        EXPECT_EQ(rx[i].Frame.Data[8], 0);
                    }
                    note(s.id, all ? 12 : 8 + ch);
                }
            }
        }
    }
    // What is left, in order through one reader of everything.
    int got;
    while ((got = store.takeInOrder(ReceivedFrames::kAllChannels, rx.data(), 16, 0)) > 0)
        for (int i = 0; i < got; ++i) note(rx[i].Frame.ID, 12);
    for (size_t i = 0; i < sent.size(); ++i) ASSERT_EQ(seen[i], 1) << "frame " << i;
}

TEST(ReceivedFrames, AReaderOfEverythingGetsTheExactSequenceWithMonotoneHostTimes) {
    ReceivedFrames store(8);
    store.open();
    const std::vector<Sent> sent = publishRandom(store, 8, 3000, 5);
    std::vector<_YCAN_RX_FRAME> rx(sent.size() + 1);
    ASSERT_EQ(store.takeInOrder(ReceivedFrames::kAllChannels, rx.data(), static_cast<unsigned>(rx.size()), 0),
              static_cast<int>(sent.size()));
    for (size_t i = 0; i < sent.size(); ++i) {
        ASSERT_EQ(rx[i].Frame.ID, sent[i].id);
        if (i > 0) {
            ASSERT_GE(rx[i].HostTimeUs, rx[i - 1].HostTimeUs);
        }
    }
    const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    EXPECT_LE(rx[0].HostTimeUs, static_cast<uint64_t>(now));
    EXPECT_GT(rx[0].HostTimeUs, static_cast<uint64_t>(now) - 60'000'000u);
}

TEST(ReceivedFrames, CloseReleasesEveryKindOfWaiterAtOnce) {
    ReceivedFrames store(2);
    store.open();
    auto classic = std::async(std::launch::async, [&] {
        _YCAN_CAN_OBJ f{};
        return store.take(0, &f, 1, -1);
    });
    auto fd = std::async(std::launch::async, [&] {
        _YCAN_CANFD_OBJ f{};
        return store.take(1, &f, 1, -1);
    });
    auto one = std::async(std::launch::async, [&] {
        _YCAN_RX_FRAME f{};
        return store.takeInOrder(1, &f, 1, -1);
    });
    auto all = std::async(std::launch::async, [&] {
        _YCAN_RX_FRAME f{};
        return store.takeInOrder(ReceivedFrames::kAllChannels, &f, 1, -1);
    });
    // A frame for channel 0's classic queue wakes that waiter and the
    // reader of everything; one of them gets it, the others wait on.
    StagedFrames staged;
    stage(staged, {0, false, 1});
    store.publish(staged);
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (classic.wait_for(0ms) != std::future_status::ready &&
           all.wait_for(0ms) != std::future_status::ready && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(fd.wait_for(50ms), std::future_status::timeout);
    EXPECT_EQ(one.wait_for(0ms), std::future_status::timeout);
    store.close();
    int total = 0;
    for (auto* waiter : {&classic, &fd, &one, &all}) {
        ASSERT_EQ(waiter->wait_for(5s), std::future_status::ready);
        total += waiter->get();
    }
    EXPECT_EQ(total, 1);
    // A closed store hands out what it holds and never waits.
    stage(staged, {1, true, 2});
    store.publish(staged);
    _YCAN_RX_FRAME f{};
    EXPECT_EQ(store.takeInOrder(ReceivedFrames::kAllChannels, &f, 1, -1), 1);
    EXPECT_EQ(store.takeInOrder(ReceivedFrames::kAllChannels, &f, 1, -1), 0);
}

TEST(ReceivedFrames, TheEventDescriptorFollowsTheQueuesAndTheLink) {
    ReceivedFrames store(2);
    EXPECT_EQ(store.eventFd(), -1) << "closed store";
    store.open();
    StagedFrames staged;
    stage(staged, {1, true, 0});
    store.publish(staged);
    // Made after frames arrived: readable at once.
    const int fd = store.eventFd();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(store.eventFd(), fd) << "one descriptor while open";
    EXPECT_TRUE(readable(fd));
    EXPECT_TRUE(readable(fd)) << "level-triggered: polling does not consume it";
    _YCAN_CANFD_OBJ f{};
    ASSERT_EQ(store.take(1, &f, 1, 0), 1);
    EXPECT_FALSE(readable(fd));

    // Two frames: readable until the last is taken, whichever way.
    stage(staged, {0, false, 1});
    stage(staged, {1, false, 2});
    store.publish(staged);
    EXPECT_TRUE(readable(fd));
    _YCAN_RX_FRAME rx{};
    ASSERT_EQ(store.takeInOrder(0, &rx, 1, 0), 1);
    EXPECT_TRUE(readable(fd));
    store.clear(1);
    EXPECT_FALSE(readable(fd));

    // An application that read the descriptor itself still hears of the
    // next frames.
    stage(staged, {0, false, 3});
    store.publish(staged);
    uint64_t value = 0;
    ASSERT_EQ(read(fd, &value, sizeof value), static_cast<ssize_t>(sizeof value));
    stage(staged, {0, false, 4});
    store.publish(staged);
    EXPECT_TRUE(readable(fd));
    store.clear(0);
    EXPECT_FALSE(readable(fd));

    // A link change is readable until it is seen, frames or not.
    store.linkChanged();
    EXPECT_TRUE(readable(fd));
    stage(staged, {0, true, 5});
    store.publish(staged);
    store.linkSeen();
    EXPECT_TRUE(readable(fd)) << "a frame still waits";
    ASSERT_EQ(store.takeInOrder(ReceivedFrames::kAllChannels, &rx, 1, 0), 1);
    EXPECT_FALSE(readable(fd));

    // A thread polling it wakes when the store closes.
    auto poller = std::async(std::launch::async, [fd] {
        pollfd p{fd, POLLIN, 0};
        return poll(&p, 1, 10000);
    });
    EXPECT_EQ(poller.wait_for(50ms), std::future_status::timeout);
    store.close();
    ASSERT_EQ(poller.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(poller.get(), 1);
    EXPECT_EQ(store.eventFd(), -1);
}

TEST(ReceivedFrames, AFrameKeepsItsTransfersHostTimeWhateverWasTakenAroundIt) {
    ReceivedFrames store(2);
    store.open();
    // Transfer A: a classic frame on channel 0 and an FD frame on channel 1;
    // transfer B, later: classic frames on channel 0.
    StagedFrames staged;
    stage(staged, {0, false, 0});
    stage(staged, {1, true, 1});
    store.publish(staged);
    std::this_thread::sleep_for(5ms);
    for (uint32_t id = 2; id < 600; ++id) stage(staged, {0, false, id});
    store.publish(staged);
    std::this_thread::sleep_for(5ms);
    stage(staged, {1, true, 600});
    store.publish(staged);

    // Channel 0's classic frames (A's and B's) go by the per-kind call...
    std::vector<_YCAN_CAN_OBJ> classic(700);
    ASSERT_EQ(store.take(0, classic.data(), 700, 0), 599);
    // ...and A's FD frame still has A's time, earlier than the last
    // transfer's by the pauses between them.
    _YCAN_RX_FRAME rx[2];
    ASSERT_EQ(store.takeInOrder(ReceivedFrames::kAllChannels, rx, 2, 0), 2);
    EXPECT_EQ(rx[0].Frame.ID, 1u);
    EXPECT_EQ(rx[1].Frame.ID, 600u);
    EXPECT_GE(rx[1].HostTimeUs - rx[0].HostTimeUs, 9000u);
}
