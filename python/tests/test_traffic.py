"""Frames both ways through can.Bus(interface="ycan"), on CAN FD and classic
adapters, and how the channels are set up."""

import logging
import os
import subprocess
import time

import pytest

import can
from can_ycan import YcanBus
from conftest import CLASSIC_CHANNEL, FD_CHANNEL, receive_all, same_frame


def msg(ident, data=b"", **kw):
    return can.Message(arbitration_id=ident, data=data, is_extended_id=ident > 0x7FF, **kw)


def test_the_entry_point_opens_a_ycan_bus_with_the_bit_rates_asked_for(fd_bus, other_end):
    assert isinstance(fd_bus, YcanBus)
    assert fd_bus.channel_info == "ycan CAN FD adapter 43:0, channel 0"
    state = other_end.state(FD_CHANNEL)
    assert (state["started"], state["abit"], state["dbit"]) == ("1", "1000000", "5000000")


def test_fd_adapter_receives_classic_and_fd_frames(fd_bus, other_end):
    classic = [msg(0x123, b"\x11\x22"), msg(0x1ABCDEF0, bytes(range(8))),
               can.Message(arbitration_id=0x7FF, is_extended_id=False, is_remote_frame=True, dlc=4)]
    fd = [msg(0x100, bytes(range(64)), is_fd=True, bitrate_switch=True),
          msg(0x12345678, b"\xAA" * 12, is_fd=True), msg(0x101, b"", is_fd=True)]
    other_end.inject(FD_CHANNEL, *(classic + fd))
    got = receive_all(fd_bus, 6)
    assert all(same_frame(a, b) for a, b in zip(classic + fd, got))
    got_classic, got_fd = got[:3], got[3:]
    assert got_fd[0].bitrate_switch and not got_fd[1].bitrate_switch
    assert got_fd[0].dlc == 64 and got_classic[2].dlc == 4
    assert all(m.is_rx and m.channel == FD_CHANNEL for m in got)
    assert all(abs(m.timestamp - time.time()) < 5 for m in got)
    assert fd_bus.recv(0.05) is None


def test_fd_adapter_sends_what_it_is_given(fd_bus, other_end):
    frames = [msg(0x321, b"\x01\x02\x03"), msg(0x1FFFFFFF, b""),
              # The CAN FD adapters' records carry no length for remote frames.
              can.Message(arbitration_id=0x42, is_extended_id=False, is_remote_frame=True, dlc=0),
              msg(0x1ABCDEF, bytes(range(48)), is_fd=True, bitrate_switch=True),
              msg(0x7FF, b"\x55" * 8, is_fd=True, error_state_indicator=True)]
    for f in frames:
        fd_bus.send(f)
    sent = other_end.sent(FD_CHANNEL, count=5, timeout=2.0)
    assert len(sent) == 5
    for a, b in zip(frames, sent):
        assert same_frame(a, b), (a, b)
    assert sent[4].error_state_indicator and not sent[3].error_state_indicator


def test_fd_data_is_padded_to_a_length_can_fd_has(fd_bus, other_end):
    fd_bus.send(msg(0x10, bytes(range(1, 11)), is_fd=True))
    (sent,) = other_end.sent(FD_CHANNEL, count=1, timeout=2.0)
    assert bytes(sent.data) == bytes(range(1, 11)) + b"\0\0"


def test_frames_the_bus_cannot_carry_are_refused_before_they_reach_the_adapter(other_end):
    with can.Bus(interface="ycan", channel=FD_CHANNEL, bitrate=500_000) as bus:  # fd not asked for
        with pytest.raises(ValueError):
            bus.send(msg(0x1, b"\x01", is_fd=True))
        with pytest.raises(ValueError):
            bus.send(can.Message(arbitration_id=0x800, is_extended_id=False, data=b""))
        with pytest.raises(ValueError):
            bus.send(msg(0x1, bytes(9)))
        with pytest.raises(ValueError):
            bus.send(can.Message(arbitration_id=0x1, is_error_frame=True))
    assert other_end.sent(FD_CHANNEL, count=0) == []


def test_raw_timing_words_reach_the_adapter(other_end):
    # 1 Mbit/s and 5 Mbit/s at the adapter's 60 MHz clock.
    with can.Bus(interface="ycan", channel=FD_CHANNEL, fd=True, abit_timing=0x01400106, dbit_timing=0x00800001):
        state = other_end.state(FD_CHANNEL)
        assert (state["abit"], state["dbit"]) == ("1000000", "5000000")
    # The same arbitration timing as python-can's BitTiming; without fd the
    # data phase runs at it too.
    with can.Bus(interface="ycan", channel=FD_CHANNEL,
                 timing=can.BitTiming(f_clock=60_000_000, brp=6, tseg1=7, tseg2=2, sjw=1)):
        state = other_end.state(FD_CHANNEL)
        assert (state["abit"], state["dbit"]) == ("1000000", "1000000")
    with pytest.raises(ValueError, match="60 MHz"):
        can.Bus(interface="ycan", channel=FD_CHANNEL,
                timing=can.BitTiming(f_clock=80_000_000, brp=8, tseg1=7, tseg2=2, sjw=1))


