"""What the owner thread tells the faces: what the instrument was seen to hold, as it was seen.

Listeners hear these in the owner thread, after each acknowledgement, status read and change of
the instrument's answering state.
"""

from __future__ import annotations

from typing import NamedTuple

from tolvan_lab import Version


class Online(NamedTuple):
    online: bool
    why: str


class VersionRead(NamedTuple):
    version: Version


class WavelengthsRead(NamedTuple):
    channel: int
    wavelengths: tuple[int, ...]


class ChannelSeen(NamedTuple):
    """What a channel was seen to hold, from a status read or a command's acknowledgement.
    A field is None where this sighting says nothing about it."""

    channel: int
    wavelength_nm: int | None
    attenuation_db: float | None
    connected: bool | None


Event = Online | VersionRead | WavelengthsRead | ChannelSeen
