// Frames between the adapters' records and Linux SocketCAN's: a received
// frame becomes a can_frame (16 bytes on the wire) or a canfd_frame (72),
// and what a program writes on an interface becomes a record to transmit.
//   identifier  can_id & CAN_EFF_MASK / CAN_SFF_MASK, CAN_EFF_FLAG extended
//   remote      CAN_RTR_FLAG (classic frames only)
//   CAN FD      CANFD_FDF; FrameOpt 0x08 <-> CANFD_BRS, 0x10 <-> CANFD_ESI
// Error frames (CAN_ERR_FLAG) have no record: they are refused.
#pragma once

#include <linux/can.h>

#include <cstddef>

#include "ycan.h"

namespace ycantool {

// A received frame as SocketCAN carries it; the bytes to write: CAN_MTU for
// a classic frame (out holds a can_frame), CANFD_MTU for a CAN FD frame.
size_t toSocketCan(const _YCAN_RX_FRAME& in, canfd_frame& out);

// A frame read from an interface (`size` bytes), as the record to transmit.
struct Outgoing {
    enum class Kind { Classic, Fd, Refused } kind = Kind::Refused;
    _YCAN_CAN_OBJ classic{};
    _YCAN_CANFD_OBJ fd{};
};
Outgoing fromSocketCan(const canfd_frame& in, size_t size);

}  // namespace ycantool
