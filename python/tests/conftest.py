"""Tests of the python-can interface against virtual adapters.

Run under ``ycan-virtual --canfd 43 --classic 1 --recorder 61 --control`` (tests/run.sh
does it): a CAN FD adapter 43:0 and a classic adapter 4:0, whose buses the
tests play through the control socket.
"""

import pytest

import can
from can_ycan.virtual import VirtualBus

FD_CHANNEL = "43:0:0"
CLASSIC_CHANNEL = "4:0:1"


@pytest.fixture(scope="session")
def other_end():
    try:
        end = VirtualBus()
    except Exception as e:  # noqa: BLE001 - any reason means the tests cannot run
        pytest.fail(f"these tests run under ycan-virtual --control: {e}")
    yield end
    end.close()


def _open(other_end, channel, **kwargs):
    bus = can.Bus(interface="ycan", channel=channel, **kwargs)
    other_end.sent(channel)  # forget what earlier tests sent
    return bus


@pytest.fixture
def fd_bus(other_end):
    bus = _open(other_end, FD_CHANNEL, bitrate=1_000_000, data_bitrate=5_000_000, fd=True)
    yield bus
    bus.shutdown()


@pytest.fixture
def classic_bus(other_end):
    bus = _open(other_end, CLASSIC_CHANNEL, bitrate=250_000)
    yield bus
    bus.shutdown()


def receive_all(bus, count, timeout=2.0):
    """count frames from bus, failing when they do not come."""
    frames = []
    for _ in range(count):
        msg = bus.recv(timeout)
        assert msg is not None, f"only {len(frames)} of {count} frames arrived: {frames}"
        frames.append(msg)
    return frames


def same_frame(a, b):
    """Equal as frames on the bus (ignoring time stamps and direction)."""
    return (
        a.arbitration_id == b.arbitration_id
        and a.is_extended_id == b.is_extended_id
        and a.is_remote_frame == b.is_remote_frame
        and a.is_fd == b.is_fd
        and (not a.is_fd or a.bitrate_switch == b.bitrate_switch)
        and (a.is_remote_frame or bytes(a.data) == bytes(b.data))
        and (not a.is_remote_frame or a.dlc == b.dlc)
    )
