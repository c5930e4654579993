"""The attenuator as a QCoDeS instrument (the extra `tolvan[qcodes]`).

    from tolvan_lab.qcodes import TolvanAttenuator

    att = TolvanAttenuator("att", "/dev/ttyUSB0")     # the port held until att.close()
    att.ch2.wavelength(1550)                         # nm, one of the channel's wavelengths
    att.ch2.attenuation(3.5)                         # dB, 0 to 655.34: the nearest 0.01 dB step is set
    att.ch2.attenuation()                            # 3.5, read from the instrument

A thin client of `tolvan_lab.Attenuator`: every get asks the instrument, and a command that gets
no reply raises (NoReply, PortUnavailable), so a parameter never returns a stale value.
"""

from __future__ import annotations

import logging
import math
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any, Self, Unpack

from tolvan_lab.extras import missing

try:
    from qcodes import validators as vals
    from qcodes.instrument import ChannelList, Instrument, InstrumentBaseKWArgs, InstrumentChannel
    from qcodes.parameters import Parameter
except ImportError as error:
    raise missing(__name__, "qcodes", "QCoDeS", error) from error

from tolvan_lab import units
from tolvan_lab.attenuator import Attenuator, Channel
from tolvan_lab.errors import InstrumentError

__all__ = ["Attenuations", "TolvanAttenuator", "TolvanChannel"]

log = logging.getLogger(__name__)

VENDOR, MODEL = "TOLVAN", "attenuator"


class Attenuations(vals.Numbers):
    """Any attenuation from 0 to 655.34 dB: a value between two 0.01 dB steps (a point of
    np.linspace) is set to the nearest step, which is what the parameter then holds.

    The instrument layer judges the value (`tolvan_lab.units.nearest_step`); the range is
    also given to QCoDeS as a Numbers validator's, for the sweeps and datasets that read it."""

    def __init__(self) -> None:
        super().__init__(0, units.MAX_DB)

    def validate(self, value: Any, context: str = "") -> None:
        try:
            units.nearest_step(value)
        except (TypeError, ValueError) as error:
            raise type(error)(f"{error}; {context}") from None

    def __repr__(self) -> str:
        return f"<Attenuations 0<=v<={units.MAX_DB:g} dB, set to the nearest 0.01 dB step>"


class TolvanChannel(InstrumentChannel["TolvanAttenuator"]):
    """One channel: the parameters `attenuation` (dB), `wavelength` (nm) and `connected`, and the
    methods `clear()` and `disconnect()`.

    `attenuation` reads NaN while the channel is disconnected (`connected` is then False);
    `wavelength` reads None if the instrument names a position outside the channel's list.
    """

    def __init__(self, parent: TolvanAttenuator, name: str, channel: Channel,
                 **kwargs: Unpack[InstrumentBaseKWArgs]) -> None:
        super().__init__(parent, name, **kwargs)
        self.channel = channel  # the tolvan_lab Channel
        number = channel.number
        listed = channel.wavelengths
        self.attenuation: Parameter[float, Self] = self.add_parameter(
            "attenuation", label=f"Channel {number} attenuation", unit="dB",
            get_cmd=self._get_attenuation, set_cmd=self._set_attenuation, vals=Attenuations(),
            on_set_callback=self._hold_the_step_set,
            docstring="The attenuation in dB, 0 to 655.34; a value between 0.01 dB steps is set to the "
                      "nearest step. NaN while disconnected.")
        self.wavelength: Parameter[int | None, Self] = self.add_parameter(
            "wavelength", label=f"Channel {number} wavelength", unit="nm",
            get_cmd=lambda: self.channel.wavelength,
            set_cmd=self._set_wavelength if listed else False,
            docstring=f"The selected wavelength in nm: one of {', '.join(map(str, listed)) or 'none'}.")
        self.connected: Parameter[bool, Self] = self.add_parameter(
            "connected", label=f"Channel {number} connected", get_cmd=lambda: self.channel.connected,
            vals=vals.Bool(), docstring="Whether light passes: False after disconnect(), until the "
                                        "attenuation is set or cleared.")

    def _get_attenuation(self) -> float:
        db = self.channel.attenuation
        return math.nan if db is None else db

    @contextmanager
    def _unknown_if_it_fails(self, *parameters: Parameter[Any, Self]) -> Iterator[None]:
        """A command that failed may still have reached the instrument (only its reply was lost):
        what the parameters held is then unknown, and their caches are marked invalid, so that the
        next cache read or snapshot(update=None) asks the instrument rather than show the old value."""
        try:
            yield
        except BaseException:
            for parameter in parameters:
                parameter.cache.invalidate()
            raise

    def _set_attenuation(self, db: float) -> None:
        with self._unknown_if_it_fails(self.attenuation, self.connected):
            self.channel.attenuation = units.nearest_step(db)
        self.connected.cache.set(True)  # setting the attenuation connects the channel

    def _hold_the_step_set(self, parameter: Parameter[Any, Any], db: float) -> None:
        # QCoDeS caches the value asked for (1.6666666666666667); the instrument holds its step (1.67).
        self.attenuation.cache.set(units.nearest_step(db))
        # A parameter's own callback stands in for the global one, which QCoDeS then skips.
        if (everyone := type(parameter).global_on_set_callback) is not None:
            everyone(parameter, db)

    def _set_wavelength(self, nm: int) -> None:
        with self._unknown_if_it_fails(self.wavelength):
            self.channel.wavelength = nm  # the layer refuses a wavelength the channel does not list

    def _cache_attenuation(self, db: float | None) -> None:
        # As a get stores what it read: NaN, which no set may ask for, is what a disconnected
        # channel reads, so it bypasses the set validator (cache.set would refuse it).
        self.attenuation.cache._set_from_raw_value(math.nan if db is None else db)

    def clear(self) -> None:
        """The instrument's clear command: the attenuation goes to 0 dB and the channel is connected."""
        with self._unknown_if_it_fails(self.attenuation, self.connected):
            self.channel.clear()
        self.attenuation.cache.set(0.0)
        self.connected.cache.set(True)

    def disconnect(self) -> None:
        """Disconnects the channel: it reads as disconnected until its attenuation is set or cleared."""
        with self._unknown_if_it_fails(self.attenuation, self.connected):
            self.channel.disconnect()
        self._cache_attenuation(None)
        self.connected.cache.set(False)

    def refresh(self) -> None:
        """Reads the channel's status once and puts it in the parameters' caches."""
        status = self.channel.status()
        self._cache_attenuation(status.attenuation_db)
        self.wavelength.cache.set(status.wavelength_nm)
        self.connected.cache.set(status.connected)

    def _refresh_for_snapshot(self, update: bool | None) -> bool:
        """Refreshes the caches for a snapshot as `update` asks (True: always; None: if one of them
        was never read); False when the instrument did not answer (the warning is logged)."""
        if update is False:
            return True
        if update is None and all(p.cache.valid for p in (self.attenuation, self.wavelength, self.connected)):
            return True
        try:
            self.refresh()
        except InstrumentError as error:
            self.log.warning("Snapshot: could not read %s, its last known values are used: %s", self.full_name,
                             error)
            return False
        return True

    def snapshot_base(self, update: bool | None = False,
                      params_to_skip_update: Any = None) -> dict[Any, Any]:
        # One status read for the three parameters, rather than one read for each.
        self._refresh_for_snapshot(update)
        return super().snapshot_base(update=False, params_to_skip_update=params_to_skip_update)


