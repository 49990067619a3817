#!/usr/bin/env python3
"""Programs against adapters on the real Linux USB stack. Runs as root in the
test machine (tests/kernel/run-in-vm.sh); each scenario attaches the virtual
adapters it needs to the kernel through USB/IP (ycan-virtual --usbip), so the
programs reach them through the kernel's usbfs, hub and host controller:

    scenarios.py NAME...

YCAN_TOOL, YCAN_VIRTUAL, YCAN_DEMOS (the folder of the echo demos) and
YCAN_LIBRARY name the build's programs and library, YCAN_UDEV_RULES the rules
file the install puts in place; PYTHONPATH must reach can_ycan. Exits 0 when every scenario
held, 1 with what differed. Counts and order only: no speed is asserted.
"""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

from can_ycan.virtual import VirtualBus

YCAN = os.environ.get("YCAN_TOOL", "ycan")
VIRTUAL = os.environ.get("YCAN_VIRTUAL", "ycan-virtual")
DEMOS = os.environ.get("YCAN_DEMOS", ".")
failures = []

# The USB ids each type is opened by, and what `ycan list` calls its kind.
IDS = {"43": ("3068:0009", "CAN FD"), "4": ("0471:1200", "CAN"), "61": ("0471:2601", "recorder")}


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAILED:", what, flush=True)
    return ok


def run(*cmd, user=None, timeout=120):
    """A command's result (text output); as `user` when given."""
    if user:
        cmd = ("runuser", "-u", user, "--", *cmd)
    return subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)


def eventually(pred, timeout=30.0):
    deadline = time.monotonic() + timeout
    while not pred():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


class Adapters:
    """Virtual adapters attached to this kernel while the block runs, with
    ycan-virtual's control channel to their buses."""

    def __init__(self, *options):
        self.dir = tempfile.mkdtemp()
        ready = os.path.join(self.dir, "control")
        script = f'echo "$YCAN_VIRTUAL_CONTROL" > {ready}.tmp && mv {ready}.tmp {ready} && exec sleep 100000'
        self.proc = subprocess.Popen([VIRTUAL, "--usbip", *options, "--control", "--", "sh", "-c", script])
        if not check(eventually(lambda: os.path.exists(ready) or self.proc.poll() is not None, 120),
                     f"ycan-virtual {' '.join(options)} attached its adapters"):
            raise SystemExit(1)
        if self.proc.poll() is not None:
            check(False, f"ycan-virtual {' '.join(options)} ended with status {self.proc.returncode}")
            raise SystemExit(1)
        with open(ready) as f:
            self.bus = VirtualBus(f.read().strip())
        # udev (where it runs) is done with the new devices.
        if shutil.which("udevadm") and os.path.exists("/run/udev/control"):
            run("udevadm", "settle", "--timeout=30")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.bus.close()
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(60)
        except subprocess.TimeoutExpired:
            self.proc.kill()
        shutil.rmtree(self.dir, ignore_errors=True)


class Lines:
    """A running program's standard output, line by line."""

    def __init__(self, proc):
        self.proc = proc
        self.lines = []
        self.times = []  # time.monotonic() as each line came
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        for line in self.proc.stdout:
            self.times.append(time.monotonic())
            self.lines.append(line.rstrip("\n"))

    def when(self, text):
        """When the first line holding text came; None if none did."""
        return next((t for t, line in zip(self.times, self.lines) if text in line), None)

    def wait_for(self, count, timeout=60.0):
        return eventually(lambda: len(self.lines) >= count, timeout)


def listed():
    """`ycan list` as {adapter: (bus, address, ids, kind, port, serial)}."""
    r = run(YCAN, "list")
    check(r.returncode == 0, f"ycan list: status {r.returncode}: {r.stderr.strip()}")
    rows = {}
    for line in r.stdout.splitlines()[1:]:
        m = re.match(r"(\d+:\d+)\s+(\S+)\s+(\d+)\s+(\d+)\s+([0-9a-f]{4}:[0-9a-f]{4})\s+(CAN FD|CAN|recorder)\s+\d+\s+(\S+)",
                     line)
        if m:
            rows[m.group(1)] = (int(m.group(3)), int(m.group(4)), m.group(5), m.group(6), m.group(2), m.group(7))
    return rows


