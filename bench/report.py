#!/usr/bin/env python3
"""Prints the benchmark suite's table from the JSON files of one run.

    report.py DIR     (DIR holds <bench>.json as bench/run-suite.sh writes them)

Each row: the figure, what this run measured, the baseline measured in the
same run (or the fixed reference it is held against), the target, and
whether the target holds.
"""
import json
import os
import re
import sys

# Frames per second a bus can carry at most (shortest frames, back to back):
# 8 CAN FD channels at 1 Mbit/s arbitration and 5 Mbit/s data, and the
# classic adapter's 2 channels at 1 Mbit/s.
CANFD_BUS = 225_000
CLASSIC_BUS = 40_000


def load(directory):
    runs = {}
    for name in sorted(os.listdir(directory)):
        if not name.endswith(".json"):
            continue
        with open(os.path.join(directory, name)) as f:
            data = json.load(f)
        for b in data.get("benchmarks", []):
            runs[b["name"].split("/iterations:")[0].split("/real_time")[0]] = b
    return runs


def fmt_rate(x):
    if x >= 1e6:
        return f"{x / 1e6:.1f} M/s"
    if x >= 1e3:
        return f"{x / 1e3:.1f} k/s"
    return f"{x:.0f} /s"


def main():
    runs = load(sys.argv[1])
    rows = []
    missing = []

    def get(name, counter):
        b = runs.get(name)
        if b is None or "error_message" in b or counter not in b:
            missing.append(f"{name} {counter}")
            return None
        return float(b[counter])

    def row(figure, measured, baseline, target, holds):
        verdict = "-" if holds is None else ("yes" if holds else "NO")
        rows.append((figure, measured, baseline, target, verdict))

    for label, name, bus in [
        ("receive, CAN FD, 64-byte FD frames", "Receive/canfd_fd64", CANFD_BUS),
        ("receive in delivery order (YCAN_ReceiveAll), CAN FD, mixed kinds", "ReceiveAll/canfd_mixed", CANFD_BUS),
        ("receive in delivery order (YCAN_ReceiveAll), CAN FD, 64-byte FD", "ReceiveAll/canfd_fd64", CANFD_BUS),
        ("receive, CAN FD, 8-byte FD frames", "Receive/canfd_fd8", CANFD_BUS),
        ("receive, CAN FD, classic records", "Receive/canfd_classic", CANFD_BUS),
        ("receive, classic adapter", "Receive/usbcan_classic", CLASSIC_BUS),
    ]:
        rate, allocs = get(name, "frames/s"), get(name, "allocs/frame")
        if rate is not None and allocs is not None:
            row(label, f"{fmt_rate(rate)}, {allocs:.4f} allocs/frame", f"bus {fmt_rate(bus)}",
                "0 allocs/frame", allocs == 0 and rate >= bus)

    for label, name, bus in [
        ("transmit packing, CAN FD, 64-byte FD", "Transmit/canfd_fd64/64", CANFD_BUS),
        ("transmit packing, CAN FD, 8-byte FD", "Transmit/canfd_fd8/8", CANFD_BUS),
        ("transmit packing, CAN FD, classic", "Transmit/canfd_classic/8", CANFD_BUS),
        ("transmit packing, classic adapter", "Transmit/usbcan_classic", CLASSIC_BUS),
    ]:
        rate = get(name, "frames/s")
        if rate is not None:
            row(label, fmt_rate(rate), f"bus {fmt_rate(bus)}", ">= 10x bus", rate >= 10 * bus)

    e2e = "EndToEnd/canfd_fd8/50000"
    offered, achieved = get(e2e, "offered/s"), get(e2e, "achieved/s")
    per_transfer = get(e2e, "frames/transfer")
    if offered is not None and achieved is not None and per_transfer is not None:
        row("end to end, 8-byte FD frames, virtual adapter",
            f"{fmt_rate(achieved)} ({per_transfer:.0f} frames/transfer)", f"offered {fmt_rate(offered)}",
            ">= 50 k/s", achieved >= 50_000 * 0.98)

    rx_core, rx_frame = get(e2e, "rx_core_pct"), get(e2e, "rx_cpu_us/frame")
    bare, own = get(e2e, "bare_cpu_us/transfer"), get(e2e, "own_core_pct")
    if None not in (rx_core, rx_frame, bare, own):
        row("receive thread CPU at that load",
            f"{rx_core:.1f}% core ({rx_frame:.2f} us/frame); {own:.1f}% without the emulation",
            f"emulation {bare:.0f} us CPU/transfer", "<= 5% of a core", own <= 5)

    b50, b99 = get("Latency/bare", "p50_us"), get("Latency/bare", "p99_us")
    for label, name in [("latency, transfer done -> YCAN_ReceiveFD returns", "Latency/canfd"),
                        ("latency, transfer done -> YCAN_ReceiveAll (all channels) returns", "Latency/receive_all"),
                        ("latency, transfer done -> poll() on the event fd, YCAN_ReceiveAll", "Latency/event_fd")]:
        p50, p99 = get(name, "p50_us"), get(name, "p99_us")
        if None not in (p50, p99, b50, b99):
            row(label, f"p50 {p50:.0f} us, p99 {p99:.0f} us", f"bare p50 {b50:.0f} us, p99 {b99:.0f} us",
                "p50 <= bare + 100 us", p50 <= b50 + 100)

    waiting, polling = get("Idle/waiting", "cpu_ms"), get("Idle/polling", "cpu_ms")
    wpct, ppct = get("Idle/waiting", "core_pct"), get("Idle/polling", "core_pct")
    if None not in (waiting, polling, wpct, ppct):
        row("idle, receivers waiting without limit", f"{waiting:.1f} ms CPU ({wpct:.2f}% core)",
            f"polling {polling:.0f} ms CPU ({ppct:.0f}% core)", "<= 1% of polling",
            waiting <= 0.01 * polling)

    for label, name in [("close, CAN FD", "Close/canfd/43"), ("close, classic", "Close/classic/4")]:
        close, release = get(name, "close_ms"), get(name, "release_ms")
        if close is not None and release is not None:
            row(label, f"{close:.1f} ms, waiter let go after {release:.2f} ms", "-", "-", None)

    for label, name in [("replug -> first frame, CAN FD", "Recovery/canfd/43"),
                        ("replug -> first frame, classic", "Recovery/classic/4")]:
        med, worst = get(name, "replug_to_frame_ms"), get(name, "replug_to_frame_max_ms")
        if med is not None and worst is not None:
            row(label, f"median {med:.0f} ms, max {worst:.0f} ms", "-", "-", None)

    for label, name in [("memory, 1,000,000 FD frames queued", "QueueMemory/fd"),
                        ("memory, 1,000,000 classic frames queued", "QueueMemory/classic")]:
        per, record = get(name, "heap_bytes/frame"), get(name, "record_bytes")
        if per is not None and record is not None:
            row(label, f"{per:.1f} heap bytes/frame", f"record {record:.0f} bytes", "<= 1.25x record",
                per <= 1.25 * record)

    try:
        with open(os.path.join(sys.argv[1], "whole_process.txt")) as f:
            text = f.read()
    except OSError:
        text = ""
    tool = re.search(r"offered (\d+) frames/s, achieved (\d+) frames/s \((\d+) of (\d+) frames", text)
    sink = re.search(r"frame_sink: received (\d+) frames in ([\d.]+) s \((\d+) frames/s\), process CPU (\d+) ms", text)
    if tool and sink:
        span = float(sink.group(2))
        cpu_pct = float(sink.group(4)) / 10 / span if span > 0 else 0
        row("whole process: ycan-virtual -> frame_sink",
            f"{fmt_rate(float(sink.group(3)))} received; application process {cpu_pct:.0f}% core",
            f"offered {fmt_rate(float(tool.group(1)))}", ">= 50 k/s", float(sink.group(3)) >= 50_000 * 0.98)
    else:
        missing.append("whole process run")

    def text_of(name):
        try:
            with open(os.path.join(sys.argv[1], name)) as f:
                return f.read()
        except OSError:
            return ""

    dump = re.search(r"p50 ([\d.]+) ms, p99 ([\d.]+) ms, max [\d.]+ ms; (\d+) distinct time stamps",
                     text_of("dump_latency.txt"))
    frames = re.search(r"dump latency: (\d+) classic frames at (\d+)/s", text_of("dump_latency.txt"))
    if dump and frames:
        row("ycan dump, classic frames on a CAN FD adapter, injection -> line read",
            f"p50 {float(dump.group(1)):.2f} ms, p99 {float(dump.group(2)):.2f} ms; "
            f"{dump.group(3)} distinct stamps for {frames.group(1)} frames",
            f"{frames.group(2)} frames/s offered", "p99 < 2 ms", float(dump.group(2)) < 2)
    else:
        missing.append("dump latency run")
    send = re.search(r"loop (\d+) frames/s, on the bus (\d+) frames/s", text_of("python_send.txt"))
    if send:
        row("python-can send() from a loop, 8-byte frames", f"{fmt_rate(float(send.group(2)))} on the bus",
            f"loop {fmt_rate(float(send.group(1)))}", ">= 10 k/s", float(send.group(2)) >= 10_000)
    else:
        missing.append("python send run")

    bridge = re.search(r"^figures: (\{.*\})$", text_of("bridge.txt"), re.M)
    if bridge:
        b = json.loads(bridge.group(1))
        for rate, what in ((50000, "more than the machine takes"), (3000, "3,000/s")):
            r = b[f"receive_{rate}"]
            sink = r["frame_sink"]
            row(f"bridge (in user-mode Linux), receive at {what}, nobody reading the interface",
                fmt_rate(r["bridge_alone"]), f"frame_sink {fmt_rate(sink)}", ">= 90% of direct",
                r["bridge_alone"] >= 0.9 * sink)
            row(f"bridge, receive at {what}, candump reading the interface",
                f"{fmt_rate(r['bridge_candump'])} ({r['bridge_candump'] / sink * 100:.0f}%)",
                f"frame_sink {fmt_rate(sink)}, ycan dump {fmt_rate(r['ycan_dump'])}", ">= 90% of direct",
                r["bridge_candump"] >= 0.9 * sink)
        r = b["receive_50000"]
        row("bridge CPU per frame received", f"{r['bridge_cpu_us']:.1f} us",
            f"library receive thread {r['receive_thread_us']:.1f} us", "-", None)
        t = b["transmit"]
        row("bridge, transmit: cangen -> interface -> adapter, 8-byte FD",
            f"{fmt_rate(t['bridge'])} on the bus ({t['bridge'] / t['ycan_gen'] * 100:.0f}%)",
            f"ycan gen {fmt_rate(t['ycan_gen'])}", ">= 90% of direct", t["bridge"] >= 0.9 * t["ycan_gen"])
        lat = b["latency_ms"]
        row("bridge latency, injection -> frame on the interface",
            f"p50 {lat['bridge_p50']:.2f} ms, p99 {lat['bridge_p99']:.2f} ms",
            f"ycan dump line p50 {lat['dump_p50']:.2f} ms, p99 {lat['dump_p99']:.2f} ms", "-", None)
    else:
        missing.append("bridge run")

    header = ("figure", "measured", "baseline (same run)", "target", "holds")
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(5)]
    line = lambda r: "| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |"
    print(line(header))
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in rows:
        print(line(r))
    if missing:
        print("missing figures: " + ", ".join(missing), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
