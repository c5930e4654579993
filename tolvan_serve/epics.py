"""The instrument as EPICS records, served by an IOC in this process (pythonSoftIOC).

Per channel n, with the prefix P:

    P CHn:ATT / CHn:ATT_RBV         ao / ai        attenuation in dB (PREC 2); NaN while disconnected
    P CHn:WL / CHn:WL_RBV           longout / longin   wavelength in nm
    P CHn:WL_LIST                   waveform (LONG)    the supported wavelengths
    P CHn:CONNECTED_RBV             bi             1 connected, 0 disconnected
    P CHn:DISCONNECT, CHn:CLEAR     bo             writing 1 runs the command; back to 0 once done
    P VERSION                       stringin       M.H.S
    P ONLINE                        bi             1 while the instrument answers

The setpoints (ATT, WL) show what the instrument holds: they follow every change seen, whichever
face made it, without sending anything. A put is handed to the instrument layer as the client
gave it, and completes once the instrument has acknowledged it (or once it is known that it did
not); a refused or failed put leaves the setpoint at what the instrument holds, with the reason in
its alarm (MAJOR/HWLIMIT: a value the instrument cannot take; INVALID/COMM: no reply, or no port).
While the instrument does not answer, the readbacks are INVALID with a COMM alarm. Monitors are
posted only when a value or its alarm changes. Needs the `epics` extra: pip install 'tolvan[epics]'.

softioc can start one IOC per process, once.
"""

from __future__ import annotations

import asyncio
import logging
import math
import os
import sys
import threading
from collections.abc import Callable, Coroutine
from typing import Any, NamedTuple

from softioc import alarm, asyncio_dispatcher, builder, softioc  # type: ignore[import-untyped]

from tolvan_lab import InstrumentError, NoReply, PortUnavailable, units
from tolvan_serve.events import ChannelSeen, Event, Online, VersionRead, WavelengthsRead
from tolvan_serve.owner import Owner

log = logging.getLogger("tolvan_serve")

MAX_WAVELENGTHS = 255  # a list reply's count is one byte
NO_ATTENUATION = math.nan  # a disconnected channel's: no number a client could take for one


class Held(NamedTuple):
    """What a channel was last seen to hold; None where nothing has been seen. `attenuation_db`
    is None while the channel is disconnected."""

    wavelength_nm: int | None = None
    attenuation_db: float | None = None
    connected: bool | None = None


def merged(held: Held, seen: ChannelSeen) -> Held:
    """What the channel holds after `seen`, which may tell only part of it."""
    connected = held.connected if seen.connected is None else seen.connected
    if seen.attenuation_db is not None:
        attenuation = seen.attenuation_db
    elif seen.connected is False:
        attenuation = None
    else:
        attenuation = held.attenuation_db
    wavelength = held.wavelength_nm if seen.wavelength_nm is None else seen.wavelength_nm
    return Held(wavelength, attenuation, connected)


def attenuation_shown(held: Held) -> tuple[float, int, int] | None:
    """The attenuation a record shows for `held` with its alarm severity and status, or None
    while it is unknown. A disconnected channel has none: NaN, INVALID, STATE."""
    if held.attenuation_db is not None:
        return held.attenuation_db, alarm.NO_ALARM, alarm.NO_ALARM
    if held.connected is False:
        return NO_ATTENUATION, alarm.INVALID_ALARM, alarm.STATE_ALARM
    return None


def refusal_alarm(error: BaseException) -> tuple[int, int]:
    """The severity and status a put's failure leaves in its record's alarm."""
    if isinstance(error, ValueError):  # the instrument cannot take the value (NotSupported too): nothing sent
        return alarm.MAJOR_ALARM, alarm.HW_LIMIT_ALARM
    if isinstance(error, InstrumentError):  # no reply, no port, the server stopping
        return alarm.INVALID_ALARM, alarm.COMM_ALARM
    return alarm.INVALID_ALARM, alarm.SOFT_ALARM  # a fault of this server


# The alarm statuses a setpoint follows, as its STAT field reads.
_STATUS_NAMES = {alarm.NO_ALARM: "NO_ALARM", alarm.COMM_ALARM: "COMM", alarm.STATE_ALARM: "STATE"}


def _same(shown: Any, value: Any) -> bool:
    nan = isinstance(shown, float) and isinstance(value, float) and math.isnan(shown) and math.isnan(value)
    return nan or bool(shown == value)


