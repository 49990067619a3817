"""Open adapters shared by the buses on their channels.

libycan opens an adapter once for all its channels, and closing it ends
every channel. So an adapter stays open while any bus in this process uses
one of its channels. Each channel in use has reader threads that wait in the
library's receive calls (one per receive queue: classic frames, and on CAN FD
adapters CAN FD frames) and hand what they get to the bus; a bus waiting for
a frame waits on a condition variable, never by polling. Closing the adapter
makes the library let go of the waiting readers at once.
"""

import atexit
import collections
import ctypes
import threading
import time

import can
from can.exceptions import CanInitializationError

from . import _library
from ._library import CanFdObj, CanObj

# Frames a channel holds for its bus before its readers stop taking more
# from the library (which keeps them, compactly, until there is room).
PENDING_LIMIT = 8192
# Frames one receive call may return.
BATCH = 64


class Channel:
    """One channel of an open adapter: the frames waiting for its bus."""

    def __init__(self, adapter, number):
        self.adapter = adapter
        self.number = number
        self.cond = threading.Condition()
        self.frames = collections.deque()
        self.owner = None
        self.readers = []

    def take(self, bus, timeout):
        """The next frame for `bus`, waiting up to timeout seconds (None: no
        limit). None when the time ran out; raises once the bus is shut down."""
        with self.cond:
            if not self.frames and self.owner is bus:
                self.cond.wait_for(lambda: self.frames or self.owner is not bus or self.adapter.closed, timeout)
            if self.owner is not bus or self.adapter.closed:
                raise can.CanOperationError("the ycan bus is shut down")
            if self.frames:
                msg = self.frames.popleft()
                if len(self.frames) == PENDING_LIMIT - 1:
                    self.cond.notify_all()  # readers waiting for room
                return msg
            return None

    def _read(self, fd):
        a = self.adapter
        lib = _library.library()
        records = (CanFdObj if fd else CanObj) * BATCH
        buf = records()
        receive = lib.YCAN_ReceiveFD if fd else lib.YCAN_Receive
        name = f"{a.device_type}:{a.index}:{self.number}"
        while not a.closed:
            with self.cond:
                self.cond.wait_for(lambda: len(self.frames) < PENDING_LIMIT or a.closed)
            if a.closed:
                break
            n = receive(a.device_type, a.index, self.number, buf, BATCH, -1)
            if n <= 0:
                if a.closed:
                    break
                # The library refused the call (the adapter closed behind
                # our back, say): do not spin on it.
                time.sleep(0.1)
                continue
            now = time.time()
            msgs = []
            for r in buf[:n]:
                length = min(r.DataLen, 64 if fd else 8)
                remote = bool(r.RemoteFlag) and not fd
                msgs.append(
                    can.Message(
                        timestamp=now,
                        arbitration_id=r.ID & 0x1FFFFFFF,
                        is_extended_id=bool(r.ExternFlag),
                        is_remote_frame=remote,
                        is_fd=fd,
                        bitrate_switch=fd and bool(r.FrameOpt & 0x08),
                        dlc=length,
                        data=None if remote else bytes(r.Data[:length]),
                        channel=name,
                        is_rx=True,
                    )
                )
            with self.cond:
                # Frames for a channel nobody reads any more are dropped.
                if self.owner is not None:
                    self.frames.extend(msgs)
                    self.cond.notify_all()

    def start_readers(self):
        if self.readers:
            return
        for fd in (False, True) if self.adapter.fd else (False,):
            t = threading.Thread(
                target=self._read, args=(fd,), daemon=True,
                name=f"ycan-{self.adapter.device_type}:{self.adapter.index}:{self.number}-{'fd' if fd else 'can'}",
            )
            self.readers.append(t)
            t.start()


