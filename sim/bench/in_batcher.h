// Data an adapter holds for the host on one IN endpoint, sent the way a
// real adapter sends what waits in its buffer: nothing while the host is not
// asking, and everything waiting in as few transfers as their size allows
// once it does. Records are added already encoded, each with its own time
// tag; a pack function (the family's wire format) lays out one transfer.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

namespace ycansim {

class DeviceEndpoints;

class InBatcher {
public:
    // Lays out one transfer of at most `room` bytes from the first records
    // of `waiting` into `out`; returns how many records it took. Taking none
    // sends the first record alone (cut across transfers by the device).
    using Pack = std::function<size_t(const std::deque<std::vector<uint8_t>>& waiting, size_t room,
                                      std::vector<uint8_t>& out)>;

    InBatcher(uint8_t ep, Pack pack);

    // Records that arrived from the bus; sent at once if the host waits.
    void add(DeviceEndpoints& dev, std::vector<std::vector<uint8_t>> records);
    // Sends what waits, while the host has transfers to fill: the device
    // model calls it from onInReady.
    void pump(DeviceEndpoints& dev);
    // The adapter lost its buffer (power-on reset).
    void clear();
    // An adapter slower than the host: at most `recordsPerSecond` records
    // leave for the host, counted from the first record added after this
    // call (0: as fast as the host asks). Records held back go out on a
    // later add or pump.
    void setPace(double recordsPerSecond);

    uint8_t endpoint() const { return ep; }
    // Records waiting, and records sent to the host so far.
    size_t waiting() const;
    uint64_t sent() const;

private:
    void pumpLocked(DeviceEndpoints& dev);
    // How many of the waiting records may leave now (all, unless paced).
    size_t recordsAllowedLocked();

    const uint8_t ep;
    const Pack pack;
    // Held while sending, so that transfers leave in record order.
    mutable std::mutex lock;
    std::deque<std::vector<uint8_t>> records;
    uint64_t sentRecords = 0;
    double pace = 0;
    bool paceStarted = false;
    std::chrono::steady_clock::time_point paceStart;
    uint64_t sentAtPaceStart = 0;
};

}  // namespace ycansim