class TolvanAttenuator(Instrument):
    """The attenuator on a serial port, as a QCoDeS instrument.

        att = TolvanAttenuator("att", "/dev/ttyUSB0", channels=4)
        att.ch2.attenuation(3.5)          # also att.channels[1].attenuation(3.5)

    Opens the port when created and holds it alone until `close()`, after which an instrument of
    the same name can be created again. `retries` is how many times a command that got no reply
    is sent again. A command that gets no reply raises NoReply; a port that fails raises
    PortUnavailable (both tolvan_lab exceptions). `snapshot(update=True)` reads each channel's
    status once, and stops asking at the first channel that does not answer.
    """

    def __init__(self, name: str, port: str, channels: int = 4, *, retries: int = 0,
                 **kwargs: Unpack[InstrumentBaseKWArgs]) -> None:
        if Instrument.exist(name):  # checked before the port is taken, which a refusal would keep
            raise KeyError(f"Another instrument has the name: {name} (close it with .close(), or choose "
                           f"another name)")
        self.attenuator = Attenuator(port, channels=channels, retries=retries)
        kwargs["metadata"] = {**(kwargs.get("metadata") or {}), "port": port}
        super().__init__(name, **kwargs)
        try:
            self.attenuator.open()
            self.attenuator.version  # read once per open: get_idn() answers from it
            # Not in the snapshot: each channel is there already as the submodule chN.
            chans = ChannelList(self, "channels", TolvanChannel, snapshotable=False)
            for channel in self.attenuator:
                module = TolvanChannel(self, f"ch{channel.number}", channel)
                self.add_submodule(f"ch{channel.number}", module)
                chans.append(module)
            chans.lock()
            self.channels: ChannelList[TolvanChannel] = self.add_submodule("channels", chans)
        except BaseException:
            self.attenuator.close()
            raise
        self.connect_message()

    def get_idn(self) -> dict[str, str | None]:
        version = self.attenuator.version
        return {"vendor": VENDOR, "model": MODEL, "serial": None,
                "firmware": f"{version.module}.{version.hardware}.{version.software}"}

    def snapshot_base(self, update: bool | None = False,
                      params_to_skip_update: Any = None) -> dict[Any, Any]:
        if update is not False:
            for module in self.channels:
                if not module._refresh_for_snapshot(update):
                    break  # the others would wait for their reply as long: their last values stand
        return super().snapshot_base(update=False, params_to_skip_update=params_to_skip_update)

    def close(self) -> None:
        """Releases the port; an instrument of the same name can then be created again."""
        attenuator = getattr(self, "attenuator", None)
        if attenuator is not None:
            attenuator.close()
        super().close()
