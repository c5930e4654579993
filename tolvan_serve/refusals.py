"""What the server itself refuses, beside the layer's errors: the faces translate these too."""

from __future__ import annotations

from tolvan_lab import InstrumentError


class Busy(InstrumentError):
    """The server's queue is full, or it is stopping: the request was not sent."""


class SettingsConflict(InstrumentError):
    """Output on asked for a channel whose attenuation before it was disconnected is unknown."""
