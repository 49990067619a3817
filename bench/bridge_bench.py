#!/usr/bin/env python3
"""ycan bridge against the direct way, side by side in one run, inside a
kernel with CAN support (run it through tests/uml/run-in-uml.sh):

  receive   ycan-virtual offers 8-byte FD frames; frames/s reaching
            - an application on the library: tools/frame_sink (takes them and
              nothing else) and `ycan dump` (prints a candump line per frame)
            - the interface through the bridge, nobody reading it (the bridge's
              own counter) and candump reading it (candump's kernel stamps)
            once at more than the whole machine can take (all of it competes
            for user-mode Linux's single CPU) and once at a rate below that;
            and the bridge's CPU per frame, its own thread and the library's
  transmit  frames/s `ycan gen -g 0` gets onto the virtual bus vs `cangen -g 0`
            on the interface through the bridge
  latency   injection -> frame on the interface (candump's kernel stamp), vs
            injection -> `ycan dump` line read

    bridge_bench.py BUILD_DIR [FRAMES] [--vcan]

The interface is can0, a vxcan pair with the bridge's end can0-ycan (what
`ycan bridge --create` makes); with --vcan, a vcan can0 as before.
"""

import os
import re
import subprocess
import sys

args = [a for a in sys.argv[1:] if a != "--vcan"]
build = os.path.abspath(args[0])
frames = int(args[1]) if len(args) > 1 else 20000
use_vcan = "--vcan" in sys.argv
virtual = f"{build}/tools/ycan-virtual"
ycan = f"{build}/tools/ycan"
here = os.path.dirname(os.path.abspath(__file__))
shm = "/dev/shm"  # tmpfs inside user-mode Linux: no host file system in the measured path
tick = os.sysconf("SC_CLK_TCK")


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(p * len(values)))]


def run(cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, **kw)


def interface():
    """can0 made afresh: a vxcan pair with the bridge's end, or a vcan."""
    run(["ip", "link", "del", "can0"])
    if use_vcan:
        subprocess.run(["ip", "link", "add", "dev", "can0", "type", "vcan"], check=True)
    else:
        subprocess.run(["ip", "link", "add", "dev", "can0", "type", "vxcan", "peer", "name", "can0-ycan"], check=True)
        subprocess.run(["ip", "link", "set", "can0-ycan", "mtu", "72", "up"], check=True)
    subprocess.run(["ip", "link", "set", "can0", "mtu", "72", "up"], check=True)


def offer(rate, count, script):
    """Runs `sh -c script` under ycan-virtual offering `count` FD frames at `rate`."""
    return run([virtual, "--canfd", "43", "--inject", str(count), "--rate", str(rate), "--fd", "100", "--quiet",
                "--duration", "120000", "--", "sh", "-c", script])


def stamps_rate(path, count):
    stamps = []
    with open(path) as f:
        for line in f:
            if line.startswith("("):
                stamps.append(float(line[1:line.index(")")]))
    if len(stamps) != count or stamps[-1] <= stamps[0]:
        return None
    return (count - 1) / (stamps[-1] - stamps[0])


def receive_sink(rate):
    r = offer(rate, frames, f"{build}/tools/frame_sink 43 {frames}")
    m = re.search(r"received (\d+) frames in ([\d.]+) s \((\d+) frames/s\)", r.stdout + r.stderr)
    return float(m.group(3)) if m else None


def receive_dump(rate):
    offer(rate, frames, f"timeout 60 {ycan} dump 43:0 -n {frames} > {shm}/dump.txt")
    return stamps_rate(f"{shm}/dump.txt", frames)


def thread_cpu(pid_expr):
    """Shell that writes 'comm utime stime' of each thread of pid_expr to cpu.txt."""
    return (f"for t in /proc/{pid_expr}/task/*; do echo $(cat $t/comm) $(cut -d' ' -f14,15 $t/stat); done "
            f"> {shm}/cpu.txt")


def read_cpu():
    main = rx = 0.0
    with open(f"{shm}/cpu.txt") as f:
        for line in f:
            name, user, system = line.split()
            seconds = (int(user) + int(system)) / tick
            if name == "ycan-rx":
                rx += seconds
            else:
                main += seconds
    return main, rx


