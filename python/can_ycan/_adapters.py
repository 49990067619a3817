"""Open adapters shared by the buses on their channels.

libycan opens an adapter once for all its channels, and closing it ends
every channel. So an adapter stays open while any bus in this process uses
one of its channels. A bus reads its channel straight from the library
(YCAN_ReceiveAll: classic and CAN FD frames together, in the order the
adapter delivered them), so nothing waits in this package and the library's
event descriptor tells exactly when a frame is there; a waiting reader waits
in the library, never by polling. Closing the adapter makes the library let
go of the waiting readers at once; a bus that stops while its adapter stays
open for another bus lets its reader go within one wait slice.
"""

import atexit
import ctypes
import math
import threading
import time

import can
from can.exceptions import CanInitializationError

from . import _library
from ._frames import to_message
from ._library import RxFrame
from ._settings import model_of_type
from ._usb import adapters_with_ids, in_use_by

# The longest a receive call waits in the library before the reader checks
# that its bus is still open (a bus stopped while its adapter stays open
# cannot wake a call waiting in the library).
WAIT_SLICE_MS = 250


class Channel:
    """One channel of an open adapter, and the bus that owns it."""

    def __init__(self, adapter, number):
        self.adapter = adapter
        self.number = number
        self.owner = None
        self.name = f"{adapter.device_type}:{adapter.index}:{number}"

    def take(self, bus, timeout):
        """The next frame for `bus`, in delivery order, waiting up to timeout
        seconds (None: no limit). None when the time ran out; raises once the
        bus is shut down."""
        a = self.adapter
        lib = _library.library()
        rec = RxFrame()
        deadline = None if timeout is None else time.monotonic() + max(timeout, 0.0)
        while True:
            if self.owner is not bus or a.closed:
                raise can.CanOperationError("the ycan bus is shut down")
            if deadline is None:
                wait = WAIT_SLICE_MS
            else:
                wait = min(WAIT_SLICE_MS, max(0, math.ceil((deadline - time.monotonic()) * 1000)))
            n = lib.YCAN_ReceiveAll(a.device_type, a.index, self.number, ctypes.byref(rec), 1, wait)
            if n == 1:
                return to_message(rec, self.name)
            if self.owner is not bus or a.closed:
                raise can.CanOperationError("the ycan bus is shut down")
            # Nothing came: the link may have changed (that too makes the
            # event descriptor readable until the state is read), or the
            # adapter was closed behind this package's back.
            if bus._watch_link() is None:
                raise can.CanOperationError(f"ycan {self.name}: receiving failed: the adapter is not open",
                                            error_code=_library.ERR_NOT_OPENED)
            if deadline is not None and time.monotonic() >= deadline:
                return None

    def event_fd(self):
        """The adapter's event descriptor; -1 when it has none."""
        a = self.adapter
        if a.closed:
            return -1
        return _library.library().YCAN_GetEventFd(a.device_type, a.index)

    def link(self):
        """(linked, losses): whether the adapter is there, and how often it
        was lost since it was opened; (None, 0) once it is closed."""
        a = self.adapter
        losses = ctypes.c_uint32(0)
        state = _library.library().YCAN_GetLinkState(a.device_type, a.index, ctypes.byref(losses))
        return (None if state < 0 else state == 1), losses.value