def test_classic_adapter_frames_both_ways(classic_bus, other_end):
    state = other_end.state(CLASSIC_CHANNEL)
    assert (state["started"], state["btr"]) == ("1", "01,1C")
    incoming = [msg(0x555, b"\xDE\xAD"), msg(0x1FFFFFFF, b"\x01" * 8),
                can.Message(arbitration_id=0x12, is_extended_id=False, is_remote_frame=True, dlc=3)]
    other_end.inject(CLASSIC_CHANNEL, *incoming)
    got = receive_all(classic_bus, 3)
    assert all(same_frame(a, b) for a, b in zip(incoming, got))
    assert all(not m.is_fd for m in got)
    outgoing = [msg(0x7, b"hi"), msg(0x18FF50E5, b"\x00\xFF"),
                can.Message(arbitration_id=0x700, is_extended_id=False, is_remote_frame=True, dlc=8)]
    for m in outgoing:
        classic_bus.send(m)
    sent = other_end.sent(CLASSIC_CHANNEL, count=3, timeout=2.0)
    assert len(sent) == 3 and all(same_frame(a, b) for a, b in zip(outgoing, sent))


def test_classic_bus_timing_from_the_table_or_given(other_end):
    with can.Bus(interface="ycan", channel=CLASSIC_CHANNEL, bitrate=1_000_000):
        assert other_end.state(CLASSIC_CHANNEL)["btr"] == "00,14"
    # python-can hands btr0/btr1 over as a can.BitTiming.
    with can.Bus(interface="ycan", channel=CLASSIC_CHANNEL, bitrate=33_333, btr0=0x43, btr1=0x2F):
        assert other_end.state(CLASSIC_CHANNEL)["btr"] == "43,2F"
    with can.Bus(interface="ycan", channel=CLASSIC_CHANNEL,
                 timing=can.BitTiming(f_clock=8_000_000, brp=2, tseg1=13, tseg2=2, sjw=1)):
        assert other_end.state(CLASSIC_CHANNEL)["btr"] == "01,1C"
    with YcanBus(CLASSIC_CHANNEL, btr0=0x03, btr1=0x1C):
        assert other_end.state(CLASSIC_CHANNEL)["btr"] == "03,1C"
    with pytest.raises(can.CanInitializationError, match="no bus timing for 33333"):
        can.Bus(interface="ycan", channel=CLASSIC_CHANNEL, bitrate=33_333)
    with pytest.raises(can.CanInitializationError, match="CAN FD adapter"):
        can.Bus(interface="ycan", channel=CLASSIC_CHANNEL, fd=True)


def test_channels_of_one_adapter_are_separate_buses(other_end):
    with can.Bus(interface="ycan", channel="43:0:0", fd=True) as a, \
         can.Bus(interface="ycan", channel="43:0:1", fd=True) as b:
        other_end.inject("43:0:1", msg(0x201, b"\x01"))
        other_end.inject("43:0:0", msg(0x200, b"\x00"))
        assert a.recv(2.0).arbitration_id == 0x200
        assert b.recv(2.0).arbitration_id == 0x201
        a.shutdown()
        # The adapter stays open for the other channel.
        other_end.inject("43:0:1", msg(0x202, b"\x02"))
        assert b.recv(2.0).arbitration_id == 0x202
        b.send(msg(0x203, b"\x03"))
        assert [m.arbitration_id for m in other_end.sent("43:0:1", count=1, timeout=2.0)] == [0x203]


def test_the_bus_carries_on_after_the_adapter_is_plugged_back_in(fd_bus, other_end):
    starts = int(other_end.state(FD_CHANNEL)["starts"])
    other_end.unplug("43:0")
    time.sleep(0.3)
    other_end.replug("43:0")
    # The library restores the channel on the adapter that came back.
    deadline = time.monotonic() + 5
    while int(other_end.state(FD_CHANNEL)["starts"]) == starts and time.monotonic() < deadline:
        time.sleep(0.05)
    other_end.inject(FD_CHANNEL, msg(0x1, b"\x01", is_fd=True))
    assert same_frame(fd_bus.recv(2.0), msg(0x1, b"\x01", is_fd=True))
    fd_bus.send(msg(0x2, b"\x02"))
    assert len(other_end.sent(FD_CHANNEL, count=1, timeout=2.0)) == 1


