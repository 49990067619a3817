#!/usr/bin/env python3
"""ycan dump's latency for classic frames on a CAN FD adapter, whole
processes: ycan-virtual injects classic frames at a steady rate into a
virtual CAN FD adapter and notes when each went in; ycan dump prints them; a
reader notes when each line reached it. Prints the latency percentiles and
how many distinct time stamps the dump wrote.

    dump_latency.py YCAN_VIRTUAL YCAN [FRAMES [RATE]]
"""

import os
import re
import subprocess
import sys
import time


def child(ycan, frames):
    # Runs the dump and stamps each line as it arrives.
    dump = subprocess.Popen([ycan, "dump", "43:0:0", "-n", str(frames)], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True, bufsize=1)
    for line in dump.stdout:
        print(f"{time.time():.6f} {line.rstrip()}", flush=True)
    return dump.wait()


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(p * len(values)))]


def main():
    if len(sys.argv) >= 2 and sys.argv[1] == "--child":
        return child(sys.argv[2], int(sys.argv[3]))
    virtual, ycan = sys.argv[1], sys.argv[2]
    frames = int(sys.argv[3]) if len(sys.argv) > 3 else 1000
    rate = int(sys.argv[4]) if len(sys.argv) > 4 else 1000
    run = subprocess.run(
        [virtual, "--canfd", "43", "--fd", "0", "--inject", str(frames), "--rate", str(rate), "--ids", "100-7FF",
         "--candump", "--duration", str(int(frames / rate * 1000) + 20000), "--",
         sys.executable, os.path.abspath(__file__), "--child", ycan, str(frames)],
        capture_output=True, text=True)
    injected = {}
    for m in re.finditer(r"\((\d+\.\d+)\) can0 (\S+)", run.stderr):
        injected.setdefault(m.group(2), float(m.group(1)))
    latencies, usb, stamps = [], [], set()
    for line in run.stdout.splitlines():
        m = re.match(r"(\d+\.\d+) \((\d+\.\d+)\) ycan43-0-0 (\S+)", line)
        if m and m.group(3) in injected:
            latencies.append((float(m.group(1)) - injected[m.group(3)]) * 1000)
            usb.append((float(m.group(2)) - injected[m.group(3)]) * 1000)
            stamps.add(m.group(2))
    if len(latencies) != frames:
        print(f"dump_latency: {len(latencies)} of {frames} frames matched (status {run.returncode})\n{run.stderr[-2000:]}",
              file=sys.stderr)
        return 1
    print(f"dump latency: {frames} classic frames at {rate}/s on a CAN FD adapter: "
          f"p50 {percentile(latencies, 0.5):.2f} ms, p99 {percentile(latencies, 0.99):.2f} ms, "
          f"max {max(latencies):.2f} ms; {len(stamps)} distinct time stamps; "
          f"of which injection -> host time stamp p50 {percentile(usb, 0.5):.2f} ms, p99 {percentile(usb, 0.99):.2f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
