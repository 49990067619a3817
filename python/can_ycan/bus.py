"""YcanBus: python-can's bus over a channel of a YCAN adapter."""

import collections
import ctypes
import logging
import re
import threading

import can
from can.bus import BusState
from can.exceptions import CanInitializationError, CanOperationError

from . import _library
from ._adapters import Adapter
from ._usb import attached_ids
from ._frames import to_record
from ._library import FilterConfig, InitConfig, InitFdConfig
from ._writer import Writer
from ._settings import (
    CLASSIC_BUS_TIMING,
    FD_ARBITRATION,
    FD_DATA,
    MODELS,
    SJA1000,
    SJA1000_CLOCK_HZ,
    acceptance_ranges,
    model_of_type,
    timing_problem,
    unpack_btr,
    unpack_timing_word,
)

log = logging.getLogger("can.ycan")

# How long shutdown() lets the writer send what is queued.
SHUTDOWN_DRAIN_S = 2.0


_PORT_PATH = re.compile(r"[1-9][0-9]*-[1-9][0-9]*(\.[1-9][0-9]*)*")


def parse_channel(channel):
    """"TYPE:INDEX:CH" as three numbers; "TYPE@PORT:CH" and "TYPE#SERIAL:CH"
    as (type, ("port", PORT) or ("serial", SERIAL), channel)."""
    text = str(channel)
    wrong = ValueError(f'a ycan channel is "TYPE:INDEX:CH", "TYPE@PORT:CH" or "TYPE#SERIAL:CH", e.g. "43:0:0", '
                       f'"43@1-2.3:0", "43#0123ABCD:0", not {channel!r}')
    head = re.match(r"([0-9]+)([:@#])(.*):([0-9]+)$", text)
    if head is None:
        raise wrong
    device_type, mark, place, number = int(head.group(1)), head.group(2), head.group(3), int(head.group(4))
    if mark == ":":
        if not place.isdigit():
            raise wrong
        return device_type, int(place), number
    if mark == "@":
        if not _PORT_PATH.fullmatch(place):
            raise ValueError(f'{place!r} is not a USB port path: BUS-PORT[.PORT...] as "ycan list" shows it, '
                             f'e.g. "1-2.3"')
        return device_type, ("port", place), number
    if not place or any(c.isspace() for c in place):
        raise wrong
    return device_type, ("serial", place), number


