// A first-in first-out store of trivially copyable items in fixed-size
// blocks, for the receive queues. It grows by blocks while a reader falls
// behind and gives them back as it catches up, except one spare block that
// it keeps: a queue that is filled and emptied at a steady pace moves its
// items without touching the heap. Items are copied in and out in runs, not
// one by one. Not thread-safe: its owner locks.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

namespace ycan {

template <class T, size_t BlockItems = 256>
class ChunkedFifo {
    static_assert(std::is_trivially_copyable_v<T>, "items are copied as bytes");
    static_assert(BlockItems > 0);

public:
    size_t size() const { return count; }
    bool empty() const { return count == 0; }

    void push(const T* items, size_t n) {
        const T* next = items;
        fillRuns(n, [&](T* run, size_t k) {
            memcpy(run, next, k * sizeof(T));
            next += k;
        });
    }

    // Appends n items, each filled in place by fill(T&), in order.
    template <class Fill>
    void pushEach(size_t n, Fill&& fill) {
        fillRuns(n, [&](T* run, size_t k) {
            for (size_t i = 0; i < k; ++i) fill(run[i]);
        });
    }

    // The oldest item; the fifo must not be empty.
    const T& front() const { return blockAt(0)[head]; }
    // The i-th oldest item; i must be below size().
    const T& at(size_t i) const {
        const size_t pos = head + i;
        return blockAt(pos / BlockItems)[pos % BlockItems];
    }

    // Moves up to max of the oldest items into out; returns how many.
    size_t pop(T* out, size_t max) {
        T* next = out;
        return takeRuns(max, [&](const T* run, size_t k) {
            memcpy(next, run, k * sizeof(T));
            next += k;
        });
    }

    // Hands up to max of the oldest items to fn, oldest first, and drops
    // them; returns how many.
    template <class Fn>
    size_t popEach(size_t max, Fn&& fn) {
        return takeRuns(max, [&](const T* run, size_t k) {
            for (size_t i = 0; i < k; ++i) fn(run[i]);
        });
    }

    void clear() {
        while (used > 0) releaseFirstBlock();
        head = 0;
        count = 0;
    }

private:
    T* blockAt(size_t i) const { return ring[(first + i) % ring.size()].get(); }

    // Hands the free slots for n new items to fill(run, k) block by block.
    template <class Fill>
    void fillRuns(size_t n, Fill&& fill) {
        while (n > 0) {
            const size_t end = head + count;  // position after the last item
            if (end == used * BlockItems) appendBlock();
            const size_t at = end % BlockItems;
            const size_t k = std::min(n, BlockItems - at);
            fill(blockAt(end / BlockItems) + at, k);
            n -= k;
            count += k;
        }
    }

    // Hands up to max of the oldest items to take(run, k) block by block
    // and drops them; returns how many.
    template <class Take>
    size_t takeRuns(size_t max, Take&& take) {
        const size_t total = std::min(max, count);
        for (size_t n = total; n > 0;) {
            const size_t k = std::min(n, BlockItems - head);
            take(blockAt(0) + head, k);
            n -= k;
            count -= k;
            head += k;
            if (head == BlockItems) {
                releaseFirstBlock();
                head = 0;
            }
        }
        if (count == 0) head = 0;  // an empty queue starts its block afresh
        return total;
    }

    void appendBlock() {
        if (used == ring.size()) {
            // The ring of blocks is full: double it, oldest block first.
            std::vector<std::unique_ptr<T[]>> bigger(std::max<size_t>(4, ring.size() * 2));
            for (size_t i = 0; i < used; ++i) bigger[i] = std::move(ring[(first + i) % ring.size()]);
            ring = std::move(bigger);
            first = 0;
        }
        auto block = spare ? std::move(spare) : std::make_unique_for_overwrite<T[]>(BlockItems);
        ring[(first + used) % ring.size()] = std::move(block);
        ++used;
    }

    void releaseFirstBlock() {
        auto& slot = ring[first];
        if (!spare)
            spare = std::move(slot);
        else
            slot.reset();
        first = (first + 1) % ring.size();
        --used;
    }

    std::vector<std::unique_ptr<T[]>> ring;  // blocks in use, from first, in a circle
    size_t first = 0;                        // ring index of the oldest block
    size_t used = 0;                         // blocks in use
    size_t head = 0;                         // index of the oldest item in its block
    size_t count = 0;                        // items stored
    std::unique_ptr<T[]> spare;              // an emptied block kept for the next
};

}  // namespace ycan
