"""libycan through ctypes: the records and the functions this package uses.

The library is looked up as ``libycan.so.1`` (the dynamic loader's search:
``ldconfig``'s cache, ``LD_LIBRARY_PATH``); the environment variable
``YCAN_LIBRARY`` may name the file instead.
"""

import ctypes
import os
import threading

from can.exceptions import CanInterfaceNotImplementedError

# Last error codes.
ERR_DEVICE_NOT_EXIST = 1
ERR_NOT_OPENED = 7
ERR_PARAMETER = 8

# Room YCAN_GetDeviceLocation needs for its texts (ycan.h).
PORT_PATH_SIZE = 32
SERIAL_SIZE = 128

# YCAN_ReceiveAll: every channel of the adapter; the kinds of frame.
ALL_CHANNELS = 0xFFFFFFFF
KIND_CLASSIC = 0
KIND_CANFD = 1
# _YCAN_CANFD_OBJ.FrameOpt: bit rate switch, error state indicator.
FRAMEOPT_BRS = 0x08
FRAMEOPT_ESI = 0x10


# The fields both frame records begin with.
_FRAME_HEAD = [
    ("ID", ctypes.c_uint32),
    ("TimeTag", ctypes.c_uint32),
    ("FrameOpt", ctypes.c_uint8),
    ("SendMode", ctypes.c_uint8),
    ("RemoteFlag", ctypes.c_uint8),
    ("ExternFlag", ctypes.c_uint8),
    ("DataLen", ctypes.c_uint8),
    ("Reserved", ctypes.c_uint8 * 3),
]


class CanObj(ctypes.Structure):
    """_YCAN_CAN_OBJ: one classic frame (24 bytes)."""

    _fields_ = _FRAME_HEAD + [("Data", ctypes.c_uint8 * 8)]


class CanFdObj(ctypes.Structure):
    """_YCAN_CANFD_OBJ: one CAN FD frame (80 bytes)."""

    _fields_ = _FRAME_HEAD + [("Data", ctypes.c_uint8 * 64)]


class RxFrame(ctypes.Structure):
    """_YCAN_RX_FRAME: a frame as the adapter delivered it (96 bytes)."""

    _fields_ = [
        ("Frame", CanFdObj),
        ("HostTimeUs", ctypes.c_uint64),
        ("Kind", ctypes.c_uint8),
        ("Channel", ctypes.c_uint8),
        ("Reserved", ctypes.c_uint8 * 6),
    ]


class InitConfig(ctypes.Structure):
    """_YCAN_INIT_CONFIG: classic channel set-up (16 bytes)."""

    _fields_ = [
        ("AcceptCode", ctypes.c_uint32),
        ("AcceptMask", ctypes.c_uint32),
        ("Reserved", ctypes.c_uint32),
        ("FilterType", ctypes.c_uint8),
        ("BusTiming0", ctypes.c_uint8),
        ("BusTiming1", ctypes.c_uint8),
        ("WorkMode", ctypes.c_uint8),
    ]


class InitFdConfig(ctypes.Structure):
    """_YCAN_INITFD_CONFIG: CAN FD channel set-up (56 bytes)."""

    _fields_ = [
        ("AbitBaudRate", ctypes.c_uint32),
        ("DbitBaudRate", ctypes.c_uint32),
        ("AbitTiming", ctypes.c_uint32),
        ("DbitTiming", ctypes.c_uint32),
        ("OptionA", ctypes.c_uint8),
        ("FdEnable", ctypes.c_uint8),
        ("OptionB", ctypes.c_uint8),
        ("Reserved", ctypes.c_uint8 * 37),
    ]


class FilterConfig(ctypes.Structure):
    """_YCAN_FLITER_CONFIG: one filter operation (16 bytes)."""

    _fields_ = [
        ("FilterOp", ctypes.c_uint8),
        ("FilterMode", ctypes.c_uint8),
        ("FilterKind", ctypes.c_uint8),
        ("StartId", ctypes.c_uint32),
        ("EndId", ctypes.c_uint32),
        ("FilterIndex", ctypes.c_uint32),
    ]


class FilterInfo(ctypes.Structure):
    """_YCAN_FLITER_INFO: a recorder channel's filter summary (4 bytes)."""

    _fields_ = [("FilterCount", ctypes.c_uint16), ("FilterState", ctypes.c_uint8)]


class RecordConfig(ctypes.Structure):
    """_YCAN_RECORD_CONFIG: a recorder channel's record settings (24 bytes)."""

    _fields_ = [
        ("Reserved", ctypes.c_uint8),
        ("RecordFlag", ctypes.c_uint8),
        ("OptionB", ctypes.c_uint8),
        ("OptionA", ctypes.c_uint8),
        ("AbitClock", ctypes.c_uint8),
        ("DbitClock", ctypes.c_uint8),
        ("AbitTiming", ctypes.c_uint32),
        ("DbitTiming", ctypes.c_uint32),
        ("TailFlag0", ctypes.c_uint8),
        ("TailByte0", ctypes.c_uint8),
        ("TailByte1", ctypes.c_uint8),
        ("TailFlag1", ctypes.c_uint8),
        ("TailByte2", ctypes.c_uint8),
    ]


