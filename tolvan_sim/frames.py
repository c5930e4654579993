"""The requests in the simulator's frame log, decoded into the driver calls that send them."""

from __future__ import annotations

from collections.abc import Callable
from typing import NamedTuple


class Command(NamedTuple):
    """One request the instrument received, as the driver call that sends it.

    `name` is the driver method ("set_attenuation", ...), `channel` the channel
    byte, `value` what the method was given as far as the frame carries it: mdB
    for set_attenuation (the frame carries 0.01 dB steps: set_attenuation(1234)
    lists 1230), the wavelength in nm for set_optical_length (None when the
    list is unknown, as with --relay and --replay, or the position is past it),
    None otherwise and for a payload the method never sends. A frame no driver
    method sends has the name None and its bytes as value: only --relay and
    --replay take one, the simulated instrument refuses it.
    """

    name: str | None
    channel: int
    value: int | bytes | None = None


class Refused(NamedTuple):
    """Bytes the instrument refused or ignored, and the reason its log gives."""

    frame: bytes
    reason: str


# Command bytes -> the driver method that sends them; 14 34 is two methods, told apart by payload.
_NAMES = {
    b"\x00\x03": "read_device_version",
    b"\x07\x2e": "read_optical_length",
    b"\x14\x36": "read_current_status",
    b"\x00\x05": "close_full_screen",
    b"\x14\x3a": "set_optical_length",
    b"\x14\x3c": "set_attenuation",
}
_CLEAR_OR_DISCONNECT = {b"\x00\x00": "clear_attenuation", b"\xff\xff": "dis_connection"}


def decode(frame: bytes, wavelengths: Callable[[int], list[int]]) -> Command:
    """The command a request frame carries; `wavelengths(channel)` gives a channel's list in nm."""
    if len(frame) < 7:
        return Command(None, frame[1] if len(frame) > 1 else 0, frame)
    channel, command, payload = frame[1], frame[3:5], frame[5:-2]
    if command == b"\x14\x34":
        name = _CLEAR_OR_DISCONNECT.get(payload)
        return Command(name, channel, None) if name else Command(None, channel, frame)
    name = _NAMES.get(command)
    if name is None:
        return Command(None, channel, frame)
    if name == "set_attenuation" and len(payload) == 2:
        return Command(name, channel, int.from_bytes(payload, "little") * 10)
    if name == "set_optical_length" and len(payload) == 1:
        listed = wavelengths(channel)
        return Command(name, channel, listed[payload[0]] if payload[0] < len(listed) else None)
    return Command(name, channel, None)
