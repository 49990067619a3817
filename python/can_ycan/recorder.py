"""A CAN bus recorder (device types 61 and 62) from Python: its record
settings, filter lists and board values, as `ycan record` handles them. The
recorder carries no frames through the library, so this is no python-can Bus.

    from can_ycan import Recorder
    with Recorder("61:0") as rec:
        s = rec.settings(0)
        rec.set_settings(0, record=True, arbitration_clock_mhz=60, arbitration_timing=0x0000175E)
        rec.clear_filters(0)
        rec.add_filter(0, 0x100, 0x1FF)
        rec.add_filter(0, 0x18FF0000, 0x18FFFFFF, extended=True)
        rec.enable_filters(0)
        print(rec.filters(0))
"""

import ctypes
import dataclasses
import threading

from can.exceptions import CanInitializationError, CanOperationError

from . import _library
from ._library import BoardInfo, FilterConfig, FilterInfo, RecordConfig
from ._settings import EXTENDED_MASK, STANDARD_MASK, model_of_type, unpack_timing_word
from ._usb import in_use_by

CHANNELS = (0, 1)
STANDARD, EXTENDED = 0, 1  # filter kinds


@dataclasses.dataclass(frozen=True)
class RecordSettings:
    """One channel's record settings. Timing words as the CAN FD adapters'
    (`ycan timing` computes and explains them) at the clocks given in MHz."""

    record: bool = False
    arbitration_clock_mhz: int = 0
    arbitration_timing: int = 0
    data_clock_mhz: int = 0
    data_timing: int = 0
    option_a: int = 0
    option_b: int = 0
    tail_flags: tuple = (0, 0)
    tail_bytes: tuple = (0, 0, 0)

    @staticmethod
    def _rate(clock_mhz, word):
        if clock_mhz == 0:
            return None
        prescaler, _, tseg1, tseg2 = unpack_timing_word(word)
        return clock_mhz * 1_000_000 / (prescaler * (1 + tseg1 + tseg2))

    @property
    def arbitration_bitrate(self):
        """Bit/s the arbitration timing gives at its clock (None without a clock)."""
        return self._rate(self.arbitration_clock_mhz, self.arbitration_timing)

    @property
    def data_bitrate(self):
        return self._rate(self.data_clock_mhz, self.data_timing)


@dataclasses.dataclass(frozen=True)
class RecorderFilter:
    first: int
    last: int
    kind: int = STANDARD  # STANDARD (11-bit), EXTENDED (29-bit) or the recorder's own number


def _check_channel(channel):
    if channel not in CHANNELS:
        raise ValueError(f"the recorder has channels 0 and 1, not {channel!r}")


def _bit(name, value):
    if value not in (0, 1, False, True):
        raise ValueError(f"{name} takes 0 or 1, not {value!r}")
    return int(value)


