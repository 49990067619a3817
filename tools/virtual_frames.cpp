#include "tools/virtual_frames.h"

#include <algorithm>

namespace ycanvirtual {

using ycansim::BusFrame;

BusFrame toBusFrame(const ycantool::TextFrame& f, unsigned ch, uint32_t timeTag) {
    BusFrame b;
    b.channel = ch;
    b.flags = static_cast<uint8_t>((f.fd ? BusFrame::kFd : 0) | (f.remote ? BusFrame::kRemote : 0) |
                                   (f.extended ? BusFrame::kExtended : 0) |
                                   ((f.fdFlags & ycantool::kFdBitRateSwitch) ? BusFrame::kBitRateSwitch : 0) |
                                   ((f.fdFlags & ycantool::kFdErrorState) ? BusFrame::kErrorState : 0));
    b.id = f.id;
    b.dataLen = f.len;
    b.timeTag = timeTag;
    b.data.assign(f.data, f.data + (f.fd ? 64 : 8));
    return b;
}

ycantool::TextFrame fromBusFrame(const BusFrame& b) {
    ycantool::TextFrame f;
    f.id = b.id & 0x1FFFFFFF;
    f.fd = b.fd();
    f.remote = (b.flags & BusFrame::kRemote) != 0;
    f.extended = (b.flags & BusFrame::kExtended) != 0;
    if (f.fd)
        f.fdFlags =
            static_cast<uint8_t>(((b.flags & BusFrame::kBitRateSwitch) ? ycantool::kFdBitRateSwitch : 0) |
                                 ((b.flags & BusFrame::kErrorState) ? ycantool::kFdErrorState : 0));
    f.len = std::min<uint8_t>(b.dataLen, f.fd ? 64 : 8);
    std::copy_n(b.data.begin(), std::min<size_t>(f.len, b.data.size()), f.data);
    return f;
}

ycansim::ClassicFrame toClassicFrame(const ycantool::TextFrame& f, unsigned ch, uint32_t timeTag) {
    ycansim::ClassicFrame c;
    c.channel = ch;
    c.id = f.id;
    c.extended = f.extended;
    c.remote = f.remote;
    c.dataLen = f.len;
    c.data.assign(f.data, f.data + 8);
    c.timeTag = timeTag;
    return c;
}

ycantool::TextFrame fromClassicFrame(const ycansim::ClassicFrame& c) {
    ycantool::TextFrame f;
    f.id = c.id & 0x1FFFFFFF;
    f.extended = c.extended;
    f.remote = c.remote;
    f.len = std::min<uint8_t>(c.dataLen, 8);
    std::copy_n(c.data.begin(), std::min<size_t>(f.len, c.data.size()), f.data);
    return f;
}

}  // namespace ycanvirtual
