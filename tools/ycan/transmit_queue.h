// Frames from a CAN network interface waiting for the adapter, and the
// thread that hands them over: runs of one kind, in order, a USB packet's
// worth per transmit call. Transmit calls take milliseconds; the queue lets
// the thread that reads the interfaces carry on meanwhile.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

#include "tools/ycan/adapter_target.h"
#include "tools/ycan/socketcan_frames.h"

namespace ycantool {

// What happened to a bridged channel's frames, both ways (read from any
// thread).
struct BridgeCounters {
    std::atomic<uint64_t> toInterface{0};     // adapter -> interface
    std::atomic<uint64_t> toAdapter{0};       // interface -> adapter, sent
    std::atomic<uint64_t> dropped{0};         // adapter frames the interface could not take
    std::atomic<uint64_t> queueOverflow{0};   // interface frames the full queue could not take
    std::atomic<uint64_t> transmitFailed{0};  // interface frames the adapter did not take
};

class TransmitQueue {
public:
    // Frames one transmit call is given: what one USB packet of the CAN FD
    // adapters carries. Larger calls are packets back to back and measured
    // no faster; smaller ones let the queue's lock go sooner.
    static constexpr size_t kBatch = 10;

    TransmitQueue(const Target& adapter, uint32_t channel, size_t capacity, BridgeCounters& counts);
    // Stops the thread; frames still waiting are not sent.
    ~TransmitQueue();
    TransmitQueue(const TransmitQueue&) = delete;
    TransmitQueue& operator=(const TransmitQueue&) = delete;

    // Queues frames in order (refused ones are skipped); what finds the
    // queue full is counted as overflow. Returns how many were queued.
    size_t push(const Outgoing* frames, size_t count);
    // Stops the thread after the call in progress; returns how many frames
    // were still waiting (not sent).
    size_t stop();

private:
    void run();

    const Target t;
    const uint32_t ch;
    const size_t limit;
    BridgeCounters& counters;
    std::mutex lock;
    std::condition_variable wake;
    std::deque<Outgoing> waiting;
    bool stopping = false;
    std::thread worker;  // last: started once the rest is ready
};

}  // namespace ycantool