def _location(device_type, index):
    """The open adapter's USB port path and serial number ("" for what is not known)."""
    port = ctypes.create_string_buffer(_library.PORT_PATH_SIZE)
    serial = ctypes.create_string_buffer(_library.SERIAL_SIZE)
    if _library.library().YCAN_GetDeviceLocation(device_type, index, port, len(port), serial, len(serial)) != 1:
        return "", ""
    return port.value.decode("ascii", "replace"), serial.value.decode("ascii", "replace")


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
        self.port, self.serial = _location(device_type, index)

    @classmethod
    def attach(cls, device_type, index, number, bus, fd):
        """Opens the adapter unless open, and gives `bus` the channel. index
        is the library's index, or ("port", PATH) / ("serial", SERIAL): the
        adapter found there is opened and checked to be that one."""
        if not isinstance(index, int):
            return cls._attach_by_place(device_type, index, number, bus, fd)
        lib = _library.library()
        with cls._lock:
            a = cls._open.get((device_type, index))
            if a is None:
                if lib.YCAN_OpenDevice(device_type, index) != 1:
                    code, text = _library.last_error()
                else:
                    a = cls(device_type, index, fd)
                    cls._open[(device_type, index)] = a
            if a is not None:
                return cls._give(a, number, bus)
        # Why, told outside the lock: asking who holds the adapter takes a
        # moment, and other buses may open theirs meanwhile.
        model = model_of_type(device_type)
        busy = model and in_use_by(device_type, index, (model.vendor_id, model.product_id))
        if busy:
            raise CanInitializationError(busy, error_code=code)
        raise CanInitializationError(f"cannot open ycan adapter {device_type}:{index}: {text}", error_code=code)

    @classmethod
    def _attach_by_place(cls, device_type, place, number, bus, fd):
        kind, value = place
        named = f"{device_type}{'@' if kind == 'port' else '#'}{value}"
        model = model_of_type(device_type)
        ids = (model.vendor_id, model.product_id)
        lib = _library.library()
        with cls._lock:
            for a in cls._open.values():
                if a.device_type == device_type and (a.port if kind == "port" else a.serial) == value:
                    return cls._give(a, number, bus)
            for _ in range(3):
                matches = [i for i, port, serial in adapters_with_ids(ids)
                           if (port if kind == "port" else serial) == value]
                if not matches:
                    raise CanInitializationError(f"ycan adapter {named}: no such adapter is attached")
                if len(matches) > 1:
                    raise CanInitializationError(f"ycan adapter {named}: {len(matches)} attached adapters report "
                                                 f"this serial number; name it by its port")
                index = matches[0]
                if (device_type, index) in cls._open:
                    # Open here by its index, and another adapter stands there now.
                    raise CanInitializationError(
                        f"ycan adapter {named}: this program has {device_type}:{index} open, which is "
                        f"another adapter now; close it first")
                if lib.YCAN_OpenDevice(device_type, index) != 1:
                    code, text = _library.last_error()
                    break
                a = cls(device_type, index, fd)
                if (a.port if kind == "port" else a.serial) == value:
                    cls._open[(device_type, index)] = a
                    return cls._give(a, number, bus)
                # Another adapter stood at that index by the time it was opened.
                lib.YCAN_CloseDevice(device_type, index)
            else:
                raise CanInitializationError(f"ycan adapter {named}: adapters kept being plugged in or out while "
                                             f"it was opened; try again")
        busy = in_use_by(device_type, index, ids)
        if busy:
            raise CanInitializationError(busy.replace(f"{device_type}:{index}", named, 1), error_code=code)
        raise CanInitializationError(f"cannot open ycan adapter {named}: {text}", error_code=code)

    @classmethod
    def _give(cls, a, number, bus):
        """Gives `bus` channel `number` of the open adapter (class lock held)."""
        ch = a.channels.get(number)
        if ch is None:
            ch = a.channels[number] = Channel(a, number)
        if ch.owner is not None:
            raise CanInitializationError(
                f"channel {a.device_type}:{a.index}:{number} is already in use by another bus in this process"
            )
        ch.owner = bus
        return ch

    @classmethod
    def detach(cls, ch):
        """Takes the channel from its bus; closes the adapter when no bus
        uses it any more, else stops the channel."""
        lib = _library.library()
        a = ch.adapter
        with cls._lock:
            if ch.owner is None:
                return
            ch.owner = None
            if any(c.owner is not None for c in a.channels.values()):
                # The next bus on this channel starts with nothing of ours.
                lib.YCAN_Stop(a.device_type, a.index, ch.number)
                lib.YCAN_ClearBuffer(a.device_type, a.index, ch.number)
                return
            a._close(lib)

    def _close(self, lib):
        # Under the class lock: nobody opens this adapter again meanwhile.
        # The close lets every reader waiting in the library go at once.
        self.closed = True
        lib.YCAN_CloseDevice(self.device_type, self.index)
        Adapter._open.pop((self.device_type, self.index), None)

    @classmethod
    def close_all(cls):
        """Closes every adapter still open (at interpreter exit)."""
        if _library._lib is None:
            return
        with cls._lock:
            for a in list(cls._open.values()):
                for c in a.channels.values():
                    c.owner = None
                a._close(_library._lib)


atexit.register(Adapter.close_all)
