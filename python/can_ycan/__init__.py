"""python-can interface for YCAN USB-to-CAN adapters, over libycan.

    import can
    with can.Bus(interface="ycan", channel="43:0:0", bitrate=1_000_000,
                 data_bitrate=5_000_000, fd=True) as bus:
        bus.send(can.Message(arbitration_id=0x123, data=b"\\x11\\x22", is_fd=True))
        print(bus.recv(1.0))
"""

from .bus import YcanBus
from .recorder import Recorder, RecordSettings, RecorderFilter

__all__ = ["YcanBus", "Recorder", "RecordSettings", "RecorderFilter"]
__version__ = "1.0.0"
