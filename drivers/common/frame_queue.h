// A blocking queue of received frames for one channel. The receive thread
// pushes what one transfer carried in one go; application threads take
// frames, waiting on a condition variable (never polling) for the first.
// close() lets every waiter go at once: a closed queue still hands out what
// it holds but never waits. The queue has no length limit; once it has grown
// to its working size, moving frames through it allocates nothing.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "drivers/common/chunked_fifo.h"

namespace ycan {

template <class Frame>
class FrameQueue {
public:
    // Appends n frames and wakes the waiters. Pushing to a closed queue is
    // allowed (frames of a transfer still being decoded at close).
    void push(const Frame* frames, size_t n) {
        if (n == 0) return;
        {
            std::lock_guard guard(lock);
            queue.push(frames, n);
        }
        arrived.notify_all();
    }

    // Moves up to capacity frames into out, oldest first. With none queued
    // it waits up to waitMs for the first: -1 without limit, 0 (and any
    // other negative value) not at all. Returns the number moved.
    int take(Frame* out, unsigned capacity, int waitMs) {
        std::unique_lock guard(lock);
        auto ready = [&] { return !queue.empty() || closed; };
        if (!ready() && capacity > 0) {
            if (waitMs == -1)
                arrived.wait(guard, ready);
            else if (waitMs > 0)
                arrived.wait_for(guard, std::chrono::milliseconds(waitMs), ready);
        }
        return static_cast<int>(queue.pop(out, capacity));
    }

    size_t size() const {
        std::lock_guard guard(lock);
        return queue.size();
    }

    void clear() {
        std::lock_guard guard(lock);
        queue.clear();
    }

    // Releases every waiter; later takes do not wait.
    void close() {
        {
            std::lock_guard guard(lock);
            closed = true;
        }
        arrived.notify_all();
    }

    void open() {
        std::lock_guard guard(lock);
        closed = false;
    }

private:
    mutable std::mutex lock;
    std::condition_variable arrived;
    ChunkedFifo<Frame> queue;
    bool closed = true;  // until the device opens
};

}  // namespace ycan
