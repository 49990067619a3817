// The calls every family that queues frames answers the same way: its
// frames in delivery order, the event descriptor that follows its queues;
// and the state of its USB link, the same for every family. Results and last errors as the exported
// YCAN_ReceiveAll, YCAN_GetEventFd, YCAN_GetLinkState and
// YCAN_GetDeviceLocation give them.
#pragma once

#include <cstdint>
#include <string>

#include "drivers/common/adapter_link.h"
#include "drivers/common/received_frames.h"
#include "ycan.h"

namespace ycan {

// Frames of channel ch (or of every channel) in delivery order. A null
// array, a count of 0 or a channel past the adapter's channels is refused
// (8) before anything else; an adapter that is not open (open false) with 7.
int takeInOrder(ReceivedFrames& frames, unsigned channels, bool open, unsigned ch, _YCAN_RX_FRAME* out,
                unsigned count, int waitMs);
// The queues' event descriptor, or -1 with 7 (closed) or 9 (none to spare).
int eventDescriptor(ReceivedFrames& frames);
// 1 linked, 0 away, -1 not open (7). Reading it marks the change seen by
// the queues' event descriptor (frames: null for a family without queues).
int linkState(ReceivedFrames* frames, AdapterLink& link, uint32_t* losses);
// The open adapter's port path ("1-2.3") and serial number as texts; 1, or
// 0 with 7 (not open) or 8 (a null text with room, or one that does not fit).
int deviceLocation(AdapterLink& link, char* portPath, uint32_t portPathSize, char* serial, uint32_t serialSize);
// "BUS-P1.P2...", as Linux names a USB device; "" without a port path.
std::string portPathText(const QUserLibUsb::Location& where);

}  // namespace ycan
