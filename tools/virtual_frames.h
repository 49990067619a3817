// The emulated adapters' frames (the records of a CAN FD data packet, the
// classic adapter's frames) as the tools' text frames, and back: what
// ycan-virtual's traffic and its control socket put on a virtual bus and
// read from it.
#pragma once

#include <cstdint>

#include "sim/canfd/canfd_adapter.h"
#include "sim/usbcan/usbcan_adapter.h"
#include "tools/ycan/frame_text.h"

namespace ycanvirtual {

ycansim::BusFrame toBusFrame(const ycantool::TextFrame& f, unsigned ch, uint32_t timeTag);
ycantool::TextFrame fromBusFrame(const ycansim::BusFrame& b);
ycansim::ClassicFrame toClassicFrame(const ycantool::TextFrame& f, unsigned ch, uint32_t timeTag);
ycantool::TextFrame fromClassicFrame(const ycansim::ClassicFrame& c);

}  // namespace ycanvirtual
