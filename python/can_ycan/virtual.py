"""The other end of a virtual bus, for tests under ycan-virtual.

``ycan-virtual --control -- COMMAND`` runs COMMAND with virtual adapters
attached and tells it in YCAN_VIRTUAL_CONTROL where to reach them. Through
VirtualBus a test puts frames on a virtual bus for the program to receive,
sees what the program sent, and unplugs or replugs an adapter:

    from can_ycan.virtual import VirtualBus
    with VirtualBus() as other_end:
        other_end.inject("43:0:0", can.Message(arbitration_id=0x123, data=b"\\x01"))
        frames = other_end.sent("43:0:0", count=1, timeout=1.0)
"""

import os
import socket

import can

from ._settings import fd_length


def to_text(msg):
    """A frame in cansend's syntax (123#1122, 12345678#R, 123##1AABB)."""
    ident = f"{msg.arbitration_id:08X}" if msg.is_extended_id else f"{msg.arbitration_id:03X}"
    if msg.is_remote_frame:
        return f"{ident}#R{msg.dlc if msg.dlc else ''}"
    data = bytes(msg.data or b"")
    if msg.is_fd:
        data = data.ljust(fd_length(len(data)), b"\0")
        flags = (1 if msg.bitrate_switch else 0) | (2 if msg.error_state_indicator else 0)
        return f"{ident}##{flags:X}{data.hex().upper()}"
    return f"{ident}#{data.hex().upper()}"


def from_text(text, channel=None):
    """A frame in cansend's syntax as a Message."""
    ident, _, rest = text.partition("#")
    fields = dict(arbitration_id=int(ident, 16), is_extended_id=len(ident) == 8, channel=channel)
    if rest.startswith("#"):
        flags = int(rest[1], 16)
        return can.Message(
            is_fd=True, bitrate_switch=bool(flags & 1), error_state_indicator=bool(flags & 2),
            data=bytes.fromhex(rest[2:]), **fields,
        )
    if rest[:1] in ("R", "r"):
        return can.Message(is_remote_frame=True, dlc=int(rest[1:] or 0), **fields)
    return can.Message(data=bytes.fromhex(rest.replace(".", "")), **fields)


class VirtualBusError(RuntimeError):
    pass


class VirtualBus:
    """A connection to ycan-virtual's control socket. Adapters and channels
    are named as the program names them: "TYPE:INDEX" and "TYPE:INDEX:CH"."""

    def __init__(self, path=None):
        path = path or os.environ.get("YCAN_VIRTUAL_CONTROL")
        if not path:
            raise VirtualBusError("not running under ycan-virtual --control (YCAN_VIRTUAL_CONTROL is not set)")
        self._sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self._sock.connect(path)
        self._file = self._sock.makefile("rw", encoding="ascii", newline="\n")

    def request(self, line):
        """Sends one request; the words of the reply after "ok"."""
        self._file.write(line + "\n")
        self._file.flush()
        reply = self._file.readline().rstrip("\n")
        if not reply.startswith("ok"):
            raise VirtualBusError(f"{line}: {reply}")
        return reply.split()[1:]

    def inject(self, channel, *frames):
        """Frames (Messages or cansend text) arrive on the channel's bus."""
        texts = [f if isinstance(f, str) else to_text(f) for f in frames]
        self.request(" ".join(["inject", channel] + texts))

    def sent(self, channel, count=0, timeout=0.0):
        """Frames the program sent on the channel since the last call, as
        Messages; waits up to timeout seconds for count of them."""
        words = self.request(f"sent {channel} {count} {int(timeout * 1000)}")
        return [from_text(w, channel) for w in words]

    def state(self, channel):
        """How the program set the channel up, e.g. {"started": "1",
        "abit": "1000000", "dbit": "5000000", "filter": "on", "ranges":
        ["std:120-12F"]} (CAN FD) or {"started": "1", "btr": "00,14"}."""
        out = {"ranges": []}
        for w in self.request(f"state {channel}"):
            if "=" in w:
                key, value = w.split("=", 1)
                out[key] = value
            else:
                out["ranges"].append(w)
        return out

    def recorder(self, channel):
        """What a virtual recorder's channel holds: {"settings": the 25
        stored bytes, "filtering": bool, "filters": [(kind, first, last)]}."""
        words = self.request(f"recorder {channel}")
        filters = []
        for w in words[words.index("filters") + 1:]:
            kind, span = w.split(":")
            first, last = span.split("-")
            filters.append((int(kind), int(first, 16), int(last, 16)))
        return {"settings": bytes.fromhex(words[1]), "filtering": words[3] == "on", "filters": filters}

    def refuse(self, adapter, on=True):
        """A virtual recorder refuses (or takes again) every settings and
        filter request."""
        self.request(f"refuse {adapter} {'on' if on else 'off'}")

    def unplug(self, adapter):
        self.request(f"unplug {adapter}")

    def replug(self, adapter, port=None):
        """Back into its port, or into another port (a number) of its bus."""
        self.request(f"replug {adapter}" + (f" {port}" if port is not None else ""))

    def close(self):
        self._file.close()
        self._sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
