"""The instrument as a lab program wants it: `Attenuator` and its channels, in dB and nm, with
exceptions instead of None and False, the port held alone, and every reply checked.

It stands on the driver class `tolvan.TOLVAN` as a user's script would, through its public
methods and its `ser` attribute, which it fronts with a `CheckedPort` once the port is open.
"""

from __future__ import annotations

import contextlib
import io
import numbers
import operator
import os
import shutil
import sys
import threading
from collections.abc import Iterator
from types import TracebackType
from typing import Any, NamedTuple

from tolvan import TOLVAN

from tolvan_lab import addresses, frames, ownership, units
from tolvan_lab.checked_port import CheckedPort
from tolvan_lab.errors import InstrumentError, NoReply, PortUnavailable, shown

class _DriverLock:
    """A re-entrant lock that a forked child gets afresh: a thread of the parent may have held it
    at the fork, and no thread of the child would ever release it."""

    def __init__(self) -> None:
        self._lock = threading.RLock()
        if hasattr(os, "register_at_fork"):
            os.register_at_fork(after_in_child=self._renew)

    def _renew(self) -> None:
        self._lock = threading.RLock()

    def acquire(self, blocking: bool = True, timeout: float = -1) -> bool:
        return self._lock.acquire(blocking, timeout)

    def release(self) -> None:
        self._lock.release()

    def __enter__(self) -> bool:
        return self._lock.acquire()

    def __exit__(self, *exc_info: object) -> None:
        self._lock.release()


# The driver fills request templates shared by every TOLVAN object in the process, so one
# driver call at a time in the whole process: every Attenuator runs its calls under this lock.
# A program that also uses a bare TOLVAN beside an Attenuator takes it around those calls too.
driver_lock = _DriverLock()

MAX_CHANNELS = 255  # the channel is one byte of the request frame

TROUBLESHOOTING = "see Troubleshooting in the tolvan README"


class Version(NamedTuple):
    """The instrument's version numbers."""

    module: int
    hardware: int
    software: int


class ChannelStatus(NamedTuple):
    """What one channel holds. `attenuation_db` is None and `connected` False while the channel is
    disconnected; `wavelength_nm` is None if the instrument names a position outside its list."""

    channel: int
    wavelength_nm: int | None
    attenuation_db: float | None
    connected: bool


def _whole_number(value: object, what: str) -> int:
    """`value` as an int; numpy's integers count as ints (the driver itself takes only int)."""
    if isinstance(value, bool) or not isinstance(value, (int, numbers.Integral)):
        raise TypeError(f"{what} must be an int, not {type(value).__name__}")
    return operator.index(value)