class BoardInfo(ctypes.Structure):
    """_YCAN_BOARD_INFO (76 bytes)."""

    _fields_ = [
        ("Version0", ctypes.c_uint16),
        ("Version1", ctypes.c_uint16),
        ("Version2", ctypes.c_uint16),
        ("ApiVersion", ctypes.c_uint16),
        ("Spare8", ctypes.c_uint16),
        ("ChannelNum", ctypes.c_uint8),
        ("SerialNum", ctypes.c_char * 20),
        ("HwType", ctypes.c_char * 40),
        ("Reserved", ctypes.c_uint32),
    ]


# The layouts are fixed by the C interface.
for _record, _size in ((CanObj, 24), (CanFdObj, 80), (RxFrame, 96), (InitConfig, 16), (InitFdConfig, 56),
                      (FilterConfig, 16), (FilterInfo, 4), (RecordConfig, 24), (BoardInfo, 76)):
    assert ctypes.sizeof(_record) == _size, _record.__name__
assert CanFdObj.Data.offset == 16 and FilterConfig.StartId.offset == 4 and InitFdConfig.OptionA.offset == 16
assert RxFrame.HostTimeUs.offset == 80 and RxFrame.Kind.offset == 88 and RxFrame.Channel.offset == 89
assert RecordConfig.AbitTiming.offset == 8 and RecordConfig.TailFlag0.offset == 16 and RecordConfig.TailByte2.offset == 20
assert BoardInfo.ChannelNum.offset == 10 and BoardInfo.SerialNum.offset == 11 and BoardInfo.Reserved.offset == 72

_u32 = ctypes.c_uint32
_SIGNATURES = {
    "YCAN_OpenDevice": [_u32, _u32],
    "YCAN_CloseDevice": [_u32, _u32],
    "YCAN_ClearBuffer": [_u32, _u32, _u32],
    "YCAN_SetFliter": [_u32, _u32, _u32, ctypes.POINTER(FilterConfig)],
    "YCAN_InitCAN": [_u32, _u32, _u32, ctypes.POINTER(InitConfig)],
    "YCAN_InitCANFD": [_u32, _u32, _u32, ctypes.POINTER(InitFdConfig)],
    "YCAN_Stop": [_u32, _u32, _u32],
    "YCAN_Receive": [_u32, _u32, _u32, ctypes.POINTER(CanObj), _u32, ctypes.c_int],
    "YCAN_ReceiveFD": [_u32, _u32, _u32, ctypes.POINTER(CanFdObj), _u32, ctypes.c_int],
    "YCAN_Transmit": [_u32, _u32, _u32, ctypes.POINTER(CanObj), _u32],
    "YCAN_TransmitFD": [_u32, _u32, _u32, ctypes.POINTER(CanFdObj), _u32],
    "YCAN_ReceiveAll": [_u32, _u32, _u32, ctypes.POINTER(RxFrame), _u32, ctypes.c_int],
    "YCAN_GetEventFd": [_u32, _u32],
    "YCAN_GetLinkState": [_u32, _u32, ctypes.POINTER(_u32)],
    "YCAN_GetDeviceLocation": [_u32, _u32, ctypes.c_char_p, _u32, ctypes.c_char_p, _u32],
    "YCAN_GetLastError": [],
    "YCAN_BoardInfoGet": [_u32, _u32, ctypes.POINTER(BoardInfo)],
    "YCAN_RecordSettingSet": [_u32, _u32, _u32, ctypes.POINTER(RecordConfig)],
    "YCAN_RecordSettingGet": [_u32, _u32, _u32, ctypes.POINTER(RecordConfig)],
    "YCAN_RecordFliterInfoGet": [_u32, _u32, _u32, ctypes.POINTER(FilterInfo)],
    "YCAN_RecordFliterClr": [_u32, _u32, _u32],
    "YCAN_RecordFliterAdd": [_u32, _u32, _u32, ctypes.POINTER(FilterConfig)],
    "YCAN_RecordFliterEnable": [_u32, _u32, _u32],
    "YCAN_RecordFliterDisable": [_u32, _u32, _u32],
    "YCAN_RecordFliterSettingGet": [_u32, _u32, _u32, ctypes.c_uint16, ctypes.POINTER(FilterConfig)],
}

_lock = threading.Lock()
_lib = None


def library():
    """The loaded library (loaded on first use)."""
    global _lib
    with _lock:
        if _lib is None:
            name = os.environ.get("YCAN_LIBRARY") or "libycan.so.1"
            try:
                # CDLL lets go of the interpreter lock during every call, so
                # a thread waiting in a receive call blocks no other thread.
                lib = ctypes.CDLL(name)
            except OSError as e:
                raise CanInterfaceNotImplementedError(
                    f"cannot load the ycan library {name}: {e} "
                    "(install libycan, or name the file in YCAN_LIBRARY)"
                ) from e
            for fn, args in _SIGNATURES.items():
                f = getattr(lib, fn)
                f.argtypes = args
                f.restype = ctypes.c_int
            lib.YCAN_GetLastErrorStr.argtypes = []
            lib.YCAN_GetLastErrorStr.restype = ctypes.c_char_p
            _lib = lib
        return _lib


def last_error():
    """The library's last error: (code, message)."""
    lib = library()
    code = lib.YCAN_GetLastError()
    text = lib.YCAN_GetLastErrorStr()
    return code, (text.decode("utf-8", "replace") if text else "")
