#!/usr/bin/env python3
"""python-can's send rate: a python loop making and sending 8-byte classic
frames on a virtual CAN FD adapter's channel, as fast as it can. Run under
ycan-virtual --canfd 43 --control with the package's source on PYTHONPATH
and YCAN_LIBRARY naming the library. Prints how fast the loop queued the
frames and how fast they reached the bus.

    python_send_rate.py [FRAMES]
"""

import sys
import time

import can
from can_ycan import YcanBus
from can_ycan.virtual import VirtualBus


def main():
    frames = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
    other_end = VirtualBus()
    bus = YcanBus("43:0:0", bitrate=1_000_000)
    other_end.sent("43:0:0")
    started = time.monotonic()
    for i in range(frames):
        bus.send(can.Message(arbitration_id=i & 0x7FF, is_extended_id=False, data=i.to_bytes(8, "little")))
    queued = time.monotonic() - started
    arrived = 0
    while arrived < frames:
        got = other_end.sent("43:0:0", count=frames - arrived, timeout=30.0)
        if not got:
            break
        arrived += len(got)
    done = time.monotonic() - started
    bus.shutdown()
    other_end.close()
    if arrived != frames:
        print(f"python_send_rate: {arrived} of {frames} frames reached the bus", file=sys.stderr)
        return 1
    print(f"python send: {frames} 8-byte frames, loop {frames / queued:.0f} frames/s, "
          f"on the bus {frames / done:.0f} frames/s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
