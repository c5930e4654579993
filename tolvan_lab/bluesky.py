"""The attenuator as an ophyd-async device for Bluesky (the extra `tolvan[bluesky]`).

    import bluesky.plans as bp
    from bluesky import RunEngine
    from ophyd_async.core import init_devices
    from tolvan_lab.bluesky import TolvanAttenuator

    RE = RunEngine()
    with init_devices():                       # names it "att" and opens the port
        att = TolvanAttenuator("/dev/ttyUSB0")
    RE(bp.scan([att.ch2], att.ch2.attenuation, 0, 10, 21))

Each channel `att.ch1` ... holds two movable settings, `attenuation` (dB) and `wavelength` (nm),
each a device with a readback (named as the setting: `att-ch2-attenuation`) and a setpoint
(`att-ch2-attenuation-setpoint`) in ophyd-async's soft signals, beside `connected`; its
configuration holds the channel's wavelength list, the attenuator's the firmware version and
the port. Reading a channel or a setting, and locating a setting, ask the instrument (one status
read for the whole channel) and publish what it holds; a `set` finishes when the instrument has
acknowledged the command and fails with the instrument layer's exception when it has not. The
serial line is blocking: every command runs in a worker thread, never on the event loop.
"""

from __future__ import annotations

import asyncio
import contextvars
import math
from collections.abc import Awaitable, Callable
from dataclasses import dataclass
from functools import cached_property
from typing import Any, Generic, TypeVar

from tolvan_lab.extras import missing

try:
    import numpy as np
    from bluesky.protocols import Location, Reading
    from ophyd_async.core import (
        Array1D,
        Device,
        DeviceConnector,
        DeviceMock,
        MovableLogic,
        NotConnectedError,
        StandardMovable,
        StandardReadable,
        TimeoutCalculator,
        default_mock_class,
        soft_signal_r_and_setter,
        soft_signal_rw,
    )
    from ophyd_async.core import StandardReadableFormat as Format
except ImportError as error:
    raise missing(__name__, "bluesky", "Bluesky and ophyd-async", error) from error

from tolvan_lab import units
from tolvan_lab.attenuator import Attenuator, Channel, ChannelStatus
from tolvan_lab.errors import InstrumentError, shown

__all__ = ["TolvanAttenuator", "TolvanChannel", "TolvanSetting"]

T = TypeVar("T", bound=float)  # float or int

# Set while a channel's read() reads its settings: the channel has just read the status for them.
_status_just_read: contextvars.ContextVar[bool] = contextvars.ContextVar("status_just_read", default=False)


class _Link:
    """What the devices of one attenuator share: the instrument layer's Attenuator, and whether
    they were connected in mock mode (then nothing asks the instrument, and a set holds at once
    what the instrument would hold)."""

    def __init__(self, attenuator: Attenuator) -> None:
        self.attenuator = attenuator
        self.mocked = False


@dataclass
class _SettingLogic(MovableLogic[T]):
    """A move is one command: done when the instrument has acknowledged it."""

    setting: TolvanSetting[T]

    async def move(self, new_position: T, timeout: TimeoutCalculator) -> None:
        await self.setting._take(new_position)


class _SettingMock(DeviceMock["TolvanSetting[Any]"]):
    """In mock mode the setting needs no mock callbacks: the channel holds a set at once."""

    async def connect(self, device: TolvanSetting[Any]) -> None:
        pass


@default_mock_class(_SettingMock)
class TolvanSetting(StandardReadable, StandardMovable[T], Generic[T]):
    """A setting of a channel that a plan moves: `readback` is what the instrument holds, `setpoint`
    what it was last set to (after a set that failed, what the instrument is then read to hold:
    a command whose reply was lost may have been taken)."""

    def __init__(self, datatype: type[T], write: Callable[[Any], Awaitable[T]],
                 refresh: Callable[[], Awaitable[None]], *, units: str, precision: int | None = None,
                 hinted: bool = False, name: str = "") -> None:
        self._write = write
        self._refresh = refresh
        self._setpoint_known = True
        with self.add_children_as_readables(Format.HINTED_SIGNAL if hinted else Format.UNCACHED_SIGNAL):
            self.readback, self._set_readback = soft_signal_r_and_setter(datatype, units=units, precision=precision)
        with self.add_children_as_readables(Format.UNCACHED_SIGNAL):
            self.setpoint = soft_signal_rw(datatype, units=units, precision=precision)
        super().__init__(name=name)

    @cached_property
    def movable_logic(self) -> _SettingLogic[T]:
        return _SettingLogic(setpoint=self.setpoint, readback=self.readback, setting=self)

    async def _take(self, value: Any) -> None:
        try:
            held = await self._write(value)
        except BaseException:
            self._setpoint_known = False  # the next read or locate asks the instrument what it holds
            raise
        await self._publish(held, held)

    async def _publish(self, readback: T, setpoint: T | None = None) -> None:
        """What the instrument holds; the setpoint too when it is given, or unknown until now."""
        self._set_readback(readback)
        if setpoint is None and not self._setpoint_known:
            setpoint = readback
        if setpoint is not None:
            await self.setpoint.set(setpoint)
            self._setpoint_known = True

    async def read(self) -> dict[str, Reading[Any]]:
        if not _status_just_read.get():
            await self._refresh()
        return await super().read()

    async def locate(self) -> Location[T]:
        await self._refresh()
        return await super().locate()


