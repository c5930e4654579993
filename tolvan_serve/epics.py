"""The instrument as EPICS records, served by an IOC in this process (pythonSoftIOC).

Per channel n, with the prefix P:

    P CHn:ATT / CHn:ATT_RBV         ao / ai        attenuation in dB (PREC 2, DRVL 0, DRVH 655.34)
    P CHn:WL / CHn:WL_RBV           longout / longin   wavelength in nm
    P CHn:WL_LIST                   waveform (LONG)    the supported wavelengths
    P CHn:CONNECTED_RBV             bi             1 connected, 0 disconnected
    P CHn:DISCONNECT, CHn:CLEAR     bo             writing 1 runs the command
    P VERSION                       stringin       M.H.S
    P ONLINE                        bi             1 while the instrument answers

A put completes once the instrument has acknowledged it (or once it is known that it did not);
a value the instrument cannot take is refused: the record keeps its value and its alarm says
why (HWLIMIT, MAJOR, and the reason in AMSG). While the instrument does not answer, the
readbacks are INVALID with a COMM alarm. Needs the `epics` extra: pip install 'tolvan[epics]'.

softioc can start one IOC per process, once.
"""

from __future__ import annotations

import asyncio
import ctypes
import logging
import os
import sys
from collections.abc import Callable, Coroutine
from typing import Any

from softioc import alarm, asyncio_dispatcher, builder, softioc  # type: ignore[import-untyped]

from tolvan_lab import InstrumentError, NoReply, PortUnavailable, units
from tolvan_lab.errors import NotSupported
from tolvan_serve.events import ChannelSeen, Event, Online, VersionRead, WavelengthsRead
from tolvan_serve.owner import Owner

log = logging.getLogger("tolvan_serve")

MAX_WAVELENGTHS = 255  # a list reply's count is one byte
DISCONNECTED_DB = units.DISCONNECTED_STEPS / units.STEPS_PER_DB  # what the instrument reports: no light passes


def _flush_c_stdout() -> None:
    try:
        ctypes.CDLL(None).fflush(None)
    except (OSError, AttributeError, TypeError):  # no C library by that name here: nothing to flush
        pass


def _set_alarm_message(record: Any, status: int, severity: int, message: str) -> None:
    """Raises the alarm that a put's completion will show, with `message` in the record's AMSG.

    The alarm message came with EPICS base 7.0.6 (recGblSetSevrMsg); where it is missing the
    severity and status are set without it.
    """
    try:
        from epicscorelibs.ioc import dbCore  # type: ignore[import-untyped]

        pointer = ctypes.c_void_p(record._record.record.value)
        set_with_message = dbCore.recGblSetSevrMsg
    except (ImportError, AttributeError):
        record._record.NSEV, record._record.NSTA = severity, status
        return
    # The message is the format: with its % doubled there is nothing more to pass.
    text = message.replace("%", "%%").encode("ascii", "replace")[:39]
    dbCore.dbScanLock(pointer)
    try:
        set_with_message(pointer, ctypes.c_uint16(status), ctypes.c_uint16(severity), ctypes.c_char_p(text))
    finally:
        dbCore.dbScanUnlock(pointer)


def _restore(record: Any, value: Any) -> None:
    """Puts `value` back in a record whose put was refused, unless another put came meanwhile
    (a plain caput while this one was judged): EPICS then processes the record again with that
    value, which must not be overwritten (it would be lost, and the old value sent again)."""
    try:
        from epicscorelibs.ioc import dbCore  # type: ignore[import-untyped,unused-ignore]

        pointer = ctypes.c_void_p(record._record.record.value)
        lock, unlock = dbCore.dbScanLock, dbCore.dbScanUnlock
    except (ImportError, AttributeError):
        if not record._record.RPRO:
            record.set(value, process=False)
        return
    lock(pointer)  # a put from a client waits meanwhile (the lock is recursive: set() takes it too)
    try:
        if not record._record.RPRO:
            record.set(value, process=False)
    finally:
        unlock(pointer)


