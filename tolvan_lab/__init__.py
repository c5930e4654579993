"""The attenuator as one trustworthy instrument, for every program above the driver.

    from tolvan_lab import Attenuator

    with Attenuator("/dev/ttyUSB0") as att:    # the port held alone until the block ends
        print(att.version)                      # Version(module=2, hardware=50, software=32)
        ch = att[2]
        ch.wavelength = 1550                    # nm, one of ch.wavelengths
        ch.attenuation = 3.5                    # dB, in steps of 0.01 dB
        print(ch.status())                      # ChannelStatus(channel=2, wavelength_nm=1550, ...)

Every reply is checked before the driver decodes it: a reply that does not answer the request
just sent (a late one, noise, another command's) is discarded, and a command without an answer
raises NoReply. Frames are logged on the logger "tolvan_lab.frames" at DEBUG.
"""

from typing import TYPE_CHECKING, Any

from tolvan_lab.errors import InstrumentError, NoReply, PortUnavailable

if TYPE_CHECKING:
    from tolvan_lab.attenuator import Attenuator, Channel, ChannelStatus, Version, driver_lock

__all__ = ["Attenuator", "Channel", "ChannelStatus", "InstrumentError", "NoReply", "PortUnavailable", "Version",
           "__version__", "driver_lock"]

# Imported when first asked for: a program that needs only tolvan_lab.errors, .units or .ownership
# (`tolvan ports`, which must start within 30 ms of its lsof run) pays for neither the driver nor
# logging. `from tolvan_lab import Attenuator` imports it as before.
_FROM_ATTENUATOR = frozenset({"Attenuator", "Channel", "ChannelStatus", "Version", "driver_lock"})


def __getattr__(name: str) -> Any:
    if name in _FROM_ATTENUATOR:
        from tolvan_lab import attenuator

        return getattr(attenuator, name)
    if name == "__version__":  # read when asked: importlib.metadata costs a few ms at import
        from importlib.metadata import PackageNotFoundError, version

        try:
            return version("tolvan")
        except PackageNotFoundError:  # running from a source tree that was never installed
            return "0+unknown"
    raise AttributeError(f"module 'tolvan_lab' has no attribute {name!r}")
