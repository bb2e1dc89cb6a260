"""Drive a display head from Python: the host command link (HostLink), a complete simulated
device (SimulatedDevice) and, for pytest, the fixtures of displayhead.pytest_plugin."""
from .link import (CommandFailed, DeviceError, DeviceGone, HostLink, NoReply, QueueStuck,
                   WrongReply)
from .png import Picture, decode_png
from .protocol import Listing, Storage
from .sim import GuiRecord, NeedsSimControl, SimError, SimulatedDevice

__all__ = [
    "CommandFailed", "DeviceError", "DeviceGone", "GuiRecord", "HostLink", "Listing",
    "NeedsSimControl", "NoReply", "Picture", "QueueStuck", "SimError", "SimulatedDevice",
    "Storage", "WrongReply", "decode_png",
]
__version__ = "0.1.0"