class EpicsFace:
    """The records of `owner`'s instrument under `prefix`; start() starts the IOC."""

    def __init__(self, owner: Owner, prefix: str, loop: asyncio.AbstractEventLoop) -> None:
        self.owner = owner
        self.prefix = prefix
        self.loop = loop
        self._good: dict[str, Any] = {}  # per setpoint record, the value last accepted
        self._synced: set[int] = set()  # channels whose setpoints took the instrument's values
        self.records: dict[str, Any] = {}
        p = prefix
        self.version = self._record(builder.stringIn, f"{p}VERSION")
        self.online = self._record(builder.boolIn, f"{p}ONLINE", ZNAM="Offline", ONAM="Online", ZSV="MAJOR",
                                   initial_value=0)
        self.att, self.att_rbv, self.wl, self.wl_rbv, self.wl_list, self.connected = {}, {}, {}, {}, {}, {}
        self.readbacks: list[Any] = [self.version]
        put = {"always_update": True, "blocking": True}  # every put runs, and completes when acknowledged
        for ch in owner.channels:
            c = f"{p}CH{ch}:"
            self.att[ch] = self._record(builder.aOut, f"{c}ATT", initial_value=0.0, EGU="dB", PREC=2, DRVL=0,
                                        DRVH=units.MAX_DB, on_update=self._put(ch, f"{c}ATT", self._set_attenuation),
                                        **put)
            self.att_rbv[ch] = self._record(builder.aIn, f"{c}ATT_RBV", initial_value=0.0, EGU="dB", PREC=2)
            self.wl[ch] = self._record(builder.longOut, f"{c}WL", initial_value=0, EGU="nm",
                                       on_update=self._put(ch, f"{c}WL", self._select), **put)
            self.wl_rbv[ch] = self._record(builder.longIn, f"{c}WL_RBV", initial_value=0, EGU="nm")
            self.wl_list[ch] = self._record(builder.WaveformIn, f"{c}WL_LIST", datatype=int, length=MAX_WAVELENGTHS)
            self.connected[ch] = self._record(builder.boolIn, f"{c}CONNECTED_RBV", ZNAM="Disconnected",
                                              ONAM="Connected", initial_value=0)
            self._record(builder.boolOut, f"{c}DISCONNECT", ZNAM="Idle", ONAM="Disconnect", initial_value=0,
                         on_update=self._put(ch, f"{c}DISCONNECT", self._disconnect), **put)
            self._record(builder.boolOut, f"{c}CLEAR", ZNAM="Idle", ONAM="Clear", initial_value=0,
                         on_update=self._put(ch, f"{c}CLEAR", self._clear), **put)
            self._good[f"{c}ATT"], self._good[f"{c}WL"] = 0.0, 0
            self.readbacks += [self.att_rbv[ch], self.wl_rbv[ch], self.wl_list[ch], self.connected[ch]]
        for record in self.readbacks:  # unknown until the instrument is read
            record.set_alarm(alarm.INVALID_ALARM, alarm.COMM_ALARM)
        owner.listen(self._heard)

    def _record(self, make: Callable[..., Any], name: str, **fields: Any) -> Any:
        self.records[name] = make(name, **fields)
        return self.records[name]

    def start(self) -> None:
        """Loads the records and starts the IOC, whose puts run on this face's event loop."""
        # EPICS prints its banner on the standard output of C: it goes to standard error with
        # the server's log, so that standard output keeps only what the command writes there.
        sys.stdout.flush()
        saved = os.dup(1)
        try:
            os.dup2(2, 1)
            builder.LoadDatabase()
            softioc.iocInit(asyncio_dispatcher.AsyncioDispatcher(loop=self.loop))
        finally:
            _flush_c_stdout()
            os.dup2(saved, 1)
            os.close(saved)

    # -- puts --------------------------------------------------------------------------------

    def _put(self, ch: int, name: str, act: Callable[[int, Any], Coroutine[Any, Any, None]]
             ) -> Callable[[Any], Coroutine[Any, Any, None]]:
        async def on_update(value: Any) -> None:
            record = self.records[name]
            try:
                await act(ch, value)
            except (NotSupported, ValueError) as refused:
                # The record goes back to the value it had; its alarm says why.
                if name in self._good:
                    _restore(record, self._good[name])
                _set_alarm_message(record, alarm.HW_LIMIT_ALARM, alarm.MAJOR_ALARM, _short(refused, value))
            except NoReply:
                _set_alarm_message(record, alarm.COMM_ALARM, alarm.INVALID_ALARM, "no reply from the instrument")
            except PortUnavailable:
                _set_alarm_message(record, alarm.COMM_ALARM, alarm.INVALID_ALARM, "the port is not open")
            except InstrumentError as error:  # the server is stopping, or another refusal
                _set_alarm_message(record, alarm.COMM_ALARM, alarm.INVALID_ALARM, str(error))
            except Exception:  # a fault of this server: logged, and the put still completes
                log.exception("EPICS: a put to %s failed", name)
                _set_alarm_message(record, alarm.SOFT_ALARM, alarm.INVALID_ALARM, "the server failed (see its log)")
            else:
                if name in self._good:
                    self._good[name] = value
        return on_update

    async def _set_attenuation(self, ch: int, value: float) -> None:
        units.steps(value)  # ValueError for what the instrument cannot hold: nothing is queued
        await asyncio.wrap_future(self.owner.set_attenuation(ch, value))

    async def _select(self, ch: int, value: int) -> None:
        await asyncio.wrap_future(self.owner.select(ch, int(value)))

    async def _disconnect(self, ch: int, value: int) -> None:
        if value:
            await asyncio.wrap_future(self.owner.disconnect(ch))

    async def _clear(self, ch: int, value: int) -> None:
        if value:
            await asyncio.wrap_future(self.owner.clear(ch))

    # -- readbacks ---------------------------------------------------------------------------

    def _heard(self, event: Event) -> None:
        """In the owner thread: the records change on the event loop, in the order heard."""
        self.loop.call_soon_threadsafe(self._show, event)

    def _show(self, event: Event) -> None:
        if isinstance(event, Online):
            self.online.set(int(event.online))
            if not event.online:
                for record in self.readbacks:
                    record.set_alarm(alarm.INVALID_ALARM, alarm.COMM_ALARM)
        elif isinstance(event, VersionRead):
            self.version.set(".".join(map(str, event.version)))
        elif isinstance(event, WavelengthsRead):
            self.wl_list[event.channel].set(list(event.wavelengths[:MAX_WAVELENGTHS]))
        elif isinstance(event, ChannelSeen):
            self._show_channel(event)

    def _show_channel(self, seen: ChannelSeen) -> None:
        ch = seen.channel
        if seen.wavelength_nm is not None:
            self.wl_rbv[ch].set(seen.wavelength_nm)
        if seen.connected is not None:
            self.connected[ch].set(int(seen.connected))
            if not seen.connected:
                self.att_rbv[ch].set(DISCONNECTED_DB)
        if seen.attenuation_db is not None:
            self.att_rbv[ch].set(seen.attenuation_db)
        complete = seen.wavelength_nm is not None and seen.connected is not None
        if complete and ch not in self._synced:
            # The setpoints start from what the instrument holds, without processing (no put).
            self._synced.add(ch)
            c = f"{self.prefix}CH{ch}:"
            self.wl[ch].set(seen.wavelength_nm, process=False)
            self._good[f"{c}WL"] = seen.wavelength_nm
            if seen.attenuation_db is not None:
                self.att[ch].set(seen.attenuation_db, process=False)
                self._good[f"{c}ATT"] = seen.attenuation_db


def _short(refusal: Exception, value: Any) -> str:
    """A refusal in the 39 characters of AMSG."""
    if isinstance(refusal, NotSupported):
        return f"{value} nm: not {','.join(map(str, refusal.supported))}"[:39] if refusal.supported else \
            f"{value} nm: the channel lists none"
    return "not 0-655.34 dB in 0.01 dB steps"
