#include "sim/bench/in_batcher.h"

#include <utility>

#include "sim/bench/virtual_device.h"

namespace ycansim {

InBatcher::InBatcher(uint8_t endpoint, Pack packer) : ep(endpoint), pack(std::move(packer)) {}

void InBatcher::add(VirtualDevice& dev, std::vector<std::vector<uint8_t>> more) {
    std::lock_guard guard(lock);
    for (auto& r : more) records.push_back(std::move(r));
    pumpLocked(dev);
}

void InBatcher::pump(VirtualDevice& dev) {
    std::lock_guard guard(lock);
    pumpLocked(dev);
}

void InBatcher::pumpLocked(VirtualDevice& dev) {
    // Lock order: this lock, then the device's (pushIn, inRoom). The device
    // calls onInReady without its lock, so the order never turns round.
    while (!records.empty()) {
        const size_t room = dev.inRoom(ep);
        if (room == 0) return;
        std::vector<uint8_t> transfer;
        size_t taken = pack(records, room, transfer);
        if (taken == 0) {
            transfer = records.front();
            taken = 1;
        }
        records.erase(records.begin(), records.begin() + static_cast<long>(taken));
        sentRecords += taken;
        dev.pushIn(ep, std::move(transfer));
    }
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
