// The frames decoded from one transfer, waiting to be handed to the receive
// queues together: by channel and kind, with the order they arrived in
// across channels and kinds, so that the queues can keep it.
#pragma once

#include <cstdint>
#include <vector>

#include "ycan.h"

namespace ycan {

struct StagedFrames {
    static constexpr unsigned kMaxChannels = 8;
    static constexpr uint8_t kFdMark = 0x80;

    std::vector<_YCAN_CAN_OBJ> can[kMaxChannels];
    std::vector<_YCAN_CANFD_OBJ> fd[kMaxChannels];
    // One entry a frame, in arrival order: its channel, | kFdMark for a
    // CAN FD frame.
    std::vector<uint8_t> order;

    // ch < kMaxChannels (the decoders clamp it).
    void add(unsigned ch, const _YCAN_CAN_OBJ& frame) {
        can[ch].push_back(frame);
        order.push_back(static_cast<uint8_t>(ch));
    }
    void add(unsigned ch, const _YCAN_CANFD_OBJ& frame) {
        fd[ch].push_back(frame);
        order.push_back(static_cast<uint8_t>(ch | kFdMark));
    }
    bool empty() const { return order.empty(); }
    // Keeps the vectors' capacity: a steady stream stages without allocating.
    void clear() {
        for (auto& v : can) v.clear();
        for (auto& v : fd) v.clear();
        order.clear();
    }
};

}  // namespace ycan