class Recorder:
    """An open recorder: "TYPE:INDEX" (e.g. "61:0") or device_type and index."""

    def __init__(self, adapter="61:0", index=None):
        if index is None:
            try:
                device_type, index = (int(x) for x in str(adapter).split(":"))
            except ValueError:
                raise ValueError(f"expected TYPE:INDEX, e.g. 61:0, not {adapter!r}") from None
        else:
            device_type = int(adapter)
        model = model_of_type(device_type)
        if model is None or model.kind != "recorder":
            raise ValueError(f"device type {device_type} is not a CAN bus recorder (61, 62)")
        self._lib = _library.library()
        self._type, self._index = device_type, index
        self._lock = threading.Lock()  # one exchange at a time: replies are matched by their first bytes
        if self._lib.YCAN_OpenDevice(device_type, index) != 1:
            code, text = _library.last_error()
            busy = in_use_by(device_type, index, (model.vendor_id, model.product_id))
            raise CanInitializationError(busy or f"cannot open ycan recorder {device_type}:{index}: {text}",
                                         error_code=code)
        self._open = True

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        with self._lock:
            if self._open:
                self._lib.YCAN_CloseDevice(self._type, self._index)
                self._open = False

    def _call(self, what, fn, *args):
        with self._lock:
            if not self._open:
                raise CanOperationError(f"recorder {self._type}:{self._index} is closed")
            if fn(self._type, self._index, *args) != 1:
                raise CanOperationError(f"recorder {self._type}:{self._index}: {what}")

    def board_values(self):
        """The three board values the recorder reports: (A, B, C)."""
        info = BoardInfo()
        self._call("no board values", self._lib.YCAN_BoardInfoGet, ctypes.byref(info))
        return info.Version0, info.Version1, info.ChannelNum

    def settings(self, channel):
        _check_channel(channel)
        c = RecordConfig()
        self._call(f"no settings from channel {channel}", self._lib.YCAN_RecordSettingGet, channel, ctypes.byref(c))
        return RecordSettings(bool(c.RecordFlag), c.AbitClock, c.AbitTiming, c.DbitClock, c.DbitTiming,
                              c.OptionA & 1, c.OptionB & 1, (int(bool(c.TailFlag0)), int(bool(c.TailFlag1))),
                              (c.TailByte0, c.TailByte1, c.TailByte2))

    def set_settings(self, channel, settings=None, **changes):
        """Writes `settings` (a RecordSettings; by default what the channel
        holds) with `changes` (its field names) applied, reads them back and
        returns what the recorder holds; CanOperationError when it did not
        take them."""
        _check_channel(channel)
        want = dataclasses.replace(settings or self.settings(channel), **changes)
        for name in ("arbitration_clock_mhz", "data_clock_mhz"):
            if not 0 <= getattr(want, name) <= 255:
                raise ValueError(f"{name} takes MHz from 0 to 255")
        for name in ("arbitration_timing", "data_timing"):
            if not 0 <= getattr(want, name) <= 0xFFFFFFFF:
                raise ValueError(f"{name} is a 32-bit word")
        if len(want.tail_flags) != 2 or len(want.tail_bytes) != 3 or not all(0 <= b <= 255 for b in want.tail_bytes):
            raise ValueError("tail_flags takes two 0/1 values, tail_bytes three bytes")
        want = dataclasses.replace(want, record=bool(want.record), option_a=_bit("option_a", want.option_a),
                                   option_b=_bit("option_b", want.option_b),
                                   tail_flags=tuple(_bit("tail_flags", f) for f in want.tail_flags),
                                   tail_bytes=tuple(want.tail_bytes))
        c = RecordConfig(RecordFlag=int(want.record), OptionB=want.option_b, OptionA=want.option_a,
                         AbitClock=want.arbitration_clock_mhz, DbitClock=want.data_clock_mhz,
                         AbitTiming=want.arbitration_timing, DbitTiming=want.data_timing,
                         TailFlag0=want.tail_flags[0], TailFlag1=want.tail_flags[1], TailByte0=want.tail_bytes[0],
                         TailByte1=want.tail_bytes[1], TailByte2=want.tail_bytes[2])
        self._call(f"the recorder did not take the settings of channel {channel}", self._lib.YCAN_RecordSettingSet,
                   channel, ctypes.byref(c))
        held = self.settings(channel)
        if held != want:
            raise CanOperationError(f"channel {channel} holds {held}, not {want}")
        return held

    def filters(self, channel):
        """(filtering on, [RecorderFilter, ...]) of the channel."""
        _check_channel(channel)
        info = FilterInfo()
        self._call(f"no filter summary from channel {channel}", self._lib.YCAN_RecordFliterInfoGet, channel,
                   ctypes.byref(info))
        entries = []
        for k in range(info.FilterCount):
            entry = FilterConfig()
            self._call(f"no filter entry {k} from channel {channel}", self._lib.YCAN_RecordFliterSettingGet, channel,
                       k, ctypes.byref(entry))
            entries.append(RecorderFilter(entry.StartId, entry.EndId, entry.FilterKind))
        return bool(info.FilterState), entries

    def add_filter(self, channel, first, last=None, extended=False):
        """Adds identifiers first..last (one when last is None) to the
        channel's filter list, standard (11-bit) or extended (29-bit)."""
        _check_channel(channel)
        last = first if last is None else last
        widest = EXTENDED_MASK if extended else STANDARD_MASK
        if not 0 <= first <= last:
            raise ValueError(f"the range {first:X}-{last:X} runs backwards")
        if last > widest:
            raise ValueError(f"identifier {last:X} is too wide for a {'extended' if extended else 'standard'} filter")
        entry = FilterConfig(FilterKind=EXTENDED if extended else STANDARD, StartId=first, EndId=last)
        self._call(f"the recorder did not take filter {first:X}-{last:X} on channel {channel}",
                   self._lib.YCAN_RecordFliterAdd, channel, ctypes.byref(entry))

    def clear_filters(self, channel):
        _check_channel(channel)
        self._call(f"the recorder did not clear the filter list of channel {channel}", self._lib.YCAN_RecordFliterClr,
                   channel)

    def enable_filters(self, channel):
        _check_channel(channel)
        self._call(f"the recorder did not enable filtering on channel {channel}", self._lib.YCAN_RecordFliterEnable,
                   channel)

    def disable_filters(self, channel):
        _check_channel(channel)
        self._call(f"the recorder did not disable filtering on channel {channel}", self._lib.YCAN_RecordFliterDisable,
                   channel)
