// The CAN FD adapters' receive stream, decoded. The adapter sends data
// packets on bulk endpoint 0x83, cut into transfers wherever the adapter
// likes:
//
//   packet: 55 F2, 2 bytes unused, payload length (2, low byte first),
//           record count (1), then the records
//   record: channel << 4 (1), flags (1, CanFdStream::kFlag...), time tag
//           (4), identifier (4), data length (1), data (8 for a classic
//           record, 64 for an FD one)
//
// CanFdStream keeps what a transfer left of an unfinished packet and cuts
// the complete packets out of the bytes received so far. It holds no lock:
// its owner serialises feed() and clear().
#pragma once

#include <cstdint>
#include "drivers/common/staged_frames.h"
#include "ycan.h"

namespace ycan {

class CanFdStream {
public:
    static constexpr unsigned kChannels = 8;
    static constexpr unsigned kHeaderLen = 7;
    static constexpr unsigned kClassicRecordLen = 19;
    static constexpr unsigned kFdRecordLen = 75;
    static constexpr unsigned kCapacity = 4096;
    // A record's flag byte. The host sets the error state indicator on the
    // FD records it sends; the adapter reports the bit rate switch only.
    static constexpr uint8_t kFlagFd = 0x01;
    static constexpr uint8_t kFlagRemote = 0x02;
    static constexpr uint8_t kFlagExtended = 0x04;
    static constexpr uint8_t kFlagErrorState = 0x08;
    static constexpr uint8_t kFlagBitRateSwitch = 0x10;

    // Frames decoded from the stream, by channel queue, in stream order.
    using Staged = StagedFrames;
    static_assert(StagedFrames::kMaxChannels >= kChannels);

    // Appends one transfer and stages the frames of every packet it
    // completes, in stream order.
    void feed(const uint8_t* data, unsigned length, Staged& out);
    // Forgets any partly received packet.
    void clear() { fill = 0; }
    unsigned buffered() const { return fill; }

    // Decodes the complete packets at the start of buf into out; returns how
    // many bytes were used up (the rest waits for more bytes). Bytes that
    // cannot start a packet are skipped one at a time.
    static unsigned usbProtocolFrameDataGet(const uint8_t* buf, unsigned length, Staged& out);

    // One record, decoded as a classic frame (19 bytes read) or an FD frame
    // (75 bytes read).
    static _YCAN_CAN_OBJ decodeCanRecord(const uint8_t* record);
    static _YCAN_CANFD_OBJ decodeFdRecord(const uint8_t* record);
    // The queue a record's frame goes to: its channel, the last queue for
    // channel numbers past it.
    static unsigned queueOf(const uint8_t* record);

private:
    uint8_t buf[kCapacity] = {};
    unsigned fill = 0;
};

}  // namespace ycan
