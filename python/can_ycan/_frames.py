"""Between python-can's Message and the library's frame records, both ways."""

import ctypes

import can

from ._library import FRAMEOPT_BRS, FRAMEOPT_ESI, KIND_CANFD, CanFdObj, CanObj
from ._settings import fd_length


def to_message(r, name):
    """A received _YCAN_RX_FRAME as a Message of channel `name`."""
    f = r.Frame
    fd = r.Kind == KIND_CANFD
    length = min(f.DataLen, 64 if fd else 8)
    remote = bool(f.RemoteFlag) and not fd
    return can.Message(
        timestamp=r.HostTimeUs / 1e6,
        arbitration_id=f.ID & 0x1FFFFFFF,
        is_extended_id=bool(f.ExternFlag),
        is_remote_frame=remote,
        is_fd=fd,
        bitrate_switch=fd and bool(f.FrameOpt & FRAMEOPT_BRS),
        error_state_indicator=fd and bool(f.FrameOpt & FRAMEOPT_ESI),
        dlc=length,
        data=None if remote else bytes(f.Data[:length]),
        channel=name,
        is_rx=True,
    )


def to_record(msg, fd_bus):
    """The record that sends `msg`: a CanFdObj for a CAN FD frame (only on a
    bus opened with fd=True), else a CanObj. Raises ValueError for a frame
    the adapters cannot send."""
    if msg.is_error_frame:
        raise ValueError("the adapters do not send error frames")
    limit = 0x1FFFFFFF if msg.is_extended_id else 0x7FF
    if not 0 <= msg.arbitration_id <= limit:
        raise ValueError(f"identifier 0x{msg.arbitration_id:X} does not fit its format")
    if msg.is_fd:
        if not fd_bus:
            raise ValueError("a CAN FD frame needs a bus opened with fd=True")
        if msg.is_remote_frame:
            raise ValueError("CAN FD has no remote frames")
        data = bytes(msg.data or b"")
        record = CanFdObj(
            ID=msg.arbitration_id,
            ExternFlag=1 if msg.is_extended_id else 0,
            FrameOpt=(FRAMEOPT_BRS if msg.bitrate_switch else 0) | (FRAMEOPT_ESI if msg.error_state_indicator else 0),
            DataLen=fd_length(len(data)),
        )
    else:
        data = b"" if msg.is_remote_frame else bytes(msg.data or b"")
        if len(data) > 8:
            raise ValueError(f"a classic CAN frame carries at most 8 bytes, not {len(data)}")
        record = CanObj(
            ID=msg.arbitration_id,
            ExternFlag=1 if msg.is_extended_id else 0,
            RemoteFlag=1 if msg.is_remote_frame else 0,
            DataLen=min(msg.dlc, 8) if msg.is_remote_frame else len(data),
        )
    ctypes.memmove(record.Data, data, len(data))
    return record
