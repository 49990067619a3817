"""Adapters named by what stays: the USB port path ("43@1-2.3:0") or the
serial number ("43#YV43-1:0"), as `ycan list` shows them."""

import os
import re
import subprocess

import pytest
from can.exceptions import CanInitializationError

import can
from can_ycan.bus import parse_channel
from conftest import FD_CHANNEL, receive_all


def listed(serial):
    """(TYPE:INDEX, port) of the adapter `ycan list` shows with this serial number."""
    out = subprocess.run([os.environ["YCAN_TOOL"], "list"], capture_output=True, text=True, check=True).stdout
    m = re.search(rf"^(\d+:\d+) +(\d+-[\d.]+) .* {re.escape(serial)} ", out, re.M)
    assert m, out
    return m.group(1), m.group(2)


def test_by_serial_and_by_port_is_the_adapter_listed_there(other_end):
    name, port = listed("YV43-1")
    assert name == "43:0"
    with can.Bus(interface="ycan", channel="43#YV43-1:0", bitrate=1_000_000, data_bitrate=5_000_000,
                 fd=True) as by_serial:
        assert by_serial.channel == "43#YV43-1:0"
        assert by_serial.channel_info == "ycan CAN FD adapter 43#YV43-1, channel 0"
        other_end.inject(FD_CHANNEL, "123#11")
        assert [m.arbitration_id for m in receive_all(by_serial, 1)] == [0x123]
        # The other channel, named by the port: the same adapter, shared in
        # this program as any two channels of one adapter are.
        with can.Bus(interface="ycan", channel=f"43@{port}:1", bitrate=1_000_000, data_bitrate=5_000_000,
                     fd=True) as by_port:
            assert by_port.channel == f"43@{port}:1"
            other_end.inject("43:0:1", "124#22")
            assert [m.arbitration_id for m in receive_all(by_port, 1)] == [0x124]
            by_port.send(can.Message(arbitration_id=0x125, data=b"\x33", is_extended_id=False))
            sent = other_end.sent("43:0:1", 1, 5.0)
            assert [m.arbitration_id for m in sent] == [0x125]


def test_names_that_name_nothing_are_refused():
    with pytest.raises(CanInitializationError, match=r"43#NO-SUCH:0|43#NO-SUCH: no such adapter is attached"):
        can.Bus(interface="ycan", channel="43#NO-SUCH:0")
    with pytest.raises(CanInitializationError, match="no such adapter is attached"):
        can.Bus(interface="ycan", channel="43@9-9:0")
    for wrong in ("43@1-x:0", "43@1-2", "43#:0", "43:a:0"):
        with pytest.raises(ValueError):
            parse_channel(wrong)
    assert parse_channel("43#AB:CD:1") == (43, ("serial", "AB:CD"), 1)
    assert parse_channel("66@3-1.4.2:7") == (66, ("port", "3-1.4.2"), 7)
