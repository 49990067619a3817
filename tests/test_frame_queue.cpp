// The receive queue's storage and the queue itself: order and content across
// block boundaries under any mix of pushes and takes, blocks given back as a
// backlog drains, and waiting takes released by close.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <future>
#include <random>
#include <vector>

#include "drivers/common/chunked_fifo.h"
#include "drivers/common/frame_queue.h"

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
            const size_t n = fifo.pop(out.data(), out.size());
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

TEST(FrameQueue, TakesInOrderAndCloseReleasesAWaiterAtOnce) {
    ycan::FrameQueue<Item> queue;
    queue.open();
    std::vector<Item> in(1000);
    for (uint32_t i = 0; i < in.size(); ++i) in[i].value = i;
    queue.push(in.data(), in.size());
    EXPECT_EQ(queue.size(), 1000u);
    std::vector<Item> out(600);
    ASSERT_EQ(queue.take(out.data(), 600, 0), 600);
    EXPECT_EQ(out[599].value, 599u);
    ASSERT_EQ(queue.take(out.data(), 600, 0), 400);
    EXPECT_EQ(out[0].value, 600u);
    EXPECT_EQ(out[399].value, 999u);

    auto waiter = std::async(std::launch::async, [&] {
        Item f{};
        return queue.take(&f, 1, -1);
    });
    EXPECT_EQ(waiter.wait_for(100ms), std::future_status::timeout);
    queue.close();
    ASSERT_EQ(waiter.wait_for(2s), std::future_status::ready);
    EXPECT_EQ(waiter.get(), 0);
}
