"""Delivery order across kinds, the event descriptor with select and an
asyncio Notifier, the bus while its adapter is unplugged, and the transmit
queue: order, a full queue, flush_tx_buffer, shutdown, errors."""

import asyncio
import logging
import select
import threading
import time

import pytest

import can
from can.bus import BusState
from can_ycan import _writer
from conftest import FD_CHANNEL, receive_all, same_frame


def msg(ident, data=b"", **kw):
    return can.Message(arbitration_id=ident, data=data, is_extended_id=ident > 0x7FF, **kw)


def mixed(count, first=0x100):
    """Classic and CAN FD frames taking turns irregularly, numbered by ID."""
    frames = []
    for i in range(count):
        if (i * 7) % 3 == 0:
            frames.append(msg(first + i, bytes([i & 0xFF]) * 12, is_fd=True, bitrate_switch=i % 2 == 0))
        else:
            frames.append(msg(first + i, bytes([i & 0xFF]) * (i % 9)))
    return frames


def eventually(pred, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not pred():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def test_frames_come_in_the_order_sent_whatever_their_kind(fd_bus, other_end, tmp_path):
    frames = mixed(120)
    # Sent in bursts, so that they cross transfers and packets.
    for at in range(0, len(frames), 17):
        other_end.inject(FD_CHANNEL, *frames[at:at + 17])
    got = receive_all(fd_bus, len(frames))
    assert [m.arbitration_id for m in got] == [m.arbitration_id for m in frames]
    assert all(same_frame(a, b) for a, b in zip(frames, got))
    # Host time stamps: taken as the frames came, never going back.
    assert all(a.timestamp <= b.timestamp for a, b in zip(got, got[1:]))
    assert abs(got[-1].timestamp - time.time()) < 30
    # A log written from them keeps that order.
    with can.Logger(str(tmp_path / "frames.log")) as logger:
        for m in got:
            logger(m)
    assert [m.arbitration_id for m in can.LogReader(str(tmp_path / "frames.log"))] == \
           [m.arbitration_id for m in frames]


def test_fileno_is_readable_exactly_while_frames_wait(fd_bus, other_end):
    fd = fd_bus.fileno()
    assert fd >= 0 and fd_bus.fileno() == fd
    assert select.select([fd_bus], [], [], 0)[0] == []
    other_end.inject(FD_CHANNEL, "123#01", "124##0" + "00" * 8)
    assert select.select([fd_bus], [], [], 5.0)[0] == [fd_bus]
    assert fd_bus.recv(0).arbitration_id == 0x123
    assert select.select([fd_bus], [], [], 0)[0] == [fd_bus], "one frame still waits"
    assert fd_bus.recv(0).arbitration_id == 0x124
    assert select.select([fd_bus], [], [], 0)[0] == []


def test_an_asyncio_notifier_reads_through_the_event_descriptor(fd_bus, other_end):
    frames = mixed(40, first=0x300)

    async def run():
        loop = asyncio.get_running_loop()
        reader = can.AsyncBufferedReader()
        notifier = can.Notifier(fd_bus, [reader], loop=loop)
        try:
            # The descriptor was handed to the loop: no reader thread.
            assert not any(isinstance(r, threading.Thread) for r in notifier._readers)
            other_end.inject(FD_CHANNEL, *frames)
            return [await asyncio.wait_for(reader.get_message(), 5.0) for _ in frames]
        finally:
            notifier.stop()

    got = asyncio.run(run())
    assert [m.arbitration_id for m in got] == [m.arbitration_id for m in frames]


def test_while_unplugged_the_bus_is_in_error_and_refuses_to_send(fd_bus, other_end, caplog):
    caplog.set_level(logging.WARNING, logger="can.ycan")
    assert fd_bus.state == BusState.ACTIVE
    other_end.unplug("43:0")
    try:
        assert eventually(lambda: fd_bus.state == BusState.ERROR)
        assert "the adapter is unplugged; waiting for it to return" in caplog.text
        # A poller hears of it too: readable, and recv() takes the news.
        with pytest.raises(can.CanOperationError, match="unplugged"):
            fd_bus.send(msg(0x10, b"\x01"))
        assert fd_bus.recv(0.1) is None
    finally:
        other_end.replug("43:0")
    assert eventually(lambda: fd_bus.state == BusState.ACTIVE)
    assert "the adapter is back (its link was lost 1 times" in caplog.text
    other_end.inject(FD_CHANNEL, "321#21")
    assert fd_bus.recv(2.0).arbitration_id == 0x321
    fd_bus.send(msg(0x11, b"\x02"))
    assert [m.arbitration_id for m in other_end.sent(FD_CHANNEL, count=1, timeout=2.0)] == [0x11]


def test_queued_frames_reach_the_bus_complete_and_in_order(fd_bus, other_end):
    # Kinds taking turns (each run of one kind is one library call), then
    # a long run of one kind (handed over in large calls).
    frames = mixed(150, first=0x10000) + [msg(0x20000 + i, i.to_bytes(4, "little")) for i in range(2500)]
    started = time.monotonic()
    for f in frames:
        fd_bus.send(f)
    queued_in = time.monotonic() - started
    sent = other_end.sent(FD_CHANNEL, count=len(frames), timeout=30.0)
    assert len(sent) == len(frames), f"{len(sent)} of {len(frames)}"
    assert all(same_frame(a, b) for a, b in zip(frames, sent))
    # send() queued and returned: the loop was not paced by the adapter.
    print(f"queued {len(frames)} frames in {queued_in:.3f} s")


class PausedWriter:
    """Holds the bus's writer before it hands a batch to the library, so a
    test can see the queue fill; the library call itself is the real one."""

    def __init__(self, monkeypatch):
        self.go = threading.Event()
        self.in_call = threading.Event()
        real = _writer.Writer._send

        def held(writer, lib, kind, batch):
            self.in_call.set()
            self.go.wait(30)
            return real(writer, lib, kind, batch)

        monkeypatch.setattr(_writer.Writer, "_send", held)


def test_a_full_queue_times_out_and_flush_discards_what_waits(fd_bus, other_end, monkeypatch):
    paused = PausedWriter(monkeypatch)
    monkeypatch.setattr(_writer, "QUEUE_LIMIT", 5)
    fd_bus.send(msg(0x1, b"\x01"))
    assert paused.in_call.wait(5.0)  # the writer holds frame 1
    for i in range(2, 7):
        fd_bus.send(msg(i, bytes([i])), timeout=0)
    started = time.monotonic()
    with pytest.raises(can.CanTimeoutError, match="transmit queue stayed full"):
        fd_bus.send(msg(0x7, b"\x07"), timeout=0.2)
    assert time.monotonic() - started >= 0.2
    fd_bus.flush_tx_buffer()
    fd_bus.send(msg(0x8, b"\x08"), timeout=0)  # room again
    paused.go.set()
    sent = other_end.sent(FD_CHANNEL, count=2, timeout=5.0)
    assert [m.arbitration_id for m in sent] == [0x1, 0x8]
    assert other_end.sent(FD_CHANNEL, count=1, timeout=0.3) == []


def test_shutdown_sends_what_is_queued_first(other_end, monkeypatch):
    paused = PausedWriter(monkeypatch)
    bus = can.Bus(interface="ycan", channel=FD_CHANNEL, fd=True)
    other_end.sent(FD_CHANNEL)
    frames = mixed(50, first=0x400)
    for f in frames:
        bus.send(f)
    assert paused.in_call.wait(5.0)
    threading.Timer(0.2, paused.go.set).start()
    bus.shutdown()
    sent = other_end.sent(FD_CHANNEL, count=len(frames), timeout=5.0)
    assert [m.arbitration_id for m in sent] == [m.arbitration_id for m in frames]


def test_a_failure_of_queued_frames_is_logged_and_raised_by_the_next_send(fd_bus, other_end, monkeypatch, caplog):
    caplog.set_level(logging.ERROR, logger="can.ycan")
    paused = PausedWriter(monkeypatch)
    fd_bus.send(msg(0x1, b"\x01"))
    assert paused.in_call.wait(5.0)
    other_end.unplug("43:0")
    try:
        assert eventually(lambda: fd_bus.state == BusState.ERROR)
        paused.go.set()  # the held frame goes to an adapter that is gone
        assert eventually(lambda: "sending failed after 0 of 1 frames: the adapter is unplugged" in caplog.text)
    finally:
        other_end.replug("43:0")
    assert eventually(lambda: fd_bus.state == BusState.ACTIVE)
    with pytest.raises(can.CanOperationError, match="sending failed after 0 of 1 frames"):
        fd_bus.send(msg(0x2, b"\x02"))
    # Said once: the bus sends again.
    fd_bus.send(msg(0x3, b"\x03"))
    assert [m.arbitration_id for m in other_end.sent(FD_CHANNEL, count=1, timeout=2.0)] == [0x3]
