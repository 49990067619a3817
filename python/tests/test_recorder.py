"""The CAN bus recorder 61:0 (ycan-virtual --recorder 61): can_ycan.Recorder
and `ycan record`, held against what the virtual recorder stores. The
expected bytes are built here from the recorder's settings layout, not by
the code under test."""

import json
import os
import struct
import subprocess

import pytest
from can.exceptions import CanInitializationError, CanOperationError

from can_ycan import Recorder, RecordSettings, RecorderFilter

YCAN = os.environ.get("YCAN_TOOL", "ycan")


def layout(record, option_b, option_a, aclock, aword, dclock, dword, tail_flags, tail_bytes):
    """The 25 bytes a recorder channel stores (request offsets 3..27)."""
    def phase(clock, w):
        return struct.pack("<HHBHH", clock, w >> 22, w >> 15 & 0x7F, w & 0xFF, w >> 8 & 0x7F)
    return (bytes([record, option_b, option_a]) + phase(aclock, aword) + phase(dclock, dword)
            + bytes([tail_flags[0] | tail_flags[1] << 1, *tail_bytes]))


def rate(clock_mhz, word):
    prescaler, tseg1, tseg2 = (word >> 22) + 1, (word & 0xFF) + 1, (word >> 8 & 0x7F) + 1
    return clock_mhz * 1e6 / (prescaler * (1 + tseg1 + tseg2))


def ycan(*args):
    return subprocess.run([YCAN, "record", "61:0", *args], capture_output=True, text=True, timeout=60)


@pytest.fixture
def recorder():
    with Recorder("61:0") as rec:
        yield rec


def test_settings_and_filters_reach_the_recorder_as_it_stores_them(recorder, other_end):
    held = recorder.set_settings(1, RecordSettings(record=True, option_a=1, arbitration_clock_mhz=60,
                                                   arbitration_timing=0x01400106, data_clock_mhz=60,
                                                   data_timing=0x00800001, tail_flags=(0, 1),
                                                   tail_bytes=(0x11, 0x22, 0x33)))
    assert other_end.recorder("61:0:1")["settings"] == layout(1, 0, 1, 60, 0x01400106, 60, 0x00800001, (0, 1),
                                                              (0x11, 0x22, 0x33))
    assert held == recorder.settings(1) and held.record and held.tail_flags == (0, 1)
    assert (held.arbitration_bitrate, held.data_bitrate) == (1_000_000, 5_000_000)
    assert recorder.set_settings(1, record=False, option_b=1).option_b == 1
    assert other_end.recorder("61:0:1")["settings"][:3] == bytes([0, 1, 1])

    recorder.clear_filters(0)
    recorder.add_filter(0, 0x100, 0x1FF)
    recorder.add_filter(0, 0x18FF0000, 0x18FFFFFF, extended=True)
    recorder.add_filter(0, 0x7FF)
    recorder.enable_filters(0)
    stored = other_end.recorder("61:0:0")
    assert stored["filtering"] and stored["filters"] == [(0, 0x100, 0x1FF), (1, 0x18FF0000, 0x18FFFFFF),
                                                         (0, 0x7FF, 0x7FF)]
    assert recorder.filters(0) == (True, [RecorderFilter(0x100, 0x1FF), RecorderFilter(0x18FF0000, 0x18FFFFFF, 1),
                                          RecorderFilter(0x7FF, 0x7FF)])
    recorder.disable_filters(0)
    assert recorder.filters(0)[0] is False and not other_end.recorder("61:0:0")["filtering"]

    # Refused before anything is sent.
    for bad in (lambda: recorder.add_filter(0, 0x200, 0x100), lambda: recorder.add_filter(0, 0x800),
                lambda: recorder.add_filter(0, 0x20000000, extended=True), lambda: recorder.add_filter(2, 0x100),
                lambda: recorder.settings(2), lambda: recorder.set_settings(0, option_a=2),
                lambda: recorder.set_settings(0, tail_bytes=(1, 2))):
        with pytest.raises(ValueError):
            bad()
    assert len(other_end.recorder("61:0:0")["filters"]) == 3


def test_a_recorder_that_is_not_there_or_not_a_recorder_is_refused(recorder):
    with pytest.raises(ValueError, match="not a CAN bus recorder"):
        Recorder("43:0")
    with pytest.raises(CanInitializationError, match="61:1"):
        Recorder("61:1")
    recorder.close()
    with pytest.raises(CanOperationError, match="closed"):
        recorder.settings(0)