class EpicsFace:
    """The records of `owner`'s instrument under `prefix`; start() starts the IOC."""

    def __init__(self, owner: Owner, prefix: str, loop: asyncio.AbstractEventLoop) -> None:
        self.owner = owner
        self.prefix = prefix
        self.loop = loop
        self.records: dict[str, Any] = {}
        self._held: dict[int, Held] = {ch: Held() for ch in owner.channels}
        self._putting: set[str] = set()  # the setpoints whose put is being carried out
        self._echo_thread: int | None = None  # see _post
        p = prefix
        self.version = self._make_record(builder.stringIn, f"{p}VERSION")
        self.online = self._make_record(builder.boolIn, f"{p}ONLINE", ZNAM="Offline", ONAM="Online", ZSV="MAJOR",
                                        initial_value=0)
        self.att, self.att_rbv, self.wl, self.wl_rbv, self.wl_list, self.connected = {}, {}, {}, {}, {}, {}
        self.readbacks: list[Any] = [self.version]
        # Every put runs (a value equal to the last one shown is still sent), completes once the
        # instrument has acknowledged it, and is judged by the layer alone: no DRVL/DRVH to clamp it.
        put = {"always_update": True, "blocking": True, "validate": self._validate}
        in_db = {"EGU": "dB", "PREC": 2, "LOPR": 0, "HOPR": units.MAX_DB}
        for ch in owner.channels:
            c = f"{p}CH{ch}:"
            self.att[ch] = self._make_record(builder.aOut, f"{c}ATT", initial_value=0.0, **in_db, **put,
                                             on_update=self._put(ch, f"{c}ATT", self._set_attenuation))
            self.att_rbv[ch] = self._make_record(builder.aIn, f"{c}ATT_RBV", initial_value=0.0, **in_db)
            self.wl[ch] = self._make_record(builder.longOut, f"{c}WL", initial_value=0, EGU="nm", **put,
                                            on_update=self._put(ch, f"{c}WL", self._select))
            # MDEL 0: a monitor when the wavelength changes, not at every poll.
            self.wl_rbv[ch] = self._make_record(builder.longIn, f"{c}WL_RBV", initial_value=0, EGU="nm", MDEL=0)
            self.wl_list[ch] = self._make_record(builder.WaveformIn, f"{c}WL_LIST", datatype=int,
                                                 length=MAX_WAVELENGTHS)
            self.connected[ch] = self._make_record(builder.boolIn, f"{c}CONNECTED_RBV", ZNAM="Disconnected",
                                                   ONAM="Connected", initial_value=0)
            for action, act in (("DISCONNECT", self._disconnect), ("CLEAR", self._clear)):
                self._make_record(builder.boolOut, f"{c}{action}", ZNAM="Idle", ONAM=action.title(), initial_value=0,
                                  **put, on_update=self._put(ch, f"{c}{action}", act))
            self.readbacks += [self.att_rbv[ch], self.wl_rbv[ch], self.wl_list[ch], self.connected[ch]]
        for record in self.readbacks:  # unknown until the instrument is read
            record.set_alarm(alarm.INVALID_ALARM, alarm.COMM_ALARM)
        owner.listen(self._heard)

    def _make_record(self, make: Callable[..., Any], name: str, **fields: Any) -> Any:
        self.records[name] = make(name, **fields)
        return self.records[name]

    def start(self) -> None:
        """Loads the records and starts the IOC, whose puts run on this face's event loop."""
        # EPICS prints its banner on the standard output of C (and flushes it): it goes to standard
        # error with the server's log, so that standard output keeps only what the command writes there.
        sys.stdout.flush()
        saved = os.dup(1)
        try:
            os.dup2(2, 1)
            builder.LoadDatabase()
            softioc.iocInit(asyncio_dispatcher.AsyncioDispatcher(loop=self.loop))
        finally:
            os.dup2(saved, 1)
            os.close(saved)

    # -- puts --------------------------------------------------------------------------------

    def _validate(self, record: Any, value: Any) -> bool:
        """Every client's value goes to the instrument; only this face's own processing of a
        setpoint (_post, in this thread) is turned back, so that it sends nothing."""
        return threading.get_ident() != self._echo_thread

    def _put(self, ch: int, name: str, act: Callable[[int, Any], Coroutine[Any, Any, None]]
             ) -> Callable[[Any], Coroutine[Any, Any, None]]:
        async def on_update(value: Any) -> None:
            self._putting.add(name)
            severity = status = alarm.NO_ALARM
            try:
                await act(ch, value)
            except Exception as error:  # reported in the record's alarm; the put still completes
                if not isinstance(error, (ValueError, InstrumentError)):
                    log.exception("EPICS: a put to %s failed", name)
                severity, status = refusal_alarm(error)
            finally:
                self._putting.discard(name)
            self._settle(ch, name, severity, status)
        return on_update

    def _settle(self, ch: int, name: str, severity: int, status: int) -> None:
        """At the end of a put (its completion posts the monitors): the setpoint shows what the
        instrument holds, an action record 0, and the alarm what became of the put."""
        record = self.records[name]
        if record.get_field("RPRO") != "0":
            return  # a client's next put waits in the record: it runs next, and shows its own outcome
        held = self._held[ch]
        if name.endswith(":ATT"):
            shown = attenuation_shown(held)
            if shown is not None and severity == alarm.NO_ALARM:
                value, severity, status = shown
            else:  # unknown, after a put that failed: no number rather than one the instrument may not hold
                value = NO_ATTENUATION if shown is None else shown[0]
        elif name.endswith(":WL"):
            value = record.get() if held.wavelength_nm is None else held.wavelength_nm
        else:
            value = 0
        record.set(value, process=False, severity=severity, alarm=status)

    async def _set_attenuation(self, ch: int, value: float) -> None:
        await asyncio.wrap_future(self.owner.set_attenuation(ch, value))

    async def _select(self, ch: int, value: int) -> None:
        await asyncio.wrap_future(self.owner.select(ch, int(value)))

    async def _disconnect(self, ch: int, value: int) -> None:
        if value:
            await asyncio.wrap_future(self.owner.disconnect(ch))

    async def _clear(self, ch: int, value: int) -> None:
        if value:
            await asyncio.wrap_future(self.owner.clear(ch))

    # -- what the instrument was seen to hold -------------------------------------------------

    def _heard(self, event: Event) -> None:
        """In the owner thread: the records change on the event loop, in the order heard."""
        self.loop.call_soon_threadsafe(self._show, event)

    def _show(self, event: Event) -> None:
        if isinstance(event, Online):
            self.online.set(int(event.online))
            if not event.online:
                # Nothing is known until the instrument answers again (perhaps another one, behind
                # the same port): the values stay, marked INVALID, and are read anew.
                self._held = {ch: Held() for ch in self._held}
                for record in self.readbacks:
                    record.set_alarm(alarm.INVALID_ALARM, alarm.COMM_ALARM)
                for name in (f"{self.prefix}CH{ch}:{what}" for ch in self._held for what in ("ATT", "WL")):
                    self._follow(name, self.records[name].get(), alarm.INVALID_ALARM, alarm.COMM_ALARM)
        elif isinstance(event, VersionRead):
            self.version.set(".".join(map(str, event.version)))
        elif isinstance(event, WavelengthsRead):
            self.wl_list[event.channel].set(list(event.wavelengths[:MAX_WAVELENGTHS]))
        elif isinstance(event, ChannelSeen):
            self._show_channel(event)

    def _show_channel(self, seen: ChannelSeen) -> None:
        ch = seen.channel
        held = self._held[ch] = merged(self._held[ch], seen)
        c = f"{self.prefix}CH{ch}:"
        if seen.wavelength_nm is not None:
            self.wl_rbv[ch].set(seen.wavelength_nm)
            self._follow(f"{c}WL", seen.wavelength_nm, alarm.NO_ALARM, alarm.NO_ALARM)
        if seen.connected is not None:
            self.connected[ch].set(int(seen.connected))
        if seen.attenuation_db is not None or seen.connected is False:
            shown = attenuation_shown(held)
            assert shown is not None
            self.att_rbv[ch].set(shown[0], severity=shown[1], alarm=shown[2])
            self._follow(f"{c}ATT", *shown)

    def _follow(self, name: str, value: Any, severity: int, status: int) -> None:
        """The setpoint `name` shows `value`, what the instrument holds, unless it does already (a
        refusal's alarm stays until the next put) or a put is being carried out.

        One moment remains where a plain put (caput without -c) can be overwritten: after a put's
        completion, while EPICS has yet to process the next put queued behind it; it then sends
        what the instrument holds already. Without the record's lock, out of softioc's reach, that
        moment cannot be closed."""
        record = self.records[name]
        if name in self._putting or record.get_field("PACT") != "0":
            return  # a put is being carried out: it shows what the instrument holds at its end
        if _same(record.get(), value):
            now = record.get_field("STAT")
            if now == _STATUS_NAMES[status] or (status == alarm.NO_ALARM and now != "COMM"):
                return  # shown already; a refusal's alarm stays until the next put
        record.set(value, process=False, severity=severity, alarm=status)
        self._post(record, value)

    def _post(self, record: Any, value: Any) -> None:
        """Posts the monitors of a setpoint set without processing: the record is processed here,
        and _validate turns it back, so that nothing is sent."""
        self._echo_thread = threading.get_ident()
        try:
            record.set(value)
        finally:
            self._echo_thread = None