def kernel_devices():
    """(bus, address) -> ("vvvv:pppp", sysfs name, serial) of every USB device sysfs shows."""
    out = {}
    for name in os.listdir("/sys/bus/usb/devices"):
        d = os.path.join("/sys/bus/usb/devices", name)
        try:
            with open(f"{d}/busnum") as b, open(f"{d}/devnum") as n, open(f"{d}/idVendor") as v, \
                    open(f"{d}/idProduct") as p:
                ids = f"{v.read().strip()}:{p.read().strip()}"
                where = (int(b.read()), int(n.read()))
        except OSError:
            continue
        try:
            with open(f"{d}/serial") as s:
                serial = s.read().strip()
        except OSError:
            serial = "-"
        out[where] = (ids, name, serial)
    return out


def scenario_enumeration():
    """Two CAN FD adapters of one type, a classic adapter and a recorder:
    each listed under its TYPE:INDEX at the address, port path and serial
    number the kernel gave it, and each answers `ycan info`, also when named
    by its port or serial number."""
    with Adapters("--canfd", "43x2", "--classic", "1", "--recorder", "61"):
        rows = listed()
        check(sorted(rows) == ["43:0", "43:1", "4:0", "61:0"], f"ycan list shows {sorted(rows)}")
        kernel = kernel_devices()
        for name, (bus, address, ids, kind, port, serial) in rows.items():
            want_ids, want_kind = IDS[name.split(":")[0]]
            check((ids, kind) == (want_ids, want_kind), f"{name} listed as {ids} {kind}")
            check(kernel.get((bus, address)) == (want_ids, port, serial),
                  f"{name} at bus {bus} address {address}, port {port}, serial {serial}: the kernel has "
                  f"{kernel.get((bus, address))} there")
            type_ = name.split(":")[0]
            for named in (name, f"{type_}@{port}", f"{type_}#{serial}"):
                r = run(YCAN, "info", named)
                check(r.returncode == 0 and re.search(r"^channels\s+2$", r.stdout, re.M)
                      and f"usb port       {port}\nusb serial     {serial}\n" in r.stdout,
                      f"ycan info {named}: status {r.returncode}: {r.stdout.strip()} {r.stderr.strip()}")
        check(rows.get("43:0", (0, 0))[:2] != rows.get("43:1", (0, 0))[:2], "the two CAN FD adapters are two devices")


def scenario_demos():
    """The main job on a real kernel: both echo demos send every frame back
    unchanged."""
    for options, demo in ((["--canfd", "43"], "canfd_echo_demo"), (["--classic", "1"], "can_echo_demo")):
        r = run(VIRTUAL, "--usbip", *options, "--inject", "200", "--rate", "100", "--expect-echo", "--quiet",
                "--duration", "120000", "--", os.path.join(DEMOS, demo), timeout=180)
        check(r.returncode == 0 and "echoed 200/200 frames, 0 mismatched" in r.stderr,
              f"{demo}: status {r.returncode}: {r.stderr.strip()[-600:]}")