def test_ycan_record_set_shows_what_the_recorder_holds(other_end):
    r = ycan("set", "0", "--on", "--clock", "80", "--timing", "01400106,00800001", "--option-b", "1",
             "--tail-flags", "1,0", "--tail-bytes", "0A,0B,0C")
    assert r.returncode == 0, r.stderr
    assert other_end.recorder("61:0:0")["settings"] == layout(1, 1, 0, 80, 0x01400106, 80, 0x00800001, (1, 0),
                                                              (0x0A, 0x0B, 0x0C))
    # Bit rates become timing words at the clock the channel holds.
    r = ycan("set", "0", "--bitrate", "500k", "--dbitrate", "2M", "--option-b", "0")
    assert r.returncode == 0, r.stderr
    stored = other_end.recorder("61:0:0")["settings"]
    aword = stored[5] << 22 | stored[7] << 15 | stored[10] << 8 | stored[8]
    dword = stored[14] << 22 | stored[16] << 15 | stored[19] << 8 | stored[17]
    assert (rate(80, aword), rate(80, dword), stored[1]) == (500_000, 2_000_000, 0)
    shown = json.loads(ycan("show", "--json").stdout)["channels"][0]
    assert shown["record"] and shown["arbitration"]["timing"] == f"0x{aword:08X}"
    assert (shown["arbitration"]["bitrate"], shown["data"]["bitrate"]) == (500_000, 2_000_000)
    assert (shown["option_b"], shown["tail_flags"], shown["tail_bytes"]) == (0, [1, 0], [10, 11, 12])


def test_ycan_record_save_and_load_restore_every_value(tmp_path, recorder, other_end):
    for ch in (0, 1):
        recorder.set_settings(ch, RecordSettings(record=bool(ch), option_a=ch, option_b=1 - ch,
                                                 arbitration_clock_mhz=60 + ch, arbitration_timing=0x01400106 + ch,
                                                 data_clock_mhz=80 - ch, data_timing=0x00800001 + ch,
                                                 tail_flags=(ch, 1 - ch), tail_bytes=(ch, 0x80, 0xFF - ch)))
        recorder.clear_filters(ch)
        recorder.add_filter(ch, 0x100 + ch, 0x1FF)
        recorder.add_filter(ch, 0x1000 * (ch + 1), 0x1FFFFFFF, extended=True)
        (recorder.enable_filters if ch else recorder.disable_filters)(ch)
    before = [other_end.recorder(f"61:0:{ch}") for ch in (0, 1)]
    recorder.close()
    saved = tmp_path / "bench.rec"
    r = ycan("save", str(saved))
    assert r.returncode == 0, r.stderr
    with Recorder("61:0") as rec:
        for ch in (0, 1):
            rec.set_settings(ch, RecordSettings())
            rec.clear_filters(ch)
            rec.enable_filters(ch)
    assert [other_end.recorder(f"61:0:{ch}") for ch in (0, 1)] != before
    r = ycan("load", str(saved))
    assert r.returncode == 0, r.stderr
    assert [other_end.recorder(f"61:0:{ch}") for ch in (0, 1)] == before


def test_ycan_record_refuses_bad_input_and_writes_nothing(tmp_path, other_end):
    state = lambda: [other_end.recorder(f"61:0:{ch}") for ch in (0, 1)]  # noqa: E731
    before = state()
    ycan("save", str(tmp_path / "good.rec"))
    lines = (tmp_path / "good.rec").read_text().splitlines()
    lines[4] = "abit-timing 0xZZ"
    (tmp_path / "bad.rec").write_text("\n".join(lines) + "\n")
    cases = [
        (["set", "2", "--on"], 2, "the recorder has channels 0 and 1"),
        (["filter", "0", "add", "200-100"], 2, "the range 200-100 runs backwards"),
        (["filter", "0", "add", "800"], 2, "too wide for a standard (11-bit) filter"),
        (["filter", "1", "add", "20000000", "--ext"], 2, "bad identifier range"),
        (["set", "0", "--btr", "00,14"], 2, "--btr is for the classic adapters"),
        (["load", str(tmp_path / "bad.rec")], 2, f"{tmp_path / 'bad.rec'}:5: abit-timing takes a 32-bit hex word"),
        (["load", str(tmp_path / "missing.rec")], 2, "cannot read"),
    ]
    for args, status, said in cases:
        r = ycan(*args)
        assert (r.returncode, said in r.stderr) == (status, True), (args, r.stderr)
        assert state() == before, args
    # A recorder that does not take what is written: said, status 1.
    other_end.refuse("61:0")
    try:
        for args, said in ((["set", "0", "--on"], "did not take the settings of channel 0"),
                           (["filter", "1", "add", "100"], "did not take filter 100 std on channel 1"),
                           (["load", str(tmp_path / "good.rec")], "did not take the settings of channel 0")):
            r = ycan(*args)
            assert (r.returncode, said in r.stderr) == (1, True), (args, r.stderr)
        with Recorder("61:0") as rec, pytest.raises(CanOperationError, match="did not take"):
            rec.set_settings(0, record=True)
    finally:
        other_end.refuse("61:0", on=False)
    assert state() == before
    absent = subprocess.run([YCAN, "record", "62:0", "show"], capture_output=True, text=True, timeout=60)
    assert absent.returncode == 1 and "no such adapter is attached" in absent.stderr, absent.stderr
    with Recorder("61:0"):
        busy = ycan("filter", "0", "clear")
        assert busy.returncode == 1 and "61:0 is in use by another program" in busy.stderr, busy.stderr
    assert state() == before