def test_available_configs_name_every_channel_of_the_attached_adapters():
    channels = {c["channel"] for c in can.detect_available_configs(interfaces=["ycan"])}
    assert channels == {"4:0:0", "4:0:1", "43:0:0", "43:0:1"}


def test_the_virtual_bus_refuses_what_it_cannot_do(other_end):
    from can_ycan.virtual import VirtualBusError

    for request, why in [
        ("inject 66:0:0 123#00", "no adapter 66:0"),
        ("inject 43:1:0 123#00", "no adapter 43:1"),
        ("inject 43:0:2 123#00", "no channel 2"),
        ("inject 4:0:0 123##100", "classic adapter carries no CAN FD frames"),
        ("inject 43:0:0 12#00", "identifier must be"),
        ("state 43:0", "expected state TYPE:INDEX:CH"),
        ("unplug 43:0:0", "expected unplug TYPE:INDEX"),
        ("bounce 43:0:0", "unknown request"),
    ]:
        with pytest.raises(VirtualBusError, match=why):
            other_end.request(request)
    # Nothing of a refused request reached the bus.
    assert other_end.request("inject 43:0:0") == ["0"]


def test_timing_outside_the_controllers_range_is_refused(other_end):
    with pytest.raises(ValueError, match=r"abit_timing 0x00000000 is outside the controller's range at 60 MHz: "
                                         r"tseg1 1 \(2 to 256\), 20 Mbit/s \(5 kbit/s to 1 Mbit/s\)"):
        can.Bus(interface="ycan", channel=FD_CHANNEL, fd=True, abit_timing=0, dbit_timing=0x00800001)
    with pytest.raises(ValueError, match=r"dbit_timing 0x00000001 .*15 Mbit/s \(5 kbit/s to 8 Mbit/s\)"):
        can.Bus(interface="ycan", channel=FD_CHANNEL, fd=True, abit_timing=0x01400106, dbit_timing=1)
    with pytest.raises(ValueError, match=r"abit_timing 0xFFFFFFFF .*bit/s \(5 kbit/s to 1 Mbit/s\)"):
        can.Bus(interface="ycan", channel=FD_CHANNEL, abit_timing=0xFFFFFFFF)
    with pytest.raises(ValueError, match=r"btr0, btr1 0x00, 0x00 are outside the controller's range: .*Mbit/s"):
        YcanBus(CLASSIC_CHANNEL, btr0=0, btr1=0)
    # Nothing was left half open.
    with can.Bus(interface="ycan", channel=FD_CHANNEL, fd=True, abit_timing=0x01400106, dbit_timing=0x00800001):
        assert other_end.state(FD_CHANNEL)["started"] == "1"


def test_options_the_interface_does_not_know_or_honour_are_said(other_end, caplog):
    with caplog.at_level(logging.WARNING, logger="can.ycan"):
        with can.Bus(interface="ycan", channel=FD_CHANNEL, fd=True, dbitrate=5_000_000, receive_own_messages=True):
            pass
    assert "unknown option dbitrate=5000000 ignored" in caplog.text
    assert "receive_own_messages=True is not supported" in caplog.text
    caplog.clear()
    with caplog.at_level(logging.WARNING, logger="can.ycan"):
        with can.Bus(interface="ycan", channel=FD_CHANNEL, fd=True, data_bitrate=5_000_000,
                     receive_own_messages=False):
            pass
    assert "ycan:" not in caplog.text


def test_a_received_fd_frame_reports_its_bit_rate_switch_and_no_error_state_here_and_in_ycan_dump(other_end):
    # The library passes on the adapter's bit rate switch only: python-can
    # and ycan dump say the same of one frame sent with both flags.
    bus = can.Bus(interface="ycan", channel=FD_CHANNEL, bitrate=1_000_000, data_bitrate=5_000_000, fd=True)
    try:
        other_end.sent(FD_CHANNEL)
        other_end.inject(FD_CHANNEL, "456##3AABB")
        (got,) = receive_all(bus, 1)
    finally:
        bus.shutdown()
    assert got.is_fd and got.bitrate_switch and not got.error_state_indicator

    tool = os.environ.get("YCAN_TOOL")
    if not tool:
        pytest.skip("YCAN_TOOL names the ycan tool (tests/run.sh sets it)")
    dump = subprocess.Popen([tool, "dump", FD_CHANNEL, "-n", "1"], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True)
    try:
        end = time.monotonic() + 10
        while other_end.state(FD_CHANNEL).get("started") != "1":
            assert time.monotonic() < end, "the dump never started the channel"
            time.sleep(0.02)
        other_end.inject(FD_CHANNEL, "456##3AABB")
        out, _ = dump.communicate(timeout=60)
    finally:
        if dump.poll() is None:
            dump.kill()
            dump.communicate()
    assert out.split()[-1] == "456##1AABB", out
