"""What this package knows about the adapters: device types, bus timing
tables, and how python-can filters map onto the CAN FD acceptance ranges."""

from collections import namedtuple

Model = namedtuple("Model", "vendor_id product_id types channels kind clock_mhz")

# The adapters libycan drives, by USB id; kind "CAN", "CAN FD" or
# "recorder"; the CAN FD controllers' clock. A copy of the library's model
# table (drivers/common/adapter_models.cpp): tests/test_models.py holds it
# against what `ycan list --models` prints.
MODELS = (
    Model(0x0471, 0x1200, (3, 4), 2, "CAN", 0),
    Model(0x3068, 0x0009, (41, 42, 43), 2, "CAN FD", 60),
    Model(0x0471, 0x3014, (64,), 4, "CAN FD", 60),
    Model(0x0471, 0x2014, (65,), 4, "CAN FD", 60),
    Model(0x0471, 0x2018, (66,), 8, "CAN FD", 80),
    Model(0x0471, 0x3018, (67,), 8, "CAN FD", 80),
    Model(0x0471, 0x2601, (61,), 2, "recorder", 0),
    Model(0x0471, 0x2602, (62,), 2, "recorder", 0),
)


def model_of_type(device_type):
    for m in MODELS:
        if device_type in m.types:
            return m
    return None


# SJA1000 bus timing registers (BTR0, BTR1) of the classic adapters' 16 MHz
# controllers for the usual bit rates.
CLASSIC_BUS_TIMING = {
    1_000_000: (0x00, 0x14),
    800_000: (0x00, 0x16),
    500_000: (0x00, 0x1C),
    250_000: (0x01, 0x1C),
    125_000: (0x03, 0x1C),
    100_000: (0x04, 0x1C),
    50_000: (0x09, 0x1C),
    20_000: (0x18, 0x1C),
    10_000: (0x31, 0x1C),
}

# What the controllers take; the ycan tool checks the same. CAN FD: the
# timing word's fields, at least 4 time quanta a bit, arbitration up to
# 1 Mbit/s, data phase up to 8 Mbit/s. Classic: the SJA1000 at 16 MHz, whose
# time quantum is 2 x (BRP + 1) clock periods.
TimingLimits = namedtuple("TimingLimits", "prescaler_step max_prescaler tseg1 tseg2 max_sjw rates")
FD_ARBITRATION = TimingLimits(1, 1024, (2, 256), (1, 128), 128, (5_000, 1_000_000))
FD_DATA = TimingLimits(1, 1024, (2, 256), (1, 128), 128, (5_000, 8_000_000))
SJA1000 = TimingLimits(2, 128, (1, 16), (1, 8), 4, (5_000, 1_000_000))
SJA1000_CLOCK_HZ = 16_000_000


def unpack_timing_word(word):
    """A CAN FD timing word as (prescaler, sjw, tseg1, tseg2)."""
    return ((word >> 22 & 0x3FF) + 1, (word >> 15 & 0x7F) + 1, (word & 0xFF) + 1, (word >> 8 & 0x7F) + 1)


def unpack_btr(btr0, btr1):
    """SJA1000 bus timing registers as (prescaler, sjw, tseg1, tseg2)."""
    return (2 * ((btr0 & 0x3F) + 1), (btr0 >> 6 & 0x3) + 1, (btr1 & 0xF) + 1, (btr1 >> 4 & 0x7) + 1)


def _rate_text(rate):
    for scale, unit in ((1e6, "Mbit/s"), (1e3, "kbit/s")):
        if rate >= scale:
            return f"{rate / scale:g} {unit}"
    return f"{rate:g} bit/s"


def timing_problem(timing, clock_hz, limits):
    """Why (prescaler, sjw, tseg1, tseg2) is outside the limits at this
    clock; "" when it fits."""
    prescaler, sjw, tseg1, tseg2 = timing
    why = []
    if not (limits.prescaler_step <= prescaler <= limits.max_prescaler and prescaler % limits.prescaler_step == 0):
        why.append(f"prescaler {prescaler} out of range")
    if not limits.tseg1[0] <= tseg1 <= limits.tseg1[1]:
        why.append(f"tseg1 {tseg1} ({limits.tseg1[0]} to {limits.tseg1[1]})")
    if not limits.tseg2[0] <= tseg2 <= limits.tseg2[1]:
        why.append(f"tseg2 {tseg2} ({limits.tseg2[0]} to {limits.tseg2[1]})")
    if not 1 <= sjw <= min(limits.max_sjw, tseg1, tseg2):
        why.append(f"jump width {sjw} (1 to {min(limits.max_sjw, tseg1, tseg2)})")
    rate = clock_hz / (prescaler * (1 + tseg1 + tseg2))
    low, high = limits.rates
    if not low * (1 - 1e-9) <= rate <= high * (1 + 1e-9):
        why.append(f"{_rate_text(rate)} ({_rate_text(low)} to {_rate_text(high)})")
    return ", ".join(why)


STANDARD_MASK = 0x7FF
EXTENDED_MASK = 0x1FFFFFFF

# Lengths a CAN FD frame can have.
FD_LENGTHS = (0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64)


def fd_length(n):
    """The smallest CAN FD frame length that holds n bytes."""
    for length in FD_LENGTHS:
        if length >= n:
            return length
    raise ValueError(f"a CAN FD frame carries at most 64 bytes, not {n}")


def _range(can_id, can_mask, width_mask):
    """The identifiers of one kind that can_id/can_mask passes, as
    (start, end), or None when they do not form one range. Returns False
    when no identifier of that kind passes."""
    if can_id & can_mask & ~width_mask:
        return False  # asks for a bit no identifier of this kind has
    mask = can_mask & width_mask
    free = ~mask & width_mask
    if free & (free + 1):
        return None  # a free bit below a fixed one: not a contiguous range
    start = can_id & mask
    return start, start | free


def acceptance_ranges(filters):
    """python-can filters as acceptance ranges [(extended, start, end), ...]
    passing exactly the frames the filters pass, or None when they cannot be
    written so."""
    ranges = []
    for f in filters:
        kinds = (f["extended"],) if "extended" in f else (False, True)
        for extended in kinds:
            r = _range(f["can_id"], f["can_mask"], EXTENDED_MASK if extended else STANDARD_MASK)
            if r is None:
                return None
            if r is not False:
                ranges.append((bool(extended), r[0], r[1]))
    # Filters that pass nothing at all stay in software: what an enabled
    # filter without ranges does is up to the adapter.
    return ranges or None