class Attenuator:
    """The attenuator on a serial port.

        with Attenuator("/dev/ttyUSB0") as att:
            att[2].attenuation = 3.5

    `channels` is how many channels the instrument has (they are numbered from 1); `retries` how
    many times a command that got no reply is sent again (every command is idempotent);
    `exclusive` whether the open port is locked against other openers. `reply_timeout` (seconds,
    default 1.0) is how long after a request its reply may come.
    """

    reply_timeout: float = 1.0

    def __new__(cls, *args: Any, **kwargs: Any) -> Attenuator:
        # The address of a `tolvan serve` (scpi://HOST[:PORT]) is reached through its SCPI face.
        # (Without arguments, as copy and pickle call it, the class stays as it is.)
        port = args[0] if args else kwargs.get("port")
        if cls is Attenuator and isinstance(port, str) and addresses.is_address(port):
            from tolvan_lab.remote import RemoteAttenuator

            return super().__new__(RemoteAttenuator)
        return super().__new__(cls)

    def __init__(self, port: str | os.PathLike[str], *, channels: int = 4, retries: int = 0,
                 exclusive: bool = True) -> None:
        self.port: str = os.fspath(port)
        if not isinstance(self.port, str):
            raise TypeError(f"port must be a str or a path, not {type(port).__name__}")
        channels, retries = _whole_number(channels, "channels"), _whole_number(retries, "retries")
        if not 1 <= channels <= MAX_CHANNELS:
            raise ValueError(f"channels must be 1 to {MAX_CHANNELS}, not {channels}")
        if retries < 0:
            raise ValueError(f"retries must be 0 or more, not {retries}")
        self.retries = retries
        self.exclusive = bool(exclusive)
        self._channels = tuple(Channel(self, number) for number in range(1, channels + 1))
        self._driver: TOLVAN | None = None
        self._checked: CheckedPort | None = None
        self._lost: str | None = None  # why the port was closed under us, if it was
        self._opened_by = 0  # the process that opened the port
        self._version: Version | None = None
        self._wavelengths: dict[int, tuple[int, ...]] = {}

    def __repr__(self) -> str:
        state = "open" if self._driver is not None else "closed"
        return f"<Attenuator {shown(self.port)!r} {state}, channels 1 to {len(self._channels)}>"

    # -- the port ----------------------------------------------------------------------------

    @property
    def is_open(self) -> bool:
        return self._driver is not None

    def open(self) -> None:
        """Opens the port and holds it alone; PortUnavailable when that cannot be done. Opening
        an open Attenuator does nothing."""
        with driver_lock:
            if self._driver is not None:
                return
            with ownership.opening(self.port):
                driver = TOLVAN(self.port)
                said = io.StringIO()  # the driver's own lines say why a port did not open
                try:
                    with contextlib.redirect_stdout(said):
                        opened = driver.open()
                    if not opened:
                        raise self._refusal(said.getvalue())
                    if self.exclusive:
                        ownership.lock(self.port, driver.ser.fileno())
                except BaseException:
                    if opened_port := getattr(driver, "ser", None):
                        with contextlib.suppress(Exception):
                            opened_port.close()
                    raise
            self._checked = CheckedPort(driver.ser, self.port, self.reply_timeout)
            driver.ser = self._checked  # type: ignore[assignment]  # stands in for the Serial object
            self._driver, self._lost, self._opened_by = driver, None, os.getpid()
            frames.note(self.port, "opened")

    def close(self) -> None:
        """Closes the port (nothing else changes on the instrument). Closing twice does nothing."""
        with driver_lock:
            driver, self._driver, self._checked = self._driver, None, None
            self._version = None
            self._wavelengths.clear()
            if driver is not None:
                with contextlib.suppress(OSError):  # an adapter that vanished has nothing left to close
                    driver.close()

    def __enter__(self) -> Attenuator:
        self.open()
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def _refusal(self, driver_said: str) -> PortUnavailable:
        """Why the driver's open() said no, as an exception that says what to do."""
        import re

        port = shown(self.port)
        # A name that is not UTF-8 is in the driver's line as it is and, within the repr of an
        # OSError's file name, as \udcNN: both shown as \xNN, as the name is everywhere else.
        words = re.sub(r"\\udc([89a-f][0-9a-f])", r"\\x\1", shown(" ".join(driver_said.split())))
        quoted = f" (the driver said: {words})" if words else ""
        holders: tuple[str, ...] = ()
        if "already opened" in words:  # its availability check said no
            if sys.platform != "win32" and shutil.which("lsof") is None:
                why = ("lsof, which the driver asks whether another program holds the port, is not installed: "
                       "install it (Debian, Ubuntu: sudo apt-get install lsof)")
            else:
                holders = tuple(map(str, ownership.holders_of(self.port)))
                who = ownership.named(holders)
                why = f"{who} holds it: close that program, or choose another port (`tolvan ports` lists them)"
        elif "Errno 2]" in words or not os.path.exists(self.port) and sys.platform != "win32":
            why = "no such port: is the adapter plugged in? `tolvan ports` lists the serial ports"
        elif "Errno 13]" in words:
            why = ("permission denied: add your user to the group that owns the port (on Debian and Ubuntu "
                   "`sudo usermod -aG dialout $USER`, then log in again)")
        else:
            why = f"it could not be opened; {TROUBLESHOOTING}"
        return PortUnavailable(f"cannot open {port}: {why}{quoted}", port=self.port, holders=holders)

    # -- commands ----------------------------------------------------------------------------

    def _run(self, call: str, method: str, *args: Any) -> Any:
        """One driver command, sent again up to `retries` times while it gets no reply; its result.

        NoReply when no attempt was answered; PortUnavailable when the port fails (it is closed then).
        """
        with driver_lock:
            driver, checked = self._driver, self._checked
            if driver is None or checked is None:
                why = f"it was closed after it failed ({self._lost})" if self._lost else "it is not open"
                raise PortUnavailable(f"cannot send {call} to {shown(self.port)}: {why}; open it with open() or "
                                      f"`with Attenuator(...)`", port=self.port, command=call)
            if self._opened_by != os.getpid():
                # A forked child shares its parent's line: the two would read each other's replies.
                raise InstrumentError(f"cannot send {call} to {shown(self.port)}: this Attenuator was opened by "
                                      f"process {self._opened_by}, and this is process {os.getpid()} (a fork of "
                                      f"it); open an Attenuator of its own in this process once the other has "
                                      f"closed the port", port=self.port, command=call)
            checked.reply_timeout = self.reply_timeout
            for _ in range(self.retries + 1):
                try:
                    result = getattr(driver, method)(*args)
                except InstrumentError:
                    raise
                except RuntimeError:  # set_optical_length: its own read of the list got no reply
                    continue
                except OSError as error:  # pyserial's SerialException too: the port failed under us
                    self._lost = f"{type(error).__name__}: {error}"
                    self.close()
                    raise PortUnavailable(f"the port {shown(self.port)} failed during {call}: {self._lost}; was "
                                          f"the adapter unplugged? Open it again once it is back",
                                          port=self.port, command=call) from error
                if result is not None and result is not False:
                    return result
            tries = f" ({self.retries + 1} tries)" if self.retries else ""
            raise NoReply(f"no reply from the instrument on {shown(self.port)} to {call} within "
                          f"{self.reply_timeout:g} s{tries}: is it switched on and is this its port? "
                          f"(`tolvan ports --probe` finds it); {TROUBLESHOOTING}", port=self.port, command=call)

    @property
    def version(self) -> Version:
        """The instrument's version, read once per open."""
        with driver_lock:
            if self._version is None:
                got = self._run("read_device_version()", "read_device_version")
                self._version = Version(got["module_version"], got["hard_version"], got["soft_version"])
            return self._version

    def close_full_screen(self) -> None:
        """Leaves the full-screen view on the instrument's display."""
        self._run("close_full_screen()", "close_full_screen")

    def _status_of(self, ch: int) -> tuple[int, int]:
        """Channel `ch`'s wavelength position and attenuation in 0.01 dB steps, as the instrument reports them."""
        got = self._run(f"read_current_status(ch={ch})", "read_current_status", ch)
        return got["optical_length_index"], got["attenuation"] // units.MDB_PER_STEP

    def _attenuation_steps(self, ch: int) -> int:
        return self._status_of(ch)[1]

    def _wavelengths_of(self, ch: int) -> tuple[int, ...]:
        with driver_lock:
            if ch not in self._wavelengths:
                self._wavelengths[ch] = tuple(self._run(f"read_optical_length(ch={ch})", "read_optical_length", ch))
            return self._wavelengths[ch]

    # -- channels ----------------------------------------------------------------------------

    @property
    def channels(self) -> tuple[int, ...]:
        """The channel numbers served, from 1."""
        return tuple(channel.number for channel in self._channels)

    def channel(self, number: int) -> Channel:
        """Channel `number` (from 1); IndexError for one this Attenuator does not serve."""
        number = _whole_number(number, "a channel number")
        if not 1 <= number <= len(self._channels):
            raise IndexError(f"channel {number} is not served: {self.port} serves channels 1 to "
                             f"{len(self._channels)} (Attenuator(port, channels=N) serves more)")
        return self._channels[number - 1]

    __getitem__ = channel

    def __iter__(self) -> Iterator[Channel]:
        return iter(self._channels)

    def __len__(self) -> int:
        return len(self._channels)


