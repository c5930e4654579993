"""What the front panel shows, kept from the owner's events: the instrument, each channel, the
attenuation trend of the last ten minutes and the last events, and the messages that tell it
to the pages (JSON, one object per WebSocket message).

Pure logic: the HTTP face feeds it the owner's events on its event loop and sends the messages
it returns. A value the instrument was not seen to hold is None, shown as unknown; while the
instrument does not answer, every value is None, never the last one seen.

Messages to a page, each with "type" and "now" (the server's clock, seconds since the epoch):
    hello       the whole state: "port", "readOnly", "token", "instrument", "channels", "trend", "log"
    instrument  {"online": bool or None, "why": str, "version": "M.H.S" or None}
    channel     {"channel": n, "attenuation": dB or None, "wavelength": nm or None,
                 "connected": bool or None, "wavelengths": [nm...] or None, "point": [t, dB or None] or None,
                 "extends": whether the point takes the place of the trend's last one (a run of one value
                 keeps only its two ends)}
    log         {"entry": {"t": t, "kind": kind, "text": text}}; kinds: "set" (a change the instrument
                was seen to make, through any face or its own keys), "refused", "instrument"
"""

from __future__ import annotations

import collections
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from tolvan_serve.events import ChannelSeen, Event, Online, VersionRead, WavelengthsRead

TREND_SECONDS = 600.0
TREND_POINTS = 2000  # per channel; unchanged values collapse, so this bounds a busy minute, not a quiet hour
LOG_ENTRIES = 50

Message = dict[str, Any]


@dataclass
class ChannelView:
    attenuation: float | None = None  # dB; None while disconnected or unknown
    wavelength: int | None = None
    connected: bool | None = None
    wavelengths: tuple[int, ...] | None = None

    def shown(self, ch: int) -> Message:
        return {"channel": ch, "attenuation": self.attenuation, "wavelength": self.wavelength,
                "connected": self.connected,
                "wavelengths": None if self.wavelengths is None else list(self.wavelengths)}


class Trend:
    """One channel's attenuation over the last TREND_SECONDS: (time, dB or None for no light or
    no knowledge) points. A run of equal values keeps only its first and last point."""

    def __init__(self) -> None:
        self.points: collections.deque[tuple[float, float | None]] = collections.deque(maxlen=TREND_POINTS)

    def add(self, t: float, db: float | None) -> bool:
        """Adds a point; True when it took the place of the last one (a run went on)."""
        points = self.points
        extended = len(points) >= 2 and points[-1][1] == db and points[-2][1] == db
        if extended:
            points[-1] = (t, db)  # the run goes on: its end moves
        else:
            points.append((t, db))
        while points and points[0][0] < t - TREND_SECONDS:
            points.popleft()
        return extended


class PanelState:
    def __init__(self, port: str, channels: tuple[int, ...], *, read_only: bool = False, token: str = "",
                 clock: Callable[[], float] = time.time) -> None:
        self.port = port
        self.read_only = read_only
        self.token = token
        self.clock = clock
        self.online: bool | None = None
        self.why = "not opened yet"
        self.version: str | None = None
        self.channels = {ch: ChannelView() for ch in channels}
        self.trends = {ch: Trend() for ch in channels}
        self.log: collections.deque[Message] = collections.deque(maxlen=LOG_ENTRIES)

    # -- what a page is told -----------------------------------------------------------------

    def hello(self) -> Message:
        return {"type": "hello", "now": self.clock(), "port": self.port, "readOnly": self.read_only,
                "token": "" if self.read_only else self.token, "instrument": self._instrument(),
                "channels": [view.shown(ch) for ch, view in self.channels.items()],
                "trend": {str(ch): [list(p) for p in trend.points] for ch, trend in self.trends.items()},
                "log": list(self.log)}

    def _instrument(self) -> Message:
        return {"online": self.online, "why": self.why, "version": self.version}

    def _channel(self, ch: int, point: tuple[float, float | None] | None) -> Message:
        """A channel's message; with a point, the trend's newest (which a page adds as the trend did)."""
        message = {"type": "channel", "now": self.clock(), **self.channels[ch].shown(ch), "point": None,
                   "extends": False}
        if point is not None:
            message["extends"] = self.trends[ch].add(*point)
            message["point"] = list(point)
        return message

    # -- what changes it ---------------------------------------------------------------------

    def apply(self, event: Event) -> list[Message]:
        """Takes in one of the owner's events; the messages that tell the pages what changed."""
        if isinstance(event, Online):
            return self._online(event)
        if isinstance(event, VersionRead):
            self.version = ".".join(map(str, event.version))
            return [{"type": "instrument", "now": self.clock(), **self._instrument()}]
        if isinstance(event, WavelengthsRead):
            if event.channel not in self.channels:
                return []
            self.channels[event.channel].wavelengths = tuple(event.wavelengths)
            return [self._channel(event.channel, None)]
        if isinstance(event, ChannelSeen):
            return self._seen(event)
        return []

    def _seen(self, seen: ChannelSeen) -> list[Message]:
        view = self.channels.get(seen.channel)
        if view is None:
            return []
        before = ChannelView(view.attenuation, view.wavelength, view.connected)
        if seen.wavelength_nm is not None:
            view.wavelength = seen.wavelength_nm
        if seen.connected is not None:
            view.connected = seen.connected
            if not seen.connected:
                view.attenuation = None
        if seen.attenuation_db is not None:
            view.attenuation = seen.attenuation_db
        point = None
        if seen.attenuation_db is not None or seen.connected is False:
            point = (self.clock(), view.attenuation)
        messages = [self._channel(seen.channel, point)]
        change = _change(seen.channel, before, view)
        if change:
            messages.append(self.note("set", change))
        return messages

    def _online(self, event: Online) -> list[Message]:
        was = self.online
        self.online, self.why = event.online, event.why
        messages: list[Message] = []
        if event.online and was is False:
            messages.append(self.note("instrument", "the instrument answers again"))
        elif not event.online:
            # Nothing it held is known now: another instrument may even answer next.
            self.version = None
            now = self.clock()
            for ch in self.channels:
                self.channels[ch] = ChannelView()
                messages.append(self._channel(ch, (now, None)))
            messages.append(self.note("instrument", f"the instrument does not answer: {event.why}"))
        return [{"type": "instrument", "now": self.clock(), **self._instrument()}, *messages]

    def note(self, kind: str, text: str) -> Message:
        """Keeps an entry of the events list; the message that tells it."""
        entry = {"t": self.clock(), "kind": kind, "text": text}
        self.log.append(entry)
        return {"type": "log", "now": entry["t"], "entry": entry}


def _change(ch: int, before: ChannelView, now: ChannelView) -> str:
    """What changed on a channel between two sightings ("" for nothing, or for a first sighting)."""
    if before.connected is not None and now.connected != before.connected:
        if not now.connected:
            return f"channel {ch} disconnected"
        return f"channel {ch} connected, {now.attenuation:.2f} dB" if now.attenuation is not None \
            else f"channel {ch} connected"
    said = []
    if before.attenuation is not None and now.attenuation is not None and now.attenuation != before.attenuation:
        said.append(f"{before.attenuation:.2f} dB \N{RIGHTWARDS ARROW} {now.attenuation:.2f} dB")
    if before.wavelength is not None and now.wavelength != before.wavelength:
        said.append(f"{before.wavelength} nm \N{RIGHTWARDS ARROW} {now.wavelength} nm")
    return f"channel {ch}: {', '.join(said)}" if said else ""