def scenario_two_programs():
    """`ycan dump` has the adapter; `ycan send` on it is refused, naming the
    dump, and the dump goes on undisturbed; once the dump ends, send works."""
    with Adapters("--canfd", "43") as a:
        dump = subprocess.Popen([YCAN, "dump", "43:0:0"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        out = Lines(dump)
        check(eventually(lambda: a.bus.state("43:0:0").get("started") == "1", 60), "the dump started the channel")
        a.bus.inject("43:0:0", *[f"{0x100 + i:03X}#{i:02X}" for i in range(10)])
        check(out.wait_for(10), f"the dump printed the first frames: {out.lines}")

        r = run(YCAN, "send", "43:0:0", "123#11")
        check(r.returncode == 1, f"ycan send while the dump runs: status {r.returncode}")
        check(re.search(rf"43:0 is in use by another program \(pid {dump.pid}, ycan\)", r.stderr),
              f"ycan send says who has the adapter: {r.stderr.strip()}")
        check(a.bus.sent("43:0:0", 0, 0) == [], "nothing was sent by the refused program")

        a.bus.inject("43:0:0", *[f"{0x200 + i:03X}#{i:02X}" for i in range(10)])
        check(out.wait_for(20), f"the dump goes on: {out.lines}")
        got = [line.split()[-1] for line in out.lines]
        want = [f"{0x100 + i:03X}#{i:02X}" for i in range(10)] + [f"{0x200 + i:03X}#{i:02X}" for i in range(10)]
        check(got == want, f"the dump printed every frame once, in order: {got}")
        check(dump.poll() is None, "the dump is still running")
        dump.send_signal(signal.SIGINT)
        check(dump.wait(60) == 0, f"the dump ended cleanly: status {dump.returncode}")

        r = run(YCAN, "send", "43:0:0", "123#11")
        check(r.returncode == 0, f"ycan send after the dump: status {r.returncode}: {r.stderr.strip()}")
        sent = a.bus.sent("43:0:0", 1, 30)
        check([f"{m.arbitration_id:03X}#{bytes(m.data).hex().upper()}" for m in sent] == ["123#11"],
              f"the frame reached the bus: {sent}")


def start_udevd():
    """systemd-udevd, as the system runs it, with the rules installed."""
    run("udevadm", "control", "--exit")
    env = dict(os.environ, SYSTEMD_IGNORE_CHROOT="1")
    subprocess.run(["/lib/systemd/systemd-udevd", "--daemon"], env=env, check=True)
    check(eventually(lambda: os.path.exists("/run/udev/control"), 60), "udevd started")
    run("udevadm", "trigger", "--action=add", "--subsystem-match=usb")
    run("udevadm", "settle", "--timeout=60")


def scenario_permissions():
    """With the real udevd and the installed rules file: a user in group
    plugdev opens the adapter (ycan info, the echo demo); a user outside it
    is told that permission is denied and where the rule is."""
    rules = os.environ["YCAN_UDEV_RULES"]
    if os.path.exists(rules):
        shutil.copy(rules, "/usr/lib/udev/rules.d/60-ycan.rules")
    else:
        print(f"(no rules file at {rules}: nothing installed)")
    run("groupadd", "-f", "plugdev")
    run("useradd", "-M", "-G", "plugdev", "benchuser")
    run("useradd", "-M", "outsider")
    start_udevd()
    with Adapters("--canfd", "43"):
        node = "/dev/bus/usb/{:03d}/{:03d}".format(*listed()["43:0"][:2])
        st = os.stat(node)
        print(f"{node}: mode {st.st_mode & 0o777:o}, group {st.st_gid}")
        r = run(YCAN, "info", "43:0", user="benchuser")
        check(r.returncode == 0, f"ycan info as a member of plugdev: status {r.returncode}: {r.stderr.strip()}")
        r = run(YCAN, "info", "43:0", user="outsider")
        check(r.returncode == 1 and f"43:0: permission denied on {node}" in r.stderr and "60-ycan.rules" in r.stderr,
              f"ycan info as another user: status {r.returncode}: {r.stderr.strip()}")
    r = run(VIRTUAL, "--usbip", "--canfd", "43", "--inject", "50", "--rate", "100", "--expect-echo", "--quiet",
            "--duration", "120000", "--", "runuser", "-u", "benchuser", "--",
            os.path.join(DEMOS, "canfd_echo_demo"), timeout=180)
    check(r.returncode == 0 and "echoed 50/50 frames, 0 mismatched" in r.stderr,
          f"the echo demo as a member of plugdev: status {r.returncode}: {r.stderr.strip()[-600:]}")


def scenario_socketcan():
    """ycan bridge on an adapter of the real USB stack, in the same kernel's
    SocketCAN: candump and cansend both ways, python-can's socketcan
    interface, and an unplug and replug under the bridge (the bridge's own
    scenarios, run here with the adapters attached through USB/IP). udevd
    runs, as on an installed system: libusb hears of the adapter's return
    from it."""
    start_udevd()
    here = os.path.dirname(os.path.abspath(__file__))
    script = os.path.join(os.path.dirname(here), "uml", "bridge_scenarios.py")
    for name in ("to_interface", "from_interface", "python_socketcan", "unplug_replug", "pair_direction",
                 "unplug_visible", "isotp"):
        for iface in ("vcan0", "vcan1", "can0"):
            run("ip", "link", "del", iface)
        r = run(VIRTUAL, "--usbip", "--canfd", "43", "--classic", "1", "--control", "--duration", "180000", "--",
                sys.executable, script, name, timeout=240)
        check(r.returncode == 0, f"bridge scenario {name}: status {r.returncode}:\n{r.stdout[-1500:]}{r.stderr[-1500:]}")


def unit_service(path):
    """The [Service] settings of a systemd unit file, as {key: value}."""
    settings, section = {}, None
    with open(path) as f:
        for line in f:
            line = line.strip()
            if line.startswith("["):
                section = line
            elif section == "[Service]" and "=" in line and not line.startswith("#"):
                key, value = line.split("=", 1)
                settings[key] = value
    return settings


def start_as_unit(unit, user, args=None):
    """The unit's ExecStart (this build's ycan, args put in) as a process of
    `user` with the unit's group and its one capability, as systemd starts
    it: the process and its output, line by line."""
    command = unit["ExecStart"].replace("@YCAN_BIN_PATH@/ycan", YCAN)
    for name, value in (args or {}).items():
        command = command.replace(name, value)
    cap = unit["AmbientCapabilities"].lower().removeprefix("cap_")
    as_unit = ["setpriv", f"--reuid={user}", f"--regid={user}", f"--groups={unit['SupplementaryGroups']}",
               f"--inh-caps=-all,+{cap}", f"--ambient-caps=-all,+{cap}", f"--bounding-set=-all,+{cap}",
               "--no-new-privs"]
    proc = subprocess.Popen(as_unit + command.split(), stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    return proc, Lines(proc)


def scenario_bridge_service():
    """The bridge as the unit runs it (its command line, a user of its own in
    the unit's group, the unit's one capability), started with no adapter
    plugged in: it makes its interface and waits; the adapter plugged in
    later (udevd gives the group access) is bridged, frames flow both ways;
    unplugged again, it says so and waits."""
    unit = unit_service(os.environ["YCAN_BRIDGE_UNIT"])
    shutil.copy(os.environ["YCAN_UDEV_RULES"], "/usr/lib/udev/rules.d/60-ycan.rules")
    run("groupadd", "-f", "plugdev")
    run("useradd", "-M", "-r", "ycanbridge")
    start_udevd()
    check(unit.get("DynamicUser") == "yes" and unit.get("SupplementaryGroups") == "plugdev"
          and unit.get("AmbientCapabilities") == "CAP_NET_ADMIN", f"the unit's user and capability: {unit}")
    bridge, said = start_as_unit(unit, "ycanbridge", {"$YCAN_BRIDGE_ARGS": "43:0 0=can0 --create"})
    text = lambda: "\n".join(said.lines)
    check(eventually(lambda: "adapter 43:0 is not plugged in; waiting for it" in text(), 60), text())
    with open(f"/proc/{bridge.pid}/status") as f:
        ids = {l.split(":")[0]: l.split()[1:] for l in f}
    check(ids["Uid"][0] != "0" and ids["CapEff"] == ["0000000000001000"],
          f"the bridge runs as a user with CAP_NET_ADMIN alone: uid {ids['Uid']}, capabilities {ids['CapEff']}")
    check(run("ip", "link", "show", "can0").returncode == 0, "can0 made by the unit's user")
    import can
    with can.Bus(interface="socketcan", channel="can0", fd=True) as app:
        plugged = time.monotonic()
        with Adapters("--canfd", "43") as adapters:
            check(eventually(lambda: "(stop with Ctrl-C)" in text(), 60), "bridged once plugged in:\n" + text())
            print(f"plugged in -> bridge running: {time.monotonic() - plugged:.2f} s (attach included)")
            adapters.bus.inject("43:0:0", "123#11")
            msg = app.recv(30.0)
            while msg is not None and msg.is_error_frame:
                msg = app.recv(30.0)
            check(msg is not None and msg.arbitration_id == 0x123 and msg.is_rx, f"received: {msg}")
            adapters.bus.sent("43:0:0")
            app.send(can.Message(arbitration_id=0x321, is_extended_id=False, data=b"\x22"))
            sent = adapters.bus.sent("43:0:0", count=1, timeout=30.0)
            check(len(sent) == 1 and sent[0].arbitration_id == 0x321, f"sent: {sent}")
        check(eventually(lambda: "adapter 43:0 unplugged; waiting for it to return" in text(), 60),
              "the unplug was said:\n" + text())
    bridge.send_signal(signal.SIGTERM)
    check(bridge.wait(30) == 0, f"bridge status {bridge.returncode}:\n{text()}")


def carrier(name):
    """Whether the interface is up with its carrier (`ip link`)."""
    r = run("ip", "-o", "link", "show", name)
    return r.returncode == 0 and ",UP" in r.stdout and "NO-CARRIER" not in r.stdout


def frames_flow(bus, adapter, iface, ident):
    """A frame from the bus reaches iface (received, as from a kernel
    driver), and one written there reaches the bus."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "uml"))
    from bridge_scenarios import exchange
    got, sent = exchange(bus, adapter, iface, ident, tries=15, wait=30.0)
    check(got is not None and got.arbitration_id == ident and got.is_rx and len(sent) == 1
          and sent[0].arbitration_id == ident + 1, f"{iface}: from the bus {got}, to the bus {sent}")


def arrival_of(serial):
    """A thread noting when (time.monotonic()) the kernel first lists a
    device reporting this serial number: the returned dict's "listed"."""
    seen = {}

    def watch():
        while "listed" not in seen and not seen.get("stop"):
            for name in os.listdir("/sys/bus/usb/devices"):
                try:
                    with open(f"/sys/bus/usb/devices/{name}/serial") as f:
                        if f.read().strip() == serial:
                            seen["listed"] = time.monotonic()
                except OSError:
                    pass
            time.sleep(0.01)

    threading.Thread(target=watch, daemon=True).start()
    return seen


def scenario_plug_and_play():
    """ycan-bridges.service's command (the unit's user and capability, the
    default configuration file) with no adapter plugged in; two adapters of
    one type attached later through USB/IP are bridged as udevd announces
    them: the one the file names by its serial number on its interfaces, the
    other on the default names of its port; one unplugged and plugged back
    into its port resumes there; the supervisor stops every bridge."""
    unit = unit_service(os.environ["YCAN_BRIDGES_UNIT"])
    shutil.copy(os.environ["YCAN_UDEV_RULES"], "/usr/lib/udev/rules.d/60-ycan.rules")
    os.makedirs("/etc/ycan", exist_ok=True)
    with open("/etc/ycan/bridges.conf", "w") as f:
        f.write("bitrate 500k\nadapter serial YV43-1\nchannel 0 engine\nchannel 1 body\n")
    run("groupadd", "-f", "plugdev")
    run("useradd", "-M", "-r", "ycanbridges")
    start_udevd()
    sup, said = start_as_unit(unit, "ycanbridges")
    text = lambda: "\n".join(said.lines)
    check(eventually(lambda: "bridging every adapter plugged in (/etc/ycan/bridges.conf)" in text(), 60), text())
    arrival = arrival_of("YV43-1")
    with Adapters("--canfd", "43x2") as adapters:
        check(eventually(lambda: carrier("engine") and carrier("body"), 60), "engine and body:\n" + text())
        # Each bridge says its channels started (the library's lines).
        check(eventually(lambda: sum("USBCANFD Start Success" in line for line in said.lines) >= 4, 60),
              "both bridges started their channels:\n" + text())
        arrival["stop"] = True
        if check("listed" in arrival, "the kernel listed YV43-1"):
            at = arrival["listed"]
            started = [t for t, line in zip(said.times, said.lines) if "USBCANFD Start Success" in line]
            print(f"the kernel lists the adapters -> the supervisor says it: "
                  f"{said.when('(serial YV43-1) plugged in') - at:.2f} s, engine made: "
                  f"{said.when('created engine') - at:.2f} s, both bridges running: {started[3] - at:.2f} s",
                  flush=True)
        m = re.search(r"adapter 43@(\S+) \(serial YV43-2\) plugged in: 0=(\S+) 1=(\S+)", text())
        check(m is not None, "the other adapter's line:\n" + text())
        if m is None:
            return
        port, first = m.group(1), m.group(2)
        check(first == f"ycan{port}-0", f"default name {first} for port {port}")
        check(eventually(lambda: carrier(first), 60), f"{first}:\n" + text())
        # The control's 43:0 is the adapter attached last (YV43-2).
        frames_flow(adapters.bus, "43:1:0", "engine", 0x120)
        frames_flow(adapters.bus, "43:0:0", first, 0x130)
        adapters.bus.unplug("43:0")
        check(eventually(lambda: f"adapter 43@{port} (serial YV43-2) unplugged; its interfaces stay" in text(), 60),
              text())
        check(eventually(lambda: not carrier(first), 30), f"{first} without carrier while away")
        replugged = time.monotonic()
        adapters.bus.replug("43:0")
        check(eventually(lambda: carrier(first), 60), "carrier back:\n" + text())
        print(f"plugged back -> {first} ready: {time.monotonic() - replugged:.2f} s", flush=True)
        check(f"adapter 43@{port} (serial YV43-2) is back" in text(), text())
        frames_flow(adapters.bus, "43:0:0", first, 0x140)
    sup.send_signal(signal.SIGTERM)
    check(sup.wait(60) == 0, f"supervisor status {sup.returncode}:\n{text()}")
    check("ycan bridge: stopped" in text(), text())
    left = run("pgrep", "-f", "--supervised").stdout.split()
    check(not left, f"every bridge ended: {left}")
    print(text(), flush=True)


def scenario_python_can():
    """python-can's ycan interface over real USB: frames both ways on both
    families, fileno() with select, the bus state while the adapter is away
    and after it returns (the interface's own tests, on adapters attached
    through USB/IP)."""
    here = os.path.dirname(os.path.abspath(__file__))
    runner = os.path.join(os.path.dirname(os.path.dirname(here)), "python", "tests", "run.sh")
    selection = ("fd_adapter or classic_adapter_frames_both_ways or fileno or unplugged or plugged_back "
                 "or order_sent or second_program")
    # The interface as installed, not this source tree's copy.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env["YCAN_VIRTUAL_OPTIONS"] = "--usbip"
    env["YCAN_TOOL"] = YCAN
    env["YCAN_VIRTUAL"] = VIRTUAL
    # A folder of the machine's own for the environment it installs into.
    scratch = tempfile.mkdtemp()
    r = subprocess.run([runner, scratch, "-k", selection], capture_output=True, text=True, timeout=400, env=env)
    print(r.stdout[-3000:], r.stderr[-2000:], sep="\n")
    passed = re.search(r"(\d+) passed", r.stdout)
    check(r.returncode == 0 and passed and int(passed.group(1)) >= 8,
          f"python-can's tests over USB/IP: status {r.returncode}")


def main():
    names = sys.argv[1:]
    for name in names:
        fn = globals().get(f"scenario_{name}")
        if fn is None:
            print(f"no scenario {name}", file=sys.stderr)
            return 2
        print(f"==== {name}", flush=True)
        fn()
    if failures:
        print(f"{len(failures)} check(s) failed", flush=True)
        return 1
    print(f"{', '.join(names)}: every check held", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
