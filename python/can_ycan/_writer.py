"""The transmit queue of a bus: send() queues a frame and returns, as a
SocketCAN socket's write does; one writer thread per bus hands every frame
waiting into one library call (a run of frames of one kind), so a python
loop sends at bus rates instead of paying one adapter exchange per frame.

Frames keep their order. The queue is bounded: send() waits up to its
timeout for room. A failure the adapter reports is logged at once and raised
by the next send(); the frames of the failed call that were not sent, and
those queued behind them, are dropped with it (they were meant for a bus
that just failed).
"""

import collections
import logging
import threading
import time

from can.exceptions import CanOperationError, CanTimeoutError

from . import _library
from ._library import CanFdObj

log = logging.getLogger("can.ycan")

# Frames that may wait; a loop that sends faster than the bus waits for room.
QUEUE_LIMIT = 4096
# Frames one library call is given.
CALL_LIMIT = 512


class Writer:
    def __init__(self, device_type, index, number, name, link):
        self._key = (device_type, index, number)
        self._name = name
        self._link = link  # () -> (linked, losses)
        self._cond = threading.Condition()
        self._queue = collections.deque()
        self._busy = False
        self._closing = False
        self._error = None
        self._thread = None

    def put(self, record, timeout):
        """Queues one _YCAN_CAN_OBJ or _YCAN_CANFD_OBJ record."""
        with self._cond:
            self._raise_pending()
            if self._closing:
                raise CanOperationError("the ycan bus is shut down")
            if len(self._queue) >= QUEUE_LIMIT:
                room = self._cond.wait_for(
                    lambda: len(self._queue) < QUEUE_LIMIT or self._closing or self._error is not None, timeout)
                self._raise_pending()
                if self._closing:
                    raise CanOperationError("the ycan bus is shut down")
                if not room:
                    raise CanTimeoutError(
                        f"ycan {self._name}: the transmit queue stayed full ({QUEUE_LIMIT} frames) for {timeout} s")
            self._queue.append(record)
            if self._thread is None:
                self._thread = threading.Thread(target=self._run, daemon=True, name=f"ycan-{self._name}-tx")
                self._thread.start()
            elif not self._busy:
                self._cond.notify_all()

    def _raise_pending(self):
        if self._error is not None:
            error, self._error = self._error, None
            raise error

    def flush(self):
        """Discards the frames waiting."""
        with self._cond:
            self._queue.clear()
            self._cond.notify_all()

    def waiting(self):
        with self._cond:
            return len(self._queue) + (1 if self._busy else 0)

    def close(self, drain_timeout):
        """Sends what waits (for at most drain_timeout seconds), then stops
        the writer. True when nothing was left unsent."""
        deadline = time.monotonic() + drain_timeout
        with self._cond:
            self._cond.wait_for(lambda: (not self._queue and not self._busy) or self._error is not None,
                                max(0.0, deadline - time.monotonic()))
            drained = not self._queue and not self._busy
            left = len(self._queue)
            self._queue.clear()
            self._closing = True
            self._cond.notify_all()
            thread = self._thread
        if thread is not None:
            thread.join(max(0.1, deadline - time.monotonic()))
        if left:
            log.warning("ycan %s: %d queued frames were not sent before the bus shut down", self._name, left)
        return drained

    def _run(self):
        lib = _library.library()
        while True:
            with self._cond:
                self._cond.wait_for(lambda: self._queue or self._closing)
                if not self._queue:
                    return
                # One run of frames of one kind, oldest first.
                kind = type(self._queue[0])
                batch = []
                while self._queue and len(batch) < CALL_LIMIT and type(self._queue[0]) is kind:
                    batch.append(self._queue.popleft())
                self._busy = True
                self._cond.notify_all()  # room for waiting senders
            error = self._send(lib, kind, batch)
            with self._cond:
                self._busy = False
                if error is not None:
                    dropped = len(self._queue)
                    self._queue.clear()
                    log.error("%s%s", error, f"; {dropped} queued frames dropped" if dropped else "")
                    self._error = error
                self._cond.notify_all()

    def _send(self, lib, kind, batch):
        n = len(batch)
        array = (kind * n)(*batch)
        transmit = lib.YCAN_TransmitFD if kind is CanFdObj else lib.YCAN_Transmit
        sent = transmit(*self._key, array, n)
        if sent == n:
            return None
        linked, _ = self._link()
        if linked is False:
            why = "the adapter is unplugged"
        else:
            code, text = _library.last_error()
            why = f"{text} (last error {code})"
        return CanOperationError(f"ycan {self._name}: sending failed after {max(sent, 0)} of {n} frames: {why}")


