"""One program per adapter: a second program's open of an adapter in use
is refused with who holds it, and the first program loses nothing."""

import os
import subprocess
import sys
import textwrap
import time

import pytest

import can
from conftest import FD_CHANNEL, receive_all


def frame(n):
    return can.Message(arbitration_id=0x100 + n, data=bytes([n, 0xA5]), is_extended_id=False)


def command_of(pid):
    with open(f"/proc/{pid}/comm") as f:
        return f.read().strip()


def wait_started(other_end, channel, timeout=10.0):
    end = time.monotonic() + timeout
    while other_end.state(channel).get("started") != "1":
        assert time.monotonic() < end, f"{channel} was never started"
        time.sleep(0.02)


def test_a_second_program_is_refused_and_told_who_holds_the_adapter(fd_bus, other_end):
    other_end.inject(FD_CHANNEL, *(frame(n) for n in range(10)))
    second = textwrap.dedent("""
        import can
        from can.exceptions import CanInitializationError
        try:
            can.Bus(interface="ycan", channel="43:0:1", bitrate=1_000_000, data_bitrate=5_000_000, fd=True)
        except CanInitializationError as e:
            print(e)
            raise SystemExit(3)
    """)
    r = subprocess.run([sys.executable, "-c", second], capture_output=True, text=True, timeout=60)
    assert r.returncode == 3, r.stdout + r.stderr
    me = os.getpid()
    assert f"43:0 is in use by another program (pid {me}, {command_of(me)})" in r.stdout, r.stdout

    # The first program's adapter went on as it was: nothing reset, every
    # frame in order.
    assert other_end.state(FD_CHANNEL)["started"] == "1"
    other_end.inject(FD_CHANNEL, *(frame(n) for n in range(10, 20)))
    got = receive_all(fd_bus, 20)
    assert [m.arbitration_id for m in got] == [0x100 + n for n in range(20)]


def test_ycan_send_beside_a_running_dump_is_refused_and_the_dump_loses_nothing(other_end):
    tool = os.environ.get("YCAN_TOOL")
    if not tool:
        pytest.skip("YCAN_TOOL names the ycan tool (tests/run.sh sets it)")
    dump = subprocess.Popen([tool, "dump", FD_CHANNEL, "-n", "40"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        wait_started(other_end, FD_CHANNEL)
        other_end.inject(FD_CHANNEL, *(frame(n) for n in range(20)))
        send = subprocess.run([tool, "send", FD_CHANNEL, "7FF#11"], capture_output=True, text=True, timeout=60)
        assert send.returncode == 1, send.stderr
        assert f"ycan: 43:0 is in use by another program (pid {dump.pid}, ycan)\n" in send.stderr, send.stderr
        assert other_end.sent(FD_CHANNEL) == []
        assert other_end.state(FD_CHANNEL)["started"] == "1"
        other_end.inject(FD_CHANNEL, *(frame(n) for n in range(20, 40)))
        out, err = dump.communicate(timeout=60)
    finally:
        if dump.poll() is None:
            dump.kill()
            dump.communicate()
    assert dump.returncode == 0, err
    ids = [int(line.split()[2].split("#")[0], 16) for line in out.splitlines() if " ycan43-0-0 " in line]
    assert ids == [0x100 + n for n in range(40)], out

    # Once the dump has let go, the send gets the adapter.
    send = subprocess.run([tool, "send", FD_CHANNEL, "7FF#11"], capture_output=True, text=True, timeout=60)
    assert send.returncode == 0, send.stderr
    (sent,) = other_end.sent(FD_CHANNEL, count=1, timeout=2.0)
    assert sent.arbitration_id == 0x7FF
