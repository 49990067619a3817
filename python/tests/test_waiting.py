"""Blocking receive, shutdown while a thread waits, python-can's Notifier,
Logger and Printer, and the errors a user sees."""

import threading
import time

import pytest

import can
from conftest import FD_CHANNEL, receive_all


def in_thread(fn):
    """Runs fn in a thread; returns the thread and a dict that gets its
    result or exception."""
    out = {}

    def run():
        try:
            out["result"] = fn()
        except BaseException as e:  # noqa: BLE001 - handed to the test
            out["error"] = e

    t = threading.Thread(target=run, daemon=True)
    t.start()
    return t, out


def test_recv_with_a_timeout_waits_that_long_and_no_longer(fd_bus):
    for timeout in (0, 0.2, 0.5):
        started = time.monotonic()
        assert fd_bus.recv(timeout) is None
        took = time.monotonic() - started
        assert timeout <= took < timeout + 0.5, (timeout, took)


def test_recv_without_a_timeout_waits_until_a_frame_comes(fd_bus, other_end):
    t, out = in_thread(lambda: fd_bus.recv())
    time.sleep(0.5)
    assert t.is_alive(), out
    other_end.inject(FD_CHANNEL, "456#AB")
    t.join(2.0)
    assert not t.is_alive() and out["result"].arbitration_id == 0x456


def test_recv_with_a_timeout_returns_a_frame_as_soon_as_it_comes(fd_bus, other_end):
    t, out = in_thread(lambda: (fd_bus.recv(10.0), time.monotonic()))
    time.sleep(0.3)
    sent_at = time.monotonic()
    other_end.inject(FD_CHANNEL, "457#CD")
    t.join(5.0)
    msg, got_at = out["result"]
    assert msg.arbitration_id == 0x457 and got_at - sent_at < 2.0


def test_shutdown_lets_a_waiting_thread_go_at_once(other_end):
    bus = can.Bus(interface="ycan", channel=FD_CHANNEL, fd=True)
    t, out = in_thread(lambda: bus.recv())
    time.sleep(0.3)
    assert t.is_alive()
    started = time.monotonic()
    bus.shutdown()
    t.join(2.0)
    assert not t.is_alive() and time.monotonic() - started < 1.5
    assert isinstance(out.get("error"), can.CanOperationError)
    with pytest.raises(can.CanOperationError):
        bus.recv(0)
    with pytest.raises(can.CanOperationError):
        bus.send(can.Message(arbitration_id=1, is_extended_id=False))
    bus.shutdown()  # twice is harmless
    # The channel can be opened again and nothing of the old bus is left.
    with can.Bus(interface="ycan", channel=FD_CHANNEL, fd=True) as again:
        other_end.inject(FD_CHANNEL, "458#01")
        assert again.recv(2.0).arbitration_id == 0x458


def test_shutdown_of_one_channel_lets_its_waiter_go_while_the_adapter_stays_open(other_end):
    with can.Bus(interface="ycan", channel="43:0:1", fd=True) as other:
        bus = can.Bus(interface="ycan", channel=FD_CHANNEL, fd=True)
        t, out = in_thread(lambda: bus.recv())
        time.sleep(0.3)
        bus.shutdown()
        t.join(2.0)
        assert not t.is_alive() and isinstance(out.get("error"), can.CanOperationError)
        other_end.inject("43:0:1", "459#01")
        assert other.recv(2.0).arbitration_id == 0x459


def test_a_notifier_hands_every_frame_to_its_listeners(fd_bus, other_end):
    class Collect(can.Listener):
        def __init__(self):
            self.frames = []
            self.done = threading.Event()

        def on_message_received(self, msg):
            self.frames.append(msg)
            if len(self.frames) == 50:
                self.done.set()

    collect, buffered = Collect(), can.BufferedReader()
    notifier = can.Notifier(fd_bus, [collect, buffered], timeout=0.1)
    try:
        other_end.inject(FD_CHANNEL, *[f"{0x100 + i:03X}#{i:02X}" for i in range(50)])
        assert collect.done.wait(5.0), len(collect.frames)
    finally:
        notifier.stop()
    assert [m.arbitration_id for m in collect.frames] == [0x100 + i for i in range(50)]
    assert buffered.get_message(0).arbitration_id == 0x100


def test_logger_and_printer_write_what_was_received(fd_bus, other_end, tmp_path):
    frames = ["123#1122", "1ABCDEF0#00FF", "321##1" + "AB" * 12, "7FF#R2"]
    other_end.inject(FD_CHANNEL, *frames)
    received = receive_all(fd_bus, 4)
    for name in ("frames.log", "frames.asc", "frames.blf"):
        with can.Logger(str(tmp_path / name)) as logger:
            for m in received:
                logger(m)
        back = list(can.LogReader(str(tmp_path / name)))
        assert len(back) == 4, name
        for a, b in zip(received, back):
            assert (a.arbitration_id, a.is_extended_id, a.is_fd, a.is_remote_frame) == \
                   (b.arbitration_id, b.is_extended_id, b.is_fd, b.is_remote_frame), name
            assert a.is_remote_frame or bytes(a.data) == bytes(b.data), name
    with open(tmp_path / "printed.txt", "w") as out:
        printer = can.Printer(out)
        for m in received:
            printer(m)
        printer.stop()
    lines = (tmp_path / "printed.txt").read_text().splitlines()
    assert len(lines) == 4 and "1abcdef0" in lines[[m.arbitration_id for m in received].index(0x1ABCDEF0)]


def test_a_missing_adapter_says_so(other_end):
    with pytest.raises(can.CanInitializationError, match="Device Not Exist!") as e:
        can.Bus(interface="ycan", channel="66:0:0")
    assert e.value.error_code == 1
    with pytest.raises(can.CanInitializationError, match="Device Not Exist!"):
        can.Bus(interface="ycan", channel="43:1:0")


def test_what_cannot_be_a_bus_is_refused_with_the_reason(fd_bus):
    with pytest.raises(can.CanInitializationError, match="already in use"):
        can.Bus(interface="ycan", channel=FD_CHANNEL)
    with pytest.raises(can.CanInitializationError, match="recorder"):
        can.Bus(interface="ycan", channel="61:0:0")
    with pytest.raises(can.CanInitializationError, match="device type 99"):
        can.Bus(interface="ycan", channel="99:0:0")
    with pytest.raises(ValueError, match="TYPE:INDEX:CH"):
        can.Bus(interface="ycan", channel="43:0")
    with pytest.raises(ValueError, match="channels 0 to 1"):
        can.Bus(interface="ycan", channel="43:0:2")
    with pytest.raises(can.CanInitializationError, match="Baud Rate Parameter Not Supported!"):
        can.Bus(interface="ycan", channel="43:0:1", bitrate=123_456)
    # The refusals left the open bus alone.
    assert fd_bus.recv(0) is None
