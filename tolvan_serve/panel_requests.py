"""What a page asks of a channel, judged before anything is queued for the instrument.

A request is the JSON body of POST /channels/N:

    {"action": "attenuation", "value": "3.5"}     dB, as text (exactly) or a number
    {"action": "wavelength", "value": 1550}       nm, from the channel's list
    {"action": "clear"} | {"action": "disconnect"} | {"action": "connect"}

An attenuation is judged by the layer's rule (tolvan_lab.units.steps) and refused in its words;
the owner judges a wavelength against the channel's list. Pure logic: the HTTP face submits the
judged request to the owner.
"""

from __future__ import annotations

import json
import re
from concurrent.futures import Future
from decimal import Decimal
from typing import Any, NamedTuple

from tolvan_lab import units
from tolvan_serve.owner import Owner

MAX_BODY = 1024  # bytes: the largest request a page sends is a few dozen
_DECIMAL = re.compile(r"[+-]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?\Z")
ACTIONS = ("attenuation", "wavelength", "clear", "disconnect", "connect")


class Refused(Exception):
    """A request refused before anything was sent: `status` is the HTTP status that says so."""

    def __init__(self, status: int, reason: str) -> None:
        super().__init__(reason)
        self.status = status
        self.reason = reason


class Request(NamedTuple):
    channel: int
    action: str
    value: Decimal | int | float | None

    def described(self) -> str:
        if self.action == "attenuation":
            return f"channel {self.channel}: set {self.value} dB"
        if self.action == "wavelength":
            return f"channel {self.channel}: select {self.value} nm"
        return f"channel {self.channel}: {self.action}"


def judged(channel_text: str, body: bytes, channels: tuple[int, ...]) -> Request:
    """The request in `body` for the channel named `channel_text`; Refused for what cannot be sent."""
    if not channel_text.isdigit() or len(channel_text) > 3 or int(channel_text) not in channels:
        raise Refused(404, f"channel {channel_text[:10]!r}: the channels are {channels[0]} to {channels[-1]}")
    ch = int(channel_text)
    if len(body) > MAX_BODY:
        raise Refused(413, f"a request is at most {MAX_BODY} bytes")
    try:
        asked = json.loads(body)
    except (ValueError, RecursionError):
        raise Refused(400, "the request is not JSON") from None
    if not isinstance(asked, dict) or asked.get("action") not in ACTIONS:
        raise Refused(400, f"give an action: {', '.join(ACTIONS)}")
    action = asked["action"]
    value = asked.get("value")
    if action == "attenuation":
        return Request(ch, action, _attenuation(value))
    if action == "wavelength":
        return Request(ch, action, _wavelength(value))
    if value is not None:
        raise Refused(400, f"{action} takes no value")
    return Request(ch, action, None)


def _attenuation(value: Any) -> Decimal | int | float:
    if isinstance(value, str):
        text = value.strip()
        if not _DECIMAL.match(text) or len(text) > 40:
            raise Refused(422, f"{value[:40]!r} is not a number of dB ({units.ACCEPTED})")
        number: Decimal | int | float = Decimal(text)
    elif isinstance(value, (int, float)) and not isinstance(value, bool):
        number = value
    else:
        raise Refused(422, f"give the attenuation as a number of dB ({units.ACCEPTED})")
    try:
        units.steps(number)
    except (ValueError, TypeError) as error:
        raise Refused(422, str(error)) from None
    return number


def _wavelength(value: Any) -> int:
    if isinstance(value, str) and value.strip().isdigit() and len(value.strip()) <= 6:
        return int(value)
    if isinstance(value, int) and not isinstance(value, bool) and 0 <= value <= 0xFFFF:
        return value
    raise Refused(422, "give the wavelength in nm, one of the channel's list")


def submitted(owner: Owner, request: Request) -> Future[None]:
    """Queues the request with the owner; its Future says what the instrument did."""
    ch = request.channel
    if request.action == "attenuation":
        assert request.value is not None
        return owner.set_attenuation(ch, request.value)
    if request.action == "wavelength":
        assert isinstance(request.value, int)
        return owner.select(ch, request.value)
    if request.action == "clear":
        return owner.clear(ch)
    if request.action == "disconnect":
        return owner.disconnect(ch)
    return owner.reconnect(ch)
