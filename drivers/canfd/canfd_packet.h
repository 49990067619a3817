// The CAN FD adapters' transmit packets: the layout of the receive stream
// (canfd_stream.h), written by the host. The time tags stay 0 (the adapter
// sets them).
#pragma once

#include <cstdint>

#include "drivers/canfd/canfd_stream.h"
#include "ycan.h"

namespace ycan::canfd {

constexpr unsigned kRecordsPerPacket = 10;
// The largest data packet: 10 FD records.
constexpr unsigned kMaxPacketLen = CanFdStream::kHeaderLen + kRecordsPerPacket * CanFdStream::kFdRecordLen;

// Lays out one data packet of the first min(count, 10) frames for channel
// ch (classic or FD records by the frame type) in packet, which holds
// kMaxPacketLen bytes; returns its length. A remote frame goes out with
// data length 0.
unsigned encodeDataPacket(uint8_t* packet, unsigned ch, const _YCAN_CAN_OBJ* frames, unsigned count);
unsigned encodeDataPacket(uint8_t* packet, unsigned ch, const _YCAN_CANFD_OBJ* frames, unsigned count);

}  // namespace ycan::canfd