class TolvanChannel(StandardReadable):
    """One channel: the settings `attenuation` (dB, hinted; NaN while the channel is disconnected)
    and `wavelength` (nm), the signal `connected`, and the configuration signal `wavelengths`.
    Reading the channel reads its status once for all of them."""

    def __init__(self, link: _Link, channel: Channel, name: str = "") -> None:
        self._link = link
        self.lab = channel  # the tolvan_lab Channel
        with self.add_children_as_readables():
            self.attenuation = TolvanSetting(float, self._write_attenuation, self.refresh, units="dB", precision=2,
                                             hinted=True)
            self.wavelength = TolvanSetting(int, self._write_wavelength, self.refresh, units="nm")
        with self.add_children_as_readables(Format.UNCACHED_SIGNAL):
            self.connected, self._set_connected = soft_signal_r_and_setter(bool)
        with self.add_children_as_readables(Format.CONFIG_SIGNAL):
            self.wavelengths, self._set_wavelengths = soft_signal_r_and_setter(Array1D[np.int32], units="nm")
        super().__init__(name=name)

    async def read(self) -> dict[str, Reading[Any]]:
        await self.refresh()
        token = _status_just_read.set(True)
        try:
            return await super().read()
        finally:
            _status_just_read.reset(token)

    async def refresh(self) -> None:
        """Reads the channel's status (in a worker thread) and publishes what it holds."""
        if not self._link.mocked:
            await self._publish(await asyncio.to_thread(self.lab.status))

    async def _publish(self, status: ChannelStatus, *, as_setpoints: bool = False) -> None:
        """What the status says the channel holds; `as_setpoints`: the setpoints too (at connect)."""
        if status.wavelength_nm is None:
            raise InstrumentError(f"channel {self.lab.number} of {shown(self.lab.attenuator.port)} names a "
                                  f"wavelength outside its list ({', '.join(map(str, self.lab.wavelengths))})",
                                  port=self.lab.attenuator.port, command=f"read_current_status(ch={self.lab.number})")
        db = math.nan if status.attenuation_db is None else status.attenuation_db
        self._set_connected(status.connected)
        await self.attenuation._publish(db, db if as_setpoints else None)
        await self.wavelength._publish(status.wavelength_nm, status.wavelength_nm if as_setpoints else None)

    async def _write_attenuation(self, value: Any) -> float:
        db = units.nearest_step(value)  # the layer's ValueError or TypeError: nothing sent
        if not self._link.mocked:
            await asyncio.to_thread(setattr, self.lab, "attenuation", db)
        self._set_connected(True)  # setting the attenuation connects the channel
        return db

    async def _write_wavelength(self, value: Any) -> int:
        if not self._link.mocked:
            # The layer judges it: NotSupported for one the channel does not list, nothing sent.
            await asyncio.to_thread(setattr, self.lab, "wavelength", value)
        return int(value)

    async def _publish_connected(self, status: ChannelStatus) -> None:
        """What connecting read: the wavelength list, and the status, whose values are the setpoints."""
        self._set_wavelengths(np.array(self.lab.wavelengths, dtype=np.int32))
        await self._publish(status, as_setpoints=True)


class _PortConnector(DeviceConnector):
    """Opens the port (in a worker thread) before the channels connect; reads the version, every
    channel's wavelength list and status once, so that a wrong port fails at connect."""

    def __init__(self, link: _Link) -> None:
        self.link = link

    async def connect_mock(self, device: Device, mock: DeviceMock[Any]) -> None:
        self.link.mocked = True
        await super().connect_mock(device, mock)

    async def connect_real(self, device: Device, timeout: float, force_reconnect: bool) -> None:
        att = self.link.attenuator
        self.link.mocked = False

        def open_and_read() -> list[ChannelStatus]:
            if force_reconnect:
                att.close()
            att.open()
            try:
                att.version
                return [channel.status() for channel in att]
            except BaseException:
                att.close()
                raise

        try:
            statuses = await asyncio.to_thread(open_and_read)
        except InstrumentError as error:  # an expected failure, which ophyd-async reports without a traceback
            raise NotConnectedError(str(error)) from error
        await super().connect_real(device, timeout, force_reconnect)
        assert isinstance(device, TolvanAttenuator)
        await device._publish_connected(statuses)


class TolvanAttenuator(StandardReadable):
    """The attenuator on a serial port, as an ophyd-async device with one channel device per
    channel: `att.ch1` ... `att.chN`; its configuration signals `version` (module.hardware.software)
    and `port`.

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
        link = _Link(self.attenuator)
        with self.add_children_as_readables():
            for channel in self.attenuator:
                setattr(self, f"ch{channel.number}", TolvanChannel(link, channel))
        with self.add_children_as_readables(Format.CONFIG_SIGNAL):
            self.version, self._set_version = soft_signal_r_and_setter(str)
            self.port, set_port = soft_signal_r_and_setter(str)
        set_port(shown(self.attenuator.port))
        super().__init__(name=name, connector=_PortConnector(link))

    async def _publish_connected(self, statuses: list[ChannelStatus]) -> None:
        version = self.attenuator.version
        self._set_version(f"{version.module}.{version.hardware}.{version.software}")
        for status in statuses:
            await self.channel(status.channel)._publish_connected(status)

    def channel(self, number: int) -> TolvanChannel:
        """Channel `number` (from 1); IndexError for one that is not served."""
        self.attenuator.channel(number)  # IndexError, TypeError
        found: TolvanChannel = getattr(self, f"ch{number}")
        return found

    def close(self) -> None:
        """Releases the port (nothing changes on the instrument); connect(force_reconnect=True) opens it again."""
        self.attenuator.close()
