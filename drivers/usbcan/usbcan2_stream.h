// The classic adapters' records and their receive stream.
//
// Record (19 bytes): time tag (4; host to device high byte first, device to
// host low byte first), FrameOpt, SendMode, flags (0x80 extended, 0x40
// remote, 0x10 channel 1, low nibble length), identifier << 3 (extended) or
// << 5 (4, low byte first), data (8).
//
// The adapter sends records back to back on bulk endpoint 0x82 in 64-byte
// transfers, so a record may straddle two transfers. Usbcan2Stream keeps
// the bytes not yet decoded and finds records by bytes 3..5 reading
// 01 00 00, skipping anything else a byte at a time. It holds no lock: its
// owner (the receive thread) serialises feed() and clear().
#pragma once

#include <cstdint>

#include "drivers/common/staged_frames.h"
#include "ycan.h"

namespace ycan {

class Usbcan2Stream {
public:
    static constexpr unsigned kRecordLen = 19;
    static constexpr unsigned kCapacity = 2048;

    // Appends received bytes (what does not fit the buffer is dropped) and
    // adds the frames of every complete record to out, by channel.
    void feed(const uint8_t* data, unsigned length, StagedFrames& out);
    void clear() { fill = 0; }
    unsigned buffered() const { return fill; }

    static void encodeRecord(uint8_t* record, const _YCAN_CAN_OBJ& frame, uint32_t channel);
    static _YCAN_CAN_OBJ decodeRecord(const uint8_t* record);
    static unsigned channelOf(const uint8_t* record) { return (record[6] >> 4) & 0x01; }

private:
    uint8_t buf[kCapacity] = {};
    unsigned fill = 0;
};

}  // namespace ycan
