#include "tools/ycan/transmit_queue.h"

#include <vector>

#include "ycan.h"

namespace ycantool {

TransmitQueue::TransmitQueue(const Target& adapter, uint32_t channel, size_t capacity, BridgeCounters& counts)
    : t(adapter), ch(channel), limit(capacity), counters(counts), worker([this] { run(); }) {}

TransmitQueue::~TransmitQueue() { stop(); }

size_t TransmitQueue::stop() {
    size_t left;
    {
        std::lock_guard guard(lock);
        stopping = true;
        left = waiting.size();
        waiting.clear();
    }
    wake.notify_all();
    if (worker.joinable()) worker.join();
    return left;
}

size_t TransmitQueue::push(const Outgoing* frames, size_t count) {
    size_t queued = 0;
    bool wasEmpty;
    {
        std::lock_guard guard(lock);
        if (stopping) return 0;
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
    // The thread only ever waits on an empty queue.
    if (wasEmpty && queued > 0) wake.notify_one();
    return queued;
}

void TransmitQueue::run() {
    std::vector<_YCAN_CAN_OBJ> classic;
    std::vector<_YCAN_CANFD_OBJ> fd;
    classic.reserve(kBatch);
    fd.reserve(kBatch);
    for (;;) {
        Outgoing::Kind kind;
        {
            std::unique_lock guard(lock);
            wake.wait(guard, [&] { return stopping || !waiting.empty(); });
            if (stopping) return;
            kind = waiting.front().kind;
            classic.clear();
            fd.clear();
            while (!waiting.empty() && waiting.front().kind == kind && classic.size() + fd.size() < kBatch) {
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

}  // namespace ycantool