class Adapter:
    """One adapter opened through the library, with its channels in use."""

    _lock = threading.Lock()
    _open = {}

    def __init__(self, device_type, index, fd):
        self.device_type = device_type
        self.index = index
        self.fd = fd
        self.closed = False
        self.channels = {}

    @classmethod
    def attach(cls, device_type, index, number, bus, fd):
        """Opens the adapter unless open, and gives `bus` the channel."""
        lib = _library.library()
        with cls._lock:
            a = cls._open.get((device_type, index))
            if a is None:
                if lib.YCAN_OpenDevice(device_type, index) != 1:
                    code, text = _library.last_error()
                    raise CanInitializationError(
                        f"cannot open ycan adapter {device_type}:{index}: {text}", error_code=code
                    )
                a = cls(device_type, index, fd)
                cls._open[(device_type, index)] = a
            ch = a.channels.get(number)
            if ch is None:
                ch = a.channels[number] = Channel(a, number)
            with ch.cond:
                if ch.owner is not None:
                    raise CanInitializationError(
                        f"channel {device_type}:{index}:{number} is already in use by another bus in this process"
                    )
                ch.owner = bus
                ch.frames.clear()
            return ch

    @classmethod
    def detach(cls, ch):
        """Takes the channel from its bus; closes the adapter when no bus
        uses it any more, else stops the channel."""
        lib = _library.library()
        a = ch.adapter
        with cls._lock:
            with ch.cond:
                if ch.owner is None:
                    return
                ch.owner = None
                ch.frames.clear()
                ch.cond.notify_all()
            if any(c.owner is not None for c in a.channels.values()):
                # The next bus on this channel starts with nothing of ours.
                lib.YCAN_Stop(a.device_type, a.index, ch.number)
                lib.YCAN_ClearBuffer(a.device_type, a.index, ch.number)
                return
            a._close(lib)

    def _close(self, lib):
        # Under the class lock: nobody opens this adapter again until its
        # readers are gone, so none of them can wait on a new opening.
        self.closed = True
        for c in self.channels.values():
            with c.cond:
                c.cond.notify_all()
        lib.YCAN_CloseDevice(self.device_type, self.index)
        for c in self.channels.values():
            for t in c.readers:
                t.join(5.0)
        Adapter._open.pop((self.device_type, self.index), None)

    @classmethod
    def close_all(cls):
        """Closes every adapter still open (at interpreter exit)."""
        if _library._lib is None:
            return
        with cls._lock:
            for a in list(cls._open.values()):
                for c in a.channels.values():
                    with c.cond:
                        c.owner = None
                a._close(_library._lib)


atexit.register(Adapter.close_all)


class _DeviceDescriptor(ctypes.Structure):
    _fields_ = [
        ("bLength", ctypes.c_uint8),
        ("bDescriptorType", ctypes.c_uint8),
        ("bcdUSB", ctypes.c_uint16),
        ("bDeviceClass", ctypes.c_uint8),
        ("bDeviceSubClass", ctypes.c_uint8),
        ("bDeviceProtocol", ctypes.c_uint8),
        ("bMaxPacketSize0", ctypes.c_uint8),
        ("idVendor", ctypes.c_uint16),
        ("idProduct", ctypes.c_uint16),
        ("bcdDevice", ctypes.c_uint16),
        ("iManufacturer", ctypes.c_uint8),
        ("iProduct", ctypes.c_uint8),
        ("iSerialNumber", ctypes.c_uint8),
        ("bNumConfigurations", ctypes.c_uint8),
    ]


def attached_ids():
    """USB ids of the attached devices in libusb's order (the order the
    library counts device indexes in); empty when USB is not available."""
    try:
        usb = ctypes.CDLL("libusb-1.0.so.0")
    except OSError:
        return []
    ctx = ctypes.c_void_p()
    if usb.libusb_init(ctypes.byref(ctx)) != 0:
        return []
    devices = ctypes.POINTER(ctypes.c_void_p)()
    usb.libusb_get_device_list.restype = ctypes.c_ssize_t
    usb.libusb_get_device_list.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.POINTER(ctypes.c_void_p))]
    usb.libusb_get_device_descriptor.argtypes = [ctypes.c_void_p, ctypes.POINTER(_DeviceDescriptor)]
    usb.libusb_free_device_list.argtypes = [ctypes.POINTER(ctypes.c_void_p), ctypes.c_int]
    usb.libusb_exit.argtypes = [ctypes.c_void_p]
    ids = []
    n = usb.libusb_get_device_list(ctx, ctypes.byref(devices))
    for i in range(max(n, 0)):
        d = _DeviceDescriptor()
        if usb.libusb_get_device_descriptor(devices[i], ctypes.byref(d)) == 0:
            ids.append((d.idVendor, d.idProduct))
    if n >= 0:
        usb.libusb_free_device_list(devices, 1)
    usb.libusb_exit(ctx)
    return ids
