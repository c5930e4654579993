"""The attenuator as an ophyd-async device for Bluesky (the extra `tolvan[bluesky]`).

    import bluesky.plans as bp
    from bluesky import RunEngine
    from ophyd_async.core import init_devices
    from tolvan_lab.bluesky import TolvanAttenuator

    RE = RunEngine()
    with init_devices():                       # names it "att" and opens the port
        att = TolvanAttenuator("/dev/ttyUSB0")
    RE(bp.scan([att.ch2], att.ch2.attenuation, 0, 10, 21))

Each channel `att.ch1` ... is readable: a reading holds its `attenuation` (dB), `wavelength` (nm)
and `connected`, all from one status read. `attenuation` and `wavelength` are movable: a `set`
finishes when the instrument has acknowledged the command, and fails with the instrument layer's
exception (NoReply, PortUnavailable, ValueError) when it has not. The serial line is blocking:
every command runs in a worker thread (asyncio.to_thread), never on the event loop.
"""

from __future__ import annotations

import asyncio
import math
import numbers
import time
from collections.abc import Awaitable, Callable
from typing import Any, Generic, TypeVar

from bluesky.protocols import Location, Reading
from event_model import DataKey
from ophyd_async.core import (
    CALCULATE_TIMEOUT,
    AsyncStatus,
    CalculatableTimeout,
    Device,
    DeviceConnector,
    NotConnectedError,
    SignalBackend,
    SignalMetadata,
    SignalR,
    SignalRW,
    StandardReadable,
    StandardReadableFormat,
    make_datakey,
)

from tolvan_lab import units
from tolvan_lab.attenuator import Attenuator, Channel, ChannelStatus
from tolvan_lab.errors import InstrumentError, shown

__all__ = ["TolvanAttenuator", "TolvanChannel"]

T = TypeVar("T", bound=float | int | bool)
R = TypeVar("R")

Callback = Callable[[Reading[T]], None]


