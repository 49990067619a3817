#!/usr/bin/env python3
"""ycan bridge against the direct way, side by side in one run, inside a
kernel with CAN support (tests/uml/run-in-uml.sh):

  receive   ycan-virtual offers 8-byte FD frames at a high rate; frames/s an
            application gets straight from the library (tools/frame_sink) vs
            through the bridge and candump on a vcan; the bridge's CPU per frame
  transmit  frames/s `ycan gen -g 0` gets onto the virtual bus vs `cangen -g 0`
            on the vcan through the bridge
  latency   injection -> frame on the vcan (candump's kernel time stamp), vs
            injection -> `ycan dump` line read

    bridge_bench.py BUILD_DIR [FRAMES]
"""

import os
import re
import signal
import subprocess
import sys
import time

build = os.path.abspath(sys.argv[1])
frames = int(sys.argv[2]) if len(sys.argv) > 2 else 50000
virtual = f"{build}/tools/ycan-virtual"
ycan = f"{build}/tools/ycan"
here = os.path.dirname(os.path.abspath(__file__))


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(p * len(values)))]


def run(cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, **kw)


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def vcan():
    run(["ip", "link", "del", "vcan0"])
    subprocess.run(["ip", "link", "add", "dev", "vcan0", "type", "vcan"], check=True)
    subprocess.run(["ip", "link", "set", "vcan0", "mtu", "72", "up"], check=True)


def receive_direct(rate):
    r = run([virtual, "--canfd", "43", "--inject", str(frames), "--rate", str(rate), "--fd", "100", "--quiet",
             "--", f"{build}/tools/frame_sink", "43", str(frames)])
    m = re.search(r"received (\d+) frames in ([\d.]+) s \((\d+) frames/s\)", r.stdout + r.stderr)
    return float(m.group(3)) if m else None


def receive_bridged(rate):
    """The bridge and candump under ycan-virtual; candump's kernel time
    stamps give the rate the frames reached the interface."""
    vcan()
    script = (f"{ycan} bridge 43:0 0=vcan0 2>/tmp/bridge.err & B=$!; "
              f"candump -L -r 16777216 -n {frames} vcan0 > /tmp/bridge-dump.txt; "
              f"cat /proc/$B/stat > /tmp/bridge.stat; kill -TERM $B; wait $B")
    run([virtual, "--canfd", "43", "--inject", str(frames), "--rate", str(rate), "--fd", "100", "--quiet",
         "--duration", "120000", "--", "sh", "-c", script])
    stamps = []
    with open("/tmp/bridge-dump.txt") as f:
        for line in f:
            if line.startswith("("):
                stamps.append(float(line[1:line.index(")")]))
    with open("/tmp/bridge.stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    cpu = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    if len(stamps) != frames:
        return None, None
    return (frames - 1) / (stamps[-1] - stamps[0]), cpu / frames * 1e6


def transmit_direct():
    r = run([virtual, "--canfd", "43", "--quiet", "--duration", "120000", "--",
             ycan, "gen", "43:0:0", "-g", "0", "-n", str(frames // 5), "-L", "8", "-f"])
    m = re.search(r"ycan gen: (\d+) frames in ([\d.]+) s", r.stdout + r.stderr)
    return int(m.group(1)) / float(m.group(2)) if m else None


def transmit_bridged():
    vcan()
    n = frames // 5
    script = (f"{ycan} bridge 43:0 0=vcan0 --tx-queue {n} 2>/tmp/bridge-tx.err & B=$!; sleep 1; "
              f"T0=$(date +%s.%N); cangen vcan0 -g 0 -n {n} -L 8 -f; "
              f"while ! grep -q 'to-adapter {n} ' /tmp/bridge-tx.err; do kill -USR1 $B; sleep 0.05; done; "
              f"T1=$(date +%s.%N); echo \"took $T0 $T1\"; kill -TERM $B; wait $B")
    r = run([virtual, "--canfd", "43", "--quiet", "--duration", "120000", "--", "sh", "-c", script])
    m = re.search(r"took ([\d.]+) ([\d.]+)", r.stdout + r.stderr)
    return n / (float(m.group(2)) - float(m.group(1))) if m else None


def latency_bridged(count=500, rate=500):
    vcan()
    script = (f"{ycan} bridge 43:0 0=vcan0 2>/dev/null & B=$!; candump -L -n {count} vcan0 > /tmp/lat-dump.txt; "
              f"kill -TERM $B; wait $B")
    r = run([virtual, "--canfd", "43", "--fd", "0", "--inject", str(count), "--rate", str(rate), "--ids", "100-7FF",
             "--candump", "--duration", "60000", "--", "sh", "-c", script])
    injected = {m.group(2): float(m.group(1)) for m in re.finditer(r"\((\d+\.\d+)\) can0 (\S+)", r.stderr)}
    lat = []
    with open("/tmp/lat-dump.txt") as f:
        for line in f:
            m = re.match(r"\((\d+\.\d+)\) vcan0 (\S+)", line)
            if m and m.group(2) in injected:
                lat.append((float(m.group(1)) - injected[m.group(2)]) * 1000)
    return (percentile(lat, 0.5), percentile(lat, 0.99)) if len(lat) == count else (None, None)


def latency_direct(count=500, rate=500):
    r = run([sys.executable, f"{here}/dump_latency.py", virtual, ycan, str(count), str(rate)])
    m = re.search(r"p50 ([\d.]+) ms, p99 ([\d.]+) ms", r.stdout)
    return (float(m.group(1)), float(m.group(2))) if m else (None, None)


def main():
    rate = 50000
    direct = receive_direct(rate)
    bridged, cpu = receive_bridged(rate)
    tx_direct, tx_bridged = transmit_direct(), transmit_bridged()
    lb, ld = latency_bridged(), latency_direct()
    print(f"receive, {rate} 8-byte FD frames/s offered: direct {direct:.0f}/s, through the bridge and candump "
          f"{bridged:.0f}/s ({bridged / direct * 100:.0f}%); bridge CPU {cpu:.1f} us/frame"
          if direct and bridged else f"receive: direct {direct}, bridged {bridged}")
    print(f"transmit, FD frames as fast as they go: ycan gen {tx_direct:.0f}/s, cangen through the bridge "
          f"{tx_bridged:.0f}/s ({tx_bridged / tx_direct * 100:.0f}%)"
          if tx_direct and tx_bridged else f"transmit: direct {tx_direct}, bridged {tx_bridged}")
    print(f"latency, classic frames: injection -> vcan p50 {lb[0]:.2f} ms, p99 {lb[1]:.2f} ms; "
          f"injection -> ycan dump line p50 {ld[0]:.2f} ms, p99 {ld[1]:.2f} ms"
          if None not in lb + ld else f"latency: bridged {lb}, direct {ld}")
    return 0 if direct and bridged and tx_direct and tx_bridged and None not in lb + ld else 1


if __name__ == "__main__":
    sys.exit(main())