class YcanBus(can.BusABC):
    """A channel of a YCAN USB-to-CAN adapter, through libycan.

    Frames are received in the order the adapter delivered them, classic and
    CAN FD alike, time-stamped with the host's clock when they came over USB.
    ``fileno()`` is the library's event descriptor for select, poll and
    asyncio (readable while frames wait on any channel of the adapter).
    ``send()`` queues the frame and returns; a writer hands what waits to the
    adapter in one call. ``state`` is ``BusState.ERROR`` while the adapter is
    unplugged (the library restores it when it is back).

    :param channel: "TYPE:INDEX:CH": the library's device type code (3, 4
        classic; 41-43, 64-67 CAN FD), the adapter's index among the
        attached adapters of that type, and the channel from 0.
    :param bitrate: bus (CAN FD: arbitration phase) bit rate in bit/s.
    :param data_bitrate: CAN FD data phase bit rate (default: bitrate).
    :param fd: CAN FD adapters: send and receive CAN FD frames with their own
        data phase timing; without it the data phase runs at the
        arbitration timing.
    :param btr0, btr1: classic adapters: SJA1000 bus timing registers for a
        bit rate without an entry in the built-in table.
    :param abit_timing, dbit_timing: CAN FD adapters: raw timing words
        (prescaler-1 << 22 | sjw-1 << 15 | tseg2-1 << 8 | tseg1-1, at the
        adapter's CAN clock) instead of bitrate and data_bitrate.
    :param timing: a can.BitTiming (python-can makes one of btr0/btr1 given
        to can.Bus): the classic bus timing registers, or a CAN FD adapter's
        arbitration timing (its f_clock, when given, must be the adapter's).
    """

    def __init__(
        self,
        channel,
        can_filters=None,
        bitrate=500_000,
        data_bitrate=None,
        fd=False,
        btr0=None,
        btr1=None,
        abit_timing=None,
        dbit_timing=None,
        timing=None,
        **kwargs,
    ):
        self._ch = None
        self._writer = None
        self._linked = True  # as last seen
        self._shut = threading.Lock()
        self._warn_about_options(kwargs)
        self._hw_filtered = False
        device_type, index, number = parse_channel(channel)
        model = model_of_type(device_type)
        if model is None:
            raise CanInitializationError(f"no ycan adapter has device type {device_type}")
        if model.kind == "recorder":
            raise CanInitializationError(f"device type {device_type} is a CAN bus recorder, which carries no frames")
        if number >= model.channels:
            raise ValueError(f"a device of type {device_type} has channels 0 to {model.channels - 1}, not {number}")
        self._type, self._number = device_type, number
        self._fd_adapter = model.kind == "CAN FD"
        if fd and not self._fd_adapter:
            raise CanInitializationError(f"fd=True needs a CAN FD adapter; device type {device_type} is classic CAN")
        self.fd = bool(fd)
        if isinstance(index, int):
            named = f"{device_type}:{index}"
        else:
            named = f"{device_type}{'@' if index[0] == 'port' else '#'}{index[1]}"
        self._ch = Adapter.attach(device_type, index, number, self, self._fd_adapter)
        index = self._index = self._ch.adapter.index
        self.channel = f"{named}:{number}"
        self.channel_info = f"ycan {model.kind} adapter {named}, channel {number}"
        try:
            if self._fd_adapter:
                if timing is not None and abit_timing is None:
                    abit_timing = self._timing_word(timing, model.clock_mhz)
                self._init_fd(bitrate, data_bitrate, abit_timing, dbit_timing)
            else:
                if timing is not None and btr0 is None:
                    btr0, btr1 = timing.btr0, timing.btr1
                self._init_classic(bitrate, btr0, btr1)
            self._writer = Writer(device_type, index, number, self.channel, self._ch.link)
            super().__init__(channel=self.channel, can_filters=can_filters, **kwargs)
        except BaseException:
            Adapter.detach(self._ch)
            raise

    # ---- set-up ------------------------------------------------------------

    # Options python-can's own BusABC takes.
    _BUS_OPTIONS = frozenset(("state",))

    @classmethod
    def _warn_about_options(cls, kwargs):
        """python-can hands every configuration key to the interface: one it
        does not know (misspelt, or another interface's) or cannot honour
        would vanish without a trace. Each is said once and dropped."""
        for key in sorted(kwargs):
            if key in cls._BUS_OPTIONS:
                continue
            value = kwargs.pop(key)
            if key == "receive_own_messages":
                if value:
                    log.warning("ycan: receive_own_messages=%r is not supported: the adapters do not report the "
                                "frames they send", value)
                continue
            log.warning("ycan: unknown option %s=%r ignored; the options are channel, bitrate, data_bitrate, fd, "
                        "can_filters, btr0, btr1, abit_timing, dbit_timing and timing", key, value)

    def _fail(self, what, error=CanInitializationError):
        code, text = _library.last_error()
        return error(f"ycan {self.channel}: {what}: {text} (last error {code})", error_code=code)

    @staticmethod
    def _timing_word(timing, clock_mhz):
        # BitTiming.f_clock raises when no clock was given; the clock is
        # optional here (the adapter's is known), hence the field itself.
        if timing._f_clock and timing._f_clock != clock_mhz * 1_000_000:
            raise ValueError(f"the adapter's CAN clock is {clock_mhz} MHz, not {timing._f_clock / 1e6:g} MHz")
        fields = ((timing.brp, 1024, "brp"), (timing.sjw, 128, "sjw"), (timing.tseg2, 128, "tseg2"),
                  (timing.tseg1, 256, "tseg1"))
        for value, top, name in fields:
            if not 1 <= value <= top:
                raise ValueError(f"{name} {value} is out of the adapter's range 1-{top}")
        return (timing.brp - 1) << 22 | (timing.sjw - 1) << 15 | (timing.tseg2 - 1) << 8 | (timing.tseg1 - 1)

    def _check_word(self, name, word, limits):
        if not 0 <= word <= 0xFFFFFFFF:
            raise ValueError(f"{name} is a 32-bit timing word, not {word}")
        clock_mhz = model_of_type(self._type).clock_mhz
        problem = timing_problem(unpack_timing_word(word), clock_mhz * 1_000_000, limits)
        if problem:
            raise ValueError(f"{name} 0x{word:08X} is outside the controller's range at {clock_mhz} MHz: {problem}")

    def _init_classic(self, bitrate, btr0, btr1):
        if (btr0 is None) != (btr1 is None):
            raise ValueError("btr0 and btr1 go together")
        if btr0 is not None:
            if not (0 <= btr0 <= 0xFF and 0 <= btr1 <= 0xFF):
                raise ValueError(f"btr0 and btr1 are bytes, not {btr0}, {btr1}")
            problem = timing_problem(unpack_btr(btr0, btr1), SJA1000_CLOCK_HZ, SJA1000)
            if problem:
                raise ValueError(f"btr0, btr1 0x{btr0:02X}, 0x{btr1:02X} are outside the controller's range: {problem}")
        if btr0 is None:
            if bitrate not in CLASSIC_BUS_TIMING:
                rates = ", ".join(str(r) for r in sorted(CLASSIC_BUS_TIMING))
                raise CanInitializationError(
                    f"no bus timing for {bitrate} bit/s on a classic adapter (have {rates}); give btr0 and btr1"
                )
            btr0, btr1 = CLASSIC_BUS_TIMING[bitrate]
        config = InitConfig(AcceptCode=0, AcceptMask=0xFFFFFFFF, FilterType=1, BusTiming0=btr0, BusTiming1=btr1)
        if _library.library().YCAN_InitCAN(self._type, self._index, self._number, ctypes.byref(config)) != 1:
            raise self._fail("cannot set up the channel")

    def _init_fd(self, bitrate, data_bitrate, abit_timing, dbit_timing):
        config = InitFdConfig(FdEnable=1 if self.fd else 0)
        if abit_timing is not None:
            self._check_word("abit_timing", abit_timing, FD_ARBITRATION)
            if dbit_timing is not None:
                self._check_word("dbit_timing", dbit_timing, FD_DATA)
            # Rates 0 select the timing words.
            config.AbitTiming = abit_timing
            config.DbitTiming = abit_timing if dbit_timing is None else dbit_timing
        else:
            if dbit_timing is not None:
                raise ValueError("dbit_timing goes with abit_timing")
            config.AbitBaudRate = bitrate
            config.DbitBaudRate = bitrate if data_bitrate is None else data_bitrate
        if _library.library().YCAN_InitCANFD(self._type, self._index, self._number, ctypes.byref(config)) != 1:
            raise self._fail("cannot set up the channel")

    # ---- filters -----------------------------------------------------------

    def _apply_filters(self, filters):
        """Filters the CAN FD adapters' acceptance ranges can express go to
        the adapter, so frames nobody wants never cross USB; the rest are
        applied here, on each frame received."""
        self._hw_filtered = False
        if self._ch is None or not self._fd_adapter:
            return
        lib = _library.library()

        def op(**fields):
            config = FilterConfig(**fields)
            return lib.YCAN_SetFliter(self._type, self._index, self._number, ctypes.byref(config)) == 1

        ranges = acceptance_ranges(filters) if filters else None
        ok = op(FilterOp=0)
        if ranges is None:
            if not ok:
                log.warning("%s", self._fail("cannot clear the acceptance filter", CanOperationError))
            return
        for extended, start, end in ranges:
            ok = ok and op(FilterOp=1, FilterMode=1 if extended else 0, StartId=start, EndId=end)
        ok = ok and op(FilterOp=2)
        if not ok:
            log.warning("%s; filtering in software", self._fail("the adapter refused the filter", CanOperationError))
            op(FilterOp=0)
            return
        self._hw_filtered = True

    # ---- traffic -----------------------------------------------------------

    def _recv_internal(self, timeout):
        ch = self._ch
        if ch is None:
            raise CanOperationError("the ycan bus is shut down")
        msg = ch.take(self, timeout)
        if msg is None:
            return None, False
        # Frames the adapter's filter passed; frames queued before the
        # filter was set are checked by python-can.
        return msg, self._hw_filtered and self._matches_filters(msg)

    def _watch_link(self):
        """Whether the adapter is linked (None once closed); a change since
        the last look is logged."""
        ch = self._ch
        if ch is None:
            return None
        linked, losses = ch.link()
        if linked is not None and linked != self._linked:
            self._linked = linked
            if linked:
                log.warning("ycan %s: the adapter is back (its link was lost %d times since it was opened)",
                            self.channel, losses)
            else:
                log.warning("ycan %s: the adapter is unplugged; waiting for it to return", self.channel)
        return linked

    @property
    def state(self):
        """BusState.ERROR while the adapter is unplugged, else ACTIVE."""
        return BusState.ERROR if self._watch_link() is False else BusState.ACTIVE

    @state.setter
    def state(self, new_state):
        raise NotImplementedError("the ycan adapters' channels are always active")

    def fileno(self):
        """The adapter's event descriptor, owned by the library: readable while
        frames wait on any channel of the adapter or its link changed; -1 once
        the bus is shut down."""
        ch = self._ch
        return -1 if ch is None else ch.event_fd()

    def send(self, msg, timeout=None):
        """Queues one frame for the adapter and returns; frames go out in the
        order sent. With the queue full, waits up to `timeout` seconds for
        room (None: as long as it takes) and raises CanTimeoutError. Raises
        CanOperationError while the adapter is unplugged, and for a failure
        the adapter reported for frames sent earlier."""
        ch = self._ch
        if ch is None or ch.owner is not self:
            raise CanOperationError("the ycan bus is shut down")
        record = to_record(msg, self.fd)
        if self._watch_link() is False:
            raise CanOperationError(f"ycan {self.channel}: the adapter is unplugged; nothing can be sent until it "
                                    "is back")
        self._writer.put(record, timeout)

    def flush_tx_buffer(self):
        """Discards the frames queued and not yet handed to the adapter."""
        if self._writer is not None:
            self._writer.flush()

    def shutdown(self):
        """Sends what is queued (for at most 2 s), stops the channel, and
        closes the adapter unless another bus of this process uses it. A
        thread waiting in recv() gets CanOperationError."""
        with self._shut:
            ch, self._ch = self._ch, None
            writer, self._writer = self._writer, None
        if writer is not None:
            writer.close(SHUTDOWN_DRAIN_S)
        if ch is not None:
            Adapter.detach(ch)
        super().shutdown()

    @staticmethod
    def _detect_available_configs():
        """Every channel of the attached CAN and CAN FD adapters."""
        configs = []
        seen = collections.Counter()
        for ids in attached_ids():
            model = next((m for m in MODELS if (m.vendor_id, m.product_id) == ids), None)
            if model is None:
                continue
            index = seen[ids]
            seen[ids] += 1
            if model.kind == "recorder":
                continue
            for ch in range(model.channels):
                configs.append({"interface": "ycan", "channel": f"{model.types[-1]}:{index}:{ch}"})
        return configs