def _number(value: Any, what: str) -> int | float:
    """A number as the instrument layer takes it: numpy's scalars become int or float."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{what} must be a number, not {type(value).__name__}")
    return int(value) if isinstance(value, numbers.Integral) else float(value)


async def _as_the_layer_raised(call: Awaitable[R]) -> R:
    """ophyd-async turns a TimeoutError from a backend into its own TimeoutError naming the signal.
    NoReply, which is a TimeoutError too, says what happened: it is raised as itself. (A time-out of
    ophyd-async's own, with no instrument error behind it, stays as it is.)"""
    try:
        return await call
    except TimeoutError as error:
        if isinstance(error.__cause__, InstrumentError):
            raise error.__cause__ from None
        raise


class _InstrumentSignalR(SignalR[T]):
    """A read-only signal whose failures are the instrument layer's exceptions."""

    async def read(self, cached: bool | None = None) -> dict[str, Reading[Any]]:
        return await _as_the_layer_raised(super().read(cached))

    async def get_value(self, cached: bool | None = None) -> T:
        return await _as_the_layer_raised(super().get_value(cached))


class _InstrumentSignalRW(SignalRW[T]):
    """A read-write signal whose failures, and whose statuses' failures, are the instrument
    layer's exceptions."""

    async def read(self, cached: bool | None = None) -> dict[str, Reading[Any]]:
        return await _as_the_layer_raised(super().read(cached))

    async def get_value(self, cached: bool | None = None) -> T:
        return await _as_the_layer_raised(super().get_value(cached))

    async def locate(self) -> Location[T]:
        return await _as_the_layer_raised(super().locate())

    @AsyncStatus.wrap
    # CALCULATE_TIMEOUT is a plain str constant to mypy, where ophyd-async annotates Literal.
    async def set(self, value: T, timeout: CalculatableTimeout = CALCULATE_TIMEOUT) -> None:  # type: ignore[assignment]
        await _as_the_layer_raised(super().set(value, timeout))


class _ChannelBackend(SignalBackend[T], Generic[T]):
    """One field of a channel's status, read from the instrument at every uncached read; monitors
    see every value this device reads or sets (nothing else changes the instrument: the port is
    held alone)."""

    def __init__(self, datatype: type[T], channel: TolvanChannel, field: str, metadata: SignalMetadata,
                 zero: T) -> None:
        super().__init__(datatype)
        self._datatype = datatype
        self._channel = channel
        self._field = field
        self._metadata = metadata
        self._reading: Reading[T] | None = None
        self._zero = zero
        self._setpoint: T | None = None
        self._callback: Callback[T] | None = None

    def source(self, name: str, read: bool) -> str:
        return f"tolvan://{shown(self._channel.lab.attenuator.port)}#ch{self._channel.lab.number}/{self._field}"

    async def connect(self, timeout: float) -> None:
        pass  # the attenuator's own connect opened the port

    async def put(self, value: T | None) -> None:
        if value is None:
            raise ValueError(f"{self._field} needs a value to set")
        try:
            self._setpoint = await self._channel._write(self._field, value)
        except BaseException:
            # A set that failed may still have reached the instrument (only its reply was lost):
            # the setpoint is then unknown, and locate() reads the instrument instead.
            self._setpoint = None
            raise

    async def get_datakey(self, source: str) -> DataKey:
        value = self._reading["value"] if self._reading is not None else self._zero
        return make_datakey(self._datatype, value, source, self._metadata)

    async def get_reading(self) -> Reading[T]:
        await self._channel._read_status()
        assert self._reading is not None  # the read published it
        return self._reading

    async def get_value(self) -> T:
        return (await self.get_reading())["value"]

    async def get_setpoint(self) -> T:
        return self._setpoint if self._setpoint is not None else await self.get_value()

    def set_callback(self, callback: Callback[T] | None) -> None:
        self._callback = callback
        if callback is None:
            return
        if self._reading is not None:
            callback(self._reading)
        else:  # a monitor wants a first value: read one
            task = asyncio.get_running_loop().create_task(self._channel._read_status())
            task.add_done_callback(_log_failure(self._channel, f"first reading of {self._field}"))

    def _publish(self, value: T, timestamp: float) -> None:
        self._reading = Reading(value=value, timestamp=timestamp, alarm_severity=0)
        if self._callback is not None:
            self._callback(self._reading)


def _log_failure(device: Device, what: str) -> Callable[[asyncio.Future[Any]], None]:
    def done(task: asyncio.Future[Any]) -> None:
        if not task.cancelled() and (error := task.exception()) is not None:
            device.log.warning("%s failed: %s", what, error)
    return done


class TolvanChannel(StandardReadable):
    """One channel: `attenuation` (dB, read-write), `wavelength` (nm, read-write) and `connected`
    (read-only). Reading the channel reads its status once for all three.

    `attenuation` reads NaN while the channel is disconnected (`connected` is then False).
    """

    def __init__(self, channel: Channel, name: str = "") -> None:
        self.lab = channel  # the tolvan_lab Channel
        self._pending: asyncio.Future[ChannelStatus] | None = None
        attenuation = _ChannelBackend(float, self, "attenuation", SignalMetadata(
            units="dB", precision=2, limits={"control": {"low": 0.0, "high": units.MAX_DB}}), 0.0)
        wavelength = _ChannelBackend(int, self, "wavelength", SignalMetadata(units="nm"), 0)
        connected = _ChannelBackend(bool, self, "connected", SignalMetadata(), False)
        self._backends = (attenuation, wavelength, connected)
        # Uncached: every read asks the instrument (a serial line has no monitors to keep a cache fresh).
        with self.add_children_as_readables(StandardReadableFormat.HINTED_UNCACHED_SIGNAL):
            self.attenuation = _InstrumentSignalRW(attenuation)
        with self.add_children_as_readables(StandardReadableFormat.UNCACHED_SIGNAL):
            self.wavelength = _InstrumentSignalRW(wavelength)
            self.connected = _InstrumentSignalR(connected)
        super().__init__(name=name)

    async def _read_status(self) -> ChannelStatus:
        """The channel's status, read in a worker thread; reads asked for while one is on its way
        share it (reading the channel reads all three fields at once)."""
        if self._pending is None or self._pending.done():
            self._pending = asyncio.ensure_future(self._status_once())
            # Its failure reaches every reader; marked as seen should they all have given up waiting.
            self._pending.add_done_callback(lambda done: done.cancelled() or done.exception())
        return await asyncio.shield(self._pending)

    async def _status_once(self) -> ChannelStatus:
        status = await asyncio.to_thread(self.lab.status)
        if status.wavelength_nm is None:
            raise InstrumentError(f"channel {self.lab.number} of {shown(self.lab.attenuator.port)} names a "
                                  f"wavelength outside its list ({', '.join(map(str, self.lab.wavelengths))})",
                                  port=self.lab.attenuator.port, command=f"read_current_status(ch={self.lab.number})")
        now = time.time()
        attenuation, wavelength, connected = self._backends
        attenuation._publish(math.nan if status.attenuation_db is None else status.attenuation_db, now)
        wavelength._publish(status.wavelength_nm, now)
        connected._publish(status.connected, now)
        return status

    async def _write(self, field: str, value: Any) -> Any:
        """Sets the field on the instrument (in a worker thread); the value it acknowledged."""
        self._pending = None  # a read on its way began before this: later reads ask again
        attenuation, wavelength, connected = self._backends
        if field == "attenuation":
            db = units.db(units.steps(_number(value, "an attenuation in dB")))  # ValueError: nothing sent
            await asyncio.to_thread(setattr, self.lab, "attenuation", db)
            now = time.time()
            attenuation._publish(db, now)
            connected._publish(True, now)  # setting the attenuation connects the channel
            return db
        if field != "wavelength":
            raise TypeError(f"{field} is read-only")
        number = _number(value, "a wavelength in nm")
        if number != int(number):
            raise ValueError(f"channel {self.lab.number} does not support {value} nm; it supports "
                             f"{', '.join(map(str, self.lab.wavelengths))}")
        await asyncio.to_thread(setattr, self.lab, "wavelength", int(number))
        wavelength._publish(int(number), time.time())
        return int(number)


class _PortConnector(DeviceConnector):
    """Opens the port (in a worker thread) before the channels connect; reads the version and
    every channel's wavelength list once, so that a wrong port fails at connect."""

    def __init__(self, attenuator: Attenuator) -> None:
        self.attenuator = attenuator

    async def connect_real(self, device: Device, timeout: float, force_reconnect: bool) -> None:
        att = self.attenuator

        def open_and_read() -> None:
            if force_reconnect:
                att.close()
            att.open()
            try:
                att.version
                for channel in att:
                    channel.wavelengths
            except BaseException:
                att.close()
                raise

        try:
            await asyncio.to_thread(open_and_read)
        except InstrumentError as error:  # an expected failure, which ophyd-async reports without a traceback
            raise NotConnectedError(str(error)) from error
        await super().connect_real(device, timeout, force_reconnect)


class TolvanAttenuator(StandardReadable):
    """The attenuator on a serial port, as an ophyd-async device with one channel device per
    channel: `att.ch1` ... `att.chN`.

        with init_devices():
            att = TolvanAttenuator("/dev/ttyUSB0")

    `connect()` opens the port (and holds it alone until `close()`); `connect(force_reconnect=True)`
    opens it again, as after an adapter was unplugged. Reading the device reads every channel.
    `retries` is how many times a command that got no reply is sent again.
    """

    ch1: TolvanChannel
    ch2: TolvanChannel
    ch3: TolvanChannel
    ch4: TolvanChannel

    def __init__(self, port: str, channels: int = 4, *, retries: int = 0, name: str = "") -> None:
        self.attenuator = Attenuator(port, channels=channels, retries=retries)
        with self.add_children_as_readables():
            for channel in self.attenuator:
                setattr(self, f"ch{channel.number}", TolvanChannel(channel))
        super().__init__(name=name, connector=_PortConnector(self.attenuator))

    def channel(self, number: int) -> TolvanChannel:
        """Channel `number` (from 1); IndexError for one that is not served."""
        self.attenuator.channel(number)  # IndexError, TypeError
        found: TolvanChannel = getattr(self, f"ch{number}")
        return found

    def close(self) -> None:
        """Releases the port (nothing changes on the instrument); connect(force_reconnect=True) opens it again."""
        self.attenuator.close()
