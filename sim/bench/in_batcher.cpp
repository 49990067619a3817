#include "sim/bench/in_batcher.h"

#include <algorithm>
#include <utility>

#include "sim/bench/device_model.h"

namespace ycansim {

InBatcher::InBatcher(uint8_t endpoint, Pack packer) : ep(endpoint), pack(std::move(packer)) {}

void InBatcher::add(DeviceEndpoints& dev, std::vector<std::vector<uint8_t>> more) {
    std::lock_guard guard(lock);
    for (auto& r : more) records.push_back(std::move(r));
    pumpLocked(dev);
}

void InBatcher::pump(DeviceEndpoints& dev) {
    std::lock_guard guard(lock);
    pumpLocked(dev);
}

void InBatcher::pumpLocked(DeviceEndpoints& dev) {
    // Lock order: this lock, then the device's (pushIn, inRoom). The device
    // calls onInReady without its lock, so the order never turns round.
    while (!records.empty()) {
        const size_t allowed = recordsAllowedLocked();
        if (allowed == 0) return;
        const size_t room = dev.inRoom(ep);
        if (room == 0) return;
        std::vector<uint8_t> transfer;
        size_t taken = 0;
        if (allowed < records.size()) {
            const std::deque<std::vector<uint8_t>> due(records.begin(),
                                                       records.begin() + static_cast<long>(allowed));
            taken = pack(due, room, transfer);
        } else {
            taken = pack(records, room, transfer);
        }
        if (taken == 0) {
            transfer = records.front();
            taken = 1;
        }
        records.erase(records.begin(), records.begin() + static_cast<long>(taken));
        sentRecords += taken;
        dev.pushIn(ep, std::move(transfer));
    }
}

size_t InBatcher::recordsAllowedLocked() {
    if (pace <= 0) return records.size();
    const auto now = std::chrono::steady_clock::now();
    if (!paceStarted) {
        paceStarted = true;
        paceStart = now;
        sentAtPaceStart = sentRecords;
    }
    const double elapsed = std::chrono::duration<double>(now - paceStart).count();
    const uint64_t budget = sentAtPaceStart + 1 + static_cast<uint64_t>(elapsed * pace);
    return budget > sentRecords
               ? static_cast<size_t>(std::min<uint64_t>(budget - sentRecords, records.size()))
               : 0;
}

void InBatcher::setPace(double recordsPerSecond) {
    std::lock_guard guard(lock);
    pace = recordsPerSecond;
    paceStarted = false;
}

void InBatcher::clear() {
    std::lock_guard guard(lock);
    records.clear();
}

size_t InBatcher::waiting() const {
    std::lock_guard guard(lock);
    return records.size();
}

uint64_t InBatcher::sent() const {
    std::lock_guard guard(lock);
    return sentRecords;
}

}  // namespace ycansim
