"""set_filters: on the CAN FD adapter's acceptance ranges where they can say
it, in software otherwise; the frames received are the same either way."""

import time

import pytest

import can
from can_ycan._settings import acceptance_ranges
from conftest import CLASSIC_CHANNEL, FD_CHANNEL, receive_all

MIXED = ["120#01", "12F#02", "130#03", "00000125#04", "11F#05", "1ABCDE42#06", "1ABCDF00#07", "125##1AA"]


def received_ids(bus, count):
    ids = [m.arbitration_id for m in receive_all(bus, count)]
    assert bus.recv(0.1) is None, "a frame the filter should have stopped arrived"
    return sorted(ids)


@pytest.mark.parametrize(
    "filters, ranges",
    [
        ([{"can_id": 0x123, "can_mask": 0x7FF, "extended": False}], [(False, 0x123, 0x123)]),
        ([{"can_id": 0x12345678, "can_mask": 0x1FFFFF00, "extended": True}], [(True, 0x12345600, 0x123456FF)]),
        # Without "extended" a filter applies to both kinds of identifier.
        ([{"can_id": 0x120, "can_mask": 0x1FFFFFF0}], [(False, 0x120, 0x12F), (True, 0x120, 0x12F)]),
        # Bits an 11-bit identifier does not have: passes no standard frame.
        ([{"can_id": 0x10000120, "can_mask": 0x1FFFFFF0}], [(True, 0x10000120, 0x1000012F)]),
        ([{"can_id": 0x0, "can_mask": 0x0, "extended": False}], [(False, 0x0, 0x7FF)]),
        # Not one range each: 0x70F leaves bits 4-7 free below fixed ones.
        ([{"can_id": 0x123, "can_mask": 0x70F, "extended": False}], None),
        ([{"can_id": 0x123, "can_mask": 0x7FF}], None),
        ([{"can_id": 0x800, "can_mask": 0x800, "extended": False}], None),
    ],
)
def test_filters_become_acceptance_ranges_only_when_they_say_the_same(filters, ranges):
    assert acceptance_ranges(filters) == ranges


def test_a_range_filter_goes_to_the_adapter(fd_bus, other_end):
    fd_bus.set_filters([{"can_id": 0x120, "can_mask": 0x7F0, "extended": False},
                        {"can_id": 0x1ABCDE00, "can_mask": 0x1FFFFF00, "extended": True}])
    state = other_end.state(FD_CHANNEL)
    assert state["filter"] == "on" and state["ranges"] == ["std:120-12F", "ext:1ABCDE00-1ABCDEFF"]
    other_end.inject(FD_CHANNEL, *MIXED)
    assert received_ids(fd_bus, 4) == [0x120, 0x125, 0x12F, 0x1ABCDE42]
    # The adapter kept the others to itself.
    fd_bus.set_filters(None)
    assert other_end.state(FD_CHANNEL)["filter"] == "off"
    assert fd_bus.recv(0.1) is None


def test_filters_the_adapter_cannot_hold_are_applied_in_software(fd_bus, classic_bus, other_end):
    odd = [{"can_id": 0x105, "can_mask": 0x70F, "extended": False}]  # 0x1?5 for any ?
    fd_bus.set_filters(odd)
    assert other_end.state(FD_CHANNEL)["filter"] == "off"
    other_end.inject(FD_CHANNEL, "105#01", "1F5#02", "106#03", "00000105#04", "125##1AA")
    assert received_ids(fd_bus, 3) == [0x105, 0x125, 0x1F5]
    # Classic adapters have no acceptance ranges: always in software.
    classic_bus.set_filters([{"can_id": 0x555, "can_mask": 0x7FF, "extended": False}])
    other_end.inject(CLASSIC_CHANNEL, "554#01", "555#02", "00000555#03")
    assert received_ids(classic_bus, 1) == [0x555]


def test_frames_queued_before_a_filter_are_filtered_too(fd_bus, other_end):
    other_end.inject(FD_CHANNEL, "200#01", "201#02", "120#03")
    time.sleep(0.3)  # received and waiting for the application
    fd_bus.set_filters([{"can_id": 0x120, "can_mask": 0x7FF, "extended": False}])
    assert received_ids(fd_bus, 1) == [0x120]


def test_filters_given_when_opening(other_end):
    with can.Bus(interface="ycan", channel=FD_CHANNEL, fd=True,
                 can_filters=[{"can_id": 0x300, "can_mask": 0x7FF, "extended": False}]) as bus:
        assert other_end.state(FD_CHANNEL)["ranges"] == ["std:300-300"]
        other_end.inject(FD_CHANNEL, "301#01", "300#02")
        assert received_ids(bus, 1) == [0x300]