class Channel:
    """One channel of an Attenuator. Reading `attenuation`, `wavelength` or `connected` asks the
    instrument; `wavelengths` is read once per open."""

    def __init__(self, attenuator: Attenuator, number: int) -> None:
        self.attenuator = attenuator
        self.number = number

    def __repr__(self) -> str:
        return f"<Channel {self.number} of {self.attenuator!r}>"

    def _raw_status(self) -> tuple[int, int]:
        """The wavelength position and the attenuation in 0.01 dB steps, as the instrument reports them."""
        return self.attenuator._status_of(self.number)

    def status(self) -> ChannelStatus:
        """The selected wavelength, the attenuation and whether the channel is connected, in one read."""
        with driver_lock:
            listed = self.wavelengths
            position, count = self._raw_status()
        connected = count != units.DISCONNECTED_STEPS
        return ChannelStatus(self.number, listed[position] if 0 <= position < len(listed) else None,
                             units.db(count) if connected else None, connected)

    @property
    def wavelengths(self) -> tuple[int, ...]:
        """The wavelengths (nm) the channel supports, in the instrument's order."""
        return self.attenuator._wavelengths_of(self.number)

    @property
    def wavelength(self) -> int | None:
        """The selected wavelength in nm (None if the instrument names a position outside its list)."""
        return self.status().wavelength_nm

    @wavelength.setter
    def wavelength(self, nm: int) -> None:
        att, ch = self.attenuator, self.number
        nm = _whole_number(nm, "a wavelength in nm")
        listed = self.wavelengths
        if nm not in listed:
            supported = ", ".join(map(str, listed)) or "none (its list is empty)"
            raise ValueError(f"channel {ch} does not support {nm} nm; it supports {supported}")
        try:
            att._run(f"set_optical_length({nm}, ch={ch})", "set_optical_length", nm, ch)
        except ValueError:  # the driver reads the list again, and it no longer holds nm
            raise InstrumentError(f"channel {ch} of {shown(att.port)} no longer lists {nm} nm: its wavelengths "
                                  f"changed since they were read; open the port again", port=att.port) from None

    @property
    def attenuation(self) -> float | None:
        """The attenuation in dB (steps of 0.01 dB), None while the channel is disconnected.
        Setting it to what the instrument cannot hold (negative, finer than 0.01 dB, 655.35 dB or
        more) raises ValueError and sends nothing."""
        count = self.attenuator._attenuation_steps(self.number)
        return None if count == units.DISCONNECTED_STEPS else units.db(count)

    @attenuation.setter
    def attenuation(self, db: float) -> None:
        count = units.steps(db)
        mdb = count * units.MDB_PER_STEP
        self.attenuator._run(f"set_attenuation({mdb}, ch={self.number})", "set_attenuation", mdb, self.number)

    @property
    def connected(self) -> bool:
        """Whether light passes: False after disconnect(), until the attenuation is set or cleared."""
        return self.attenuator._attenuation_steps(self.number) != units.DISCONNECTED_STEPS

    def clear(self) -> None:
        """The instrument's clear command: the attenuation goes to 0 dB and the channel is connected."""
        self.attenuator._run(f"clear_attenuation(ch={self.number})", "clear_attenuation", self.number)

    def disconnect(self) -> None:
        """Disconnects the channel: it reads as disconnected until its attenuation is set or cleared."""
        self.attenuator._run(f"dis_connection(ch={self.number})", "dis_connection", self.number)
