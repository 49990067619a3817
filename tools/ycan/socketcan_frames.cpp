#include "tools/ycan/socketcan_frames.h"

#include <cstring>

namespace ycantool {

namespace {

// The CAN FD lengths; a length between two of them is padded up.
uint8_t fdLength(unsigned n) {
    static const uint8_t lengths[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};
    for (uint8_t l : lengths)
        if (n <= l) return l;
    return 64;
}

}  // namespace

size_t toSocketCan(const _YCAN_RX_FRAME& in, canfd_frame& out) {
    memset(&out, 0, sizeof out);
    const _YCAN_CANFD_OBJ& f = in.Frame;
    const bool extended = f.ExternFlag != 0;
    out.can_id = (f.ID & (extended ? CAN_EFF_MASK : CAN_SFF_MASK)) | (extended ? CAN_EFF_FLAG : 0);
    if (in.Kind == YCAN_KIND_CANFD) {
        out.len = fdLength(f.DataLen > 64 ? 64 : f.DataLen);
        out.flags = CANFD_FDF | ((f.FrameOpt & YCAN_FRAMEOPT_BRS) ? CANFD_BRS : 0) |
                    ((f.FrameOpt & YCAN_FRAMEOPT_ESI) ? CANFD_ESI : 0);
        memcpy(out.data, f.Data, f.DataLen > 64 ? 64 : f.DataLen);
        return CANFD_MTU;
    }
    // A can_frame is the first CAN_MTU bytes of the buffer.
    can_frame classic{};
    classic.can_id = out.can_id;
    classic.len = f.DataLen > 8 ? 8 : f.DataLen;
    if (f.RemoteFlag != 0)
        classic.can_id |= CAN_RTR_FLAG;
    else
        memcpy(classic.data, f.Data, classic.len);
    memcpy(&out, &classic, sizeof classic);
    return CAN_MTU;
}

Outgoing fromSocketCan(const canfd_frame& in, size_t size) {
    Outgoing o;
    if ((in.can_id & CAN_ERR_FLAG) != 0) return o;
    const bool extended = (in.can_id & CAN_EFF_FLAG) != 0;
    const uint32_t id = in.can_id & (extended ? CAN_EFF_MASK : CAN_SFF_MASK);
    if (size == CANFD_MTU) {
        o.kind = Outgoing::Kind::Fd;
        o.fd.ID = id;
        o.fd.ExternFlag = extended ? 1 : 0;
        o.fd.FrameOpt = static_cast<uint8_t>(((in.flags & CANFD_BRS) ? YCAN_FRAMEOPT_BRS : 0) |
                                             ((in.flags & CANFD_ESI) ? YCAN_FRAMEOPT_ESI : 0));
        o.fd.DataLen = fdLength(in.len > 64 ? 64 : in.len);
        memcpy(o.fd.Data, in.data, in.len > 64 ? 64 : in.len);
        return o;
    }
    if (size != CAN_MTU) return o;
    can_frame classic;
    memcpy(&classic, &in, sizeof classic);
    o.kind = Outgoing::Kind::Classic;
    o.classic.ID = id;
    o.classic.ExternFlag = extended ? 1 : 0;
    o.classic.DataLen = classic.len > 8 ? 8 : classic.len;
    if ((in.can_id & CAN_RTR_FLAG) != 0)
        o.classic.RemoteFlag = 1;
    else
        memcpy(o.classic.Data, classic.data, o.classic.DataLen);
    return o;
}

}  // namespace ycantool