def bridge_until(cmd, counter, count, seconds=120, on_ready=None):
    """Runs `cmd` (the bridge, stats on stderr every 50 ms) under ycan-virtual
    until its stats line says `counter count`; this process waits and reads
    (no programs started while it is measured). Returns the seconds from the
    bridge's first line to the count, the bridge's thread CPU and
    ycan-virtual's output. on_ready runs on a thread of its own once the
    bridge is up."""
    import threading
    import time
    helper = None
    err = f"{shm}/bridge-until.err"
    for f in (err, f"{shm}/bridge.pid"):
        if os.path.exists(f):
            os.remove(f)
    proc = subprocess.Popen([virtual, "--canfd", "43", "--duration", str(seconds * 1000)] + cmd[0] +
                            ["--", "sh", "-c", f"echo $$ > {shm}/bridge.pid; exec {cmd[1]} --stats 0.05 2>{err}"],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    begin = end = None
    deadline = time.monotonic() + seconds
    text, seen = "", 0
    while time.monotonic() < deadline:
        if os.path.exists(err):
            with open(err) as f:
                f.seek(seen)
                more = f.read()
            seen += len(more.encode())
            text = text[-400:] + more  # a line cut in two is whole in this
        if begin is None and "stop with Ctrl-C" in text:
            begin = time.monotonic()
            if on_ready:
                helper = threading.Thread(target=on_ready)
                helper.start()
        if f"{counter} {count} " in text:
            end = time.monotonic()
            break
        time.sleep(0.05)
    pid = open(f"{shm}/bridge.pid").read().strip() if os.path.exists(f"{shm}/bridge.pid") else None
    main = rx = 0.0
    if pid:
        for t in os.listdir(f"/proc/{pid}/task"):
            name = open(f"/proc/{pid}/task/{t}/comm").read().strip()
            fields = open(f"/proc/{pid}/task/{t}/stat").read().rsplit(")", 1)[1].split()
            seconds_used = (int(fields[11]) + int(fields[12])) / tick
            if name == "ycan-rx":
                rx += seconds_used
            else:
                main += seconds_used
        os.kill(int(pid), 15)
    out = proc.communicate(timeout=60)[0]
    if helper:
        helper.join()
    took = end - begin if begin and end else None
    return took, (main, rx), out


def receive_bridge_alone(rate):
    """Nobody reads the interface: the bridge's counter says when all arrived."""
    interface()
    _, _, out = bridge_until((["--inject", str(frames), "--rate", str(rate), "--fd", "100", "--quiet"],
                              f"{ycan} bridge 43:0 0=can0"), "to-iface", frames)
    got = re.search(r"achieved (\d+) frames/s \((\d+) of", out)
    return float(got.group(1)) if got and int(got.group(2)) == frames else None


# Shell that waits (a few seconds at most) until a program reads can0: the
# traffic starts when the bridge starts the channel, and a candump started
# beside it may otherwise bind after the first frames went by.
READER_ON_CAN0 = ("for i in $(seq 300); do grep -q '^ *can0 .* raw$' /proc/net/can/rcvlist_all 2>/dev/null "
                   "&& break; sleep 0.01; done; ")


def receive_bridge_candump(rate):
    interface()
    script = (f"timeout 60 candump -L -r 16777216 -n {frames} can0 > {shm}/candump.txt & C=$!; "
              f"{READER_ON_CAN0}{ycan} bridge 43:0 0=can0 2>{shm}/bridge.err & B=$!; "
              f"wait $C; {thread_cpu('$B')}; kill -TERM $B; wait $B")
    offer(rate, frames, script)
    got = stamps_rate(f"{shm}/candump.txt", frames)
    main, rx = read_cpu()
    return got, main / frames * 1e6, rx / frames * 1e6


def bus_rate(text, count):
    """Frames/s on the virtual bus from ycan-virtual's candump lines, first
    to last."""
    stamps = [float(m.group(1)) for m in re.finditer(r"^\((\d+\.\d+)\) can0 ", text, re.M)]
    if len(stamps) != count or stamps[-1] <= stamps[0]:
        return None
    return (count - 1) / (stamps[-1] - stamps[0])


def transmit_direct():
    n = frames // 2
    r = run([virtual, "--canfd", "43", "--candump", "--duration", "120000", "--",
             ycan, "gen", "43:0:0", "-g", "0", "-n", str(n), "-L", "8", "-f"])
    return bus_rate(r.stdout + r.stderr, n)


def transmit_bridged():
    """cangen writes on the interface; the bridge's counter says when the
    adapter has taken them all."""
    interface()
    n = frames // 2
    _, _, out = bridge_until((["--candump"], f"{ycan} bridge 43:0 0=can0 --tx-queue {n}"), "to-adapter", n,
                             on_ready=lambda: run(["cangen", "can0", "-g", "0", "-n", str(n), "-L", "8", "-f"]))
    return bus_rate(out, n)


def latency_bridged(count=500, rate=500):
    interface()
    script = (f"timeout 60 candump -L -n {count} can0 > {shm}/lat-dump.txt & C=$!; "
              f"{READER_ON_CAN0}{ycan} bridge 43:0 0=can0 2>/dev/null & B=$!; "
              f"wait $C; kill -TERM $B; wait $B")
    r = run([virtual, "--canfd", "43", "--fd", "0", "--inject", str(count), "--rate", str(rate), "--ids", "100-7FF",
             "--candump", "--duration", "60000", "--", "sh", "-c", script])
    injected = {m.group(2): float(m.group(1)) for m in re.finditer(r"\((\d+\.\d+)\) can0 (\S+)", r.stderr)}
    lat = []
    with open(f"{shm}/lat-dump.txt") as f:
        for line in f:
            m = re.match(r"\((\d+\.\d+)\) can0 (\S+)", line)
            if m and m.group(2) in injected:
                lat.append((float(m.group(1)) - injected[m.group(2)]) * 1000)
    return (percentile(lat, 0.5), percentile(lat, 0.99)) if len(lat) == count else (None, None)


def latency_direct(count=500, rate=500):
    r = run([sys.executable, f"{here}/dump_latency.py", virtual, ycan, str(count), str(rate)])
    m = re.search(r"p50 ([\d.]+) ms, p99 ([\d.]+) ms", r.stdout)
    return (float(m.group(1)), float(m.group(2))) if m else (None, None)


def pct(a, b):
    return f"{a / b * 100:.0f}%" if a and b else "-"


def num(x):
    return f"{x:.0f}/s" if x else "failed"


def main():
    import json
    figures = {"frames": frames}
    for rate in (50000, 3000):
        sink, dump = receive_sink(rate), receive_dump(rate)
        alone = receive_bridge_alone(rate)
        through, main_us, rx_us = receive_bridge_candump(rate)
        print(f"receive, {rate} 8-byte FD frames/s offered: frame_sink {num(sink)}, ycan dump {num(dump)}; "
              f"bridge, nobody reading {num(alone)} ({pct(alone, sink)} of frame_sink); bridge and candump "
              f"{num(through)} ({pct(through, sink)} of frame_sink, {pct(through, dump)} of ycan dump); "
              f"bridge CPU {main_us:.1f} us/frame (+ {rx_us:.1f} in the library's receive thread)")
        figures[f"receive_{rate}"] = {"frame_sink": sink, "ycan_dump": dump, "bridge_alone": alone,
                                      "bridge_candump": through, "bridge_cpu_us": main_us, "receive_thread_us": rx_us}
    tx_direct, tx_bridged = transmit_direct(), transmit_bridged()
    print(f"transmit, 8-byte FD frames as fast as they go: ycan gen {num(tx_direct)}, cangen through the bridge "
          f"{num(tx_bridged)} ({pct(tx_bridged, tx_direct)})")
    figures["transmit"] = {"ycan_gen": tx_direct, "bridge": tx_bridged}
    lb, ld = latency_bridged(), latency_direct()
    print(f"latency, classic frames at 500/s: injection -> interface p50 {lb[0]:.2f} ms, p99 {lb[1]:.2f} ms; "
          f"injection -> ycan dump line p50 {ld[0]:.2f} ms, p99 {ld[1]:.2f} ms"
          if None not in lb + ld else f"latency: bridged {lb}, direct {ld}")
    figures["latency_ms"] = {"bridge_p50": lb[0], "bridge_p99": lb[1], "dump_p50": ld[0], "dump_p99": ld[1]}
    print("figures: " + json.dumps(figures))
    complete = all(v is not None for k, group in figures.items() if k != "frames" for v in group.values())
    return 0 if complete else 1


if __name__ == "__main__":
    sys.exit(main())
