"""The instrument as a lab program wants it: `Attenuator` and its channels, in dB and nm, with
exceptions instead of None and False, the port held alone, and every reply checked.

It stands on the driver class `tolvan.TOLVAN` as a user's script would, through its public
methods and its `ser` attribute, which it fronts with a `CheckedPort` once the port is open.
"""

from __future__ import annotations

import contextlib
import functools
import inspect
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
from tolvan_lab.errors import InstrumentError, NoReply, NotSupported, PortUnavailable, shown

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


# The driver's reads, by method, with their requests' command bytes: a read changes nothing, so
# it may go out while the line is not yet proved in step, and its answer is the proof.
_READS = {"read_device_version": frames.VERSION, "read_optical_length": frames.WAVELENGTHS,
          "read_current_status": frames.STATUS}


def _call_text(method: str, args: tuple[Any, ...]) -> str:
    """How a message names a driver call: set_attenuation(3500, ch=2). The arguments that have
    a default are named, as the driver's signature names them."""
    shown_args = [f"{name}={value!r}" if named else repr(value) for (name, named), value in zip(_parameters(method), args)]
    return f"{method}({', '.join(shown_args)})"


@functools.cache
def _parameters(method: str) -> tuple[tuple[str, bool], ...]:
    """The driver method's parameters after self, each with whether it has a default."""
    listed = list(inspect.signature(getattr(TOLVAN, method)).parameters.values())[1:]
    return tuple((parameter.name, parameter.default is not inspect.Parameter.empty) for parameter in listed)


def _channel_of(method: str, args: tuple[Any, ...]) -> int:
    """The channel a driver call addresses: its `ch` argument (the version request's is 1); 0 for none."""
    if method == "read_device_version":
        return 1
    return int(args[-1]) if args else 0


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
        self._held: ownership.Hold | None = None  # the device's exclusive lock, while open
        self._lost: str | None = None  # why the port was closed under us, if it was
        self._opened_by = 0  # the process that opened the port
        self._version: Version | None = None
        self._wavelengths: dict[int, tuple[int, ...]] = {}
        self._heard: set[int] = set()  # the channels that have answered since the port was opened

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
            held = ownership.hold(self.port)  # before the driver touches the line
            driver = TOLVAN(self.port)
            said = io.StringIO()  # the driver's own lines say why a port did not open
            try:
                if held is not None:
                    self._refuse_other_holders(held)
                    # The driver would ask lsof too, and find this process holding the port.
                    driver.check_port_available = lambda: True  # type: ignore[method-assign]
                with contextlib.redirect_stdout(said):
                    opened = driver.open()
                if not opened:
                    raise self._refusal(said.getvalue())
                if held is not None and not self.exclusive:
                    held.release()  # held while opening only: others may open it beside us
                    held = None
            except BaseException:
                if opened_port := getattr(driver, "ser", None):
                    with contextlib.suppress(Exception):
                        opened_port.close()
                if held is not None:
                    held.release()
                raise
            self._checked = CheckedPort(driver.ser, self.port, self.reply_timeout)
            driver.ser = self._checked  # type: ignore[assignment]  # stands in for the Serial object
            self._driver, self._held, self._lost, self._opened_by = driver, held, None, os.getpid()
            self._heard.clear()
            frames.note(self.port, "opened")

    def close(self) -> None:
        """Closes the port (nothing else changes on the instrument). Closing twice does nothing."""
        with driver_lock:
            driver, self._driver, self._checked = self._driver, None, None
            held, self._held = self._held, None
            self._version = None
            self._wavelengths.clear()
            try:
                if driver is not None:
                    with contextlib.suppress(OSError):  # an adapter that vanished has nothing left to close
                        driver.close()
            finally:
                if held is not None:
                    held.release()  # last: nobody can open the port before the driver has closed it

    def __enter__(self) -> Attenuator:
        self.open()
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def _refuse_other_holders(self, held: ownership.Hold) -> None:
        """PortUnavailable when another program has the port open, as the driver's own check
        would find (lsof), leaving out this process's hold of it."""
        try:
            others = ownership.others_holding(self.port, held)
        except ownership.LsofMissing:
            raise self._refusal_without_lsof() from None
        if others:
            raise self._refusal_held(tuple(map(str, others)), "")

    def _refusal(self, driver_said: str) -> PortUnavailable:
        """Why the driver's open() said no, as an exception that says what to do."""
        import re

        port = shown(self.port)
        # A name that is not UTF-8 is in the driver's line as it is and, within the repr of an
        # OSError's file name, as \udcNN: both shown as \xNN, as the name is everywhere else.
        words = re.sub(r"\\udc([89a-f][0-9a-f])", r"\\x\1", shown(" ".join(driver_said.split())))
        quoted = f" (the driver said: {words})" if words else ""
        if "already opened" in words:  # its availability check said no
            if sys.platform != "win32" and shutil.which("lsof") is None:
                return self._refusal_without_lsof(quoted)
            return self._refusal_held(tuple(map(str, ownership.holders_of(self.port))), quoted)
        if "Errno 2]" in words or not os.path.exists(self.port) and sys.platform != "win32":
            why = "no such port: is the adapter plugged in? `tolvan ports` lists the serial ports"
        elif "Errno 13]" in words:
            why = ("permission denied: add your user to the group that owns the port (on Debian and Ubuntu "
                   "`sudo usermod -aG dialout $USER`, then log in again)")
        else:
            why = f"it could not be opened; {TROUBLESHOOTING}"
        return PortUnavailable(f"cannot open {port}: {why}{quoted}", port=self.port)

    def _refusal_held(self, holders: tuple[str, ...], quoted: str) -> PortUnavailable:
        who = ownership.named(holders)
        return PortUnavailable(f"cannot open {shown(self.port)}: {who} holds it: close that program, or choose another "
                               f"port (`tolvan ports` lists them){quoted}", port=self.port, holders=holders)

    def _refusal_without_lsof(self, quoted: str = "") -> PortUnavailable:
        return PortUnavailable(f"cannot open {shown(self.port)}: lsof, which the driver asks whether another program "
                               f"holds the port, is not installed: install it (Debian, Ubuntu: sudo apt-get install "
                               f"lsof){quoted}", port=self.port)

    # -- commands ----------------------------------------------------------------------------

    def _check_can_send(self, call: str, *, is_open: bool) -> None:
        """PortUnavailable while closed; InstrumentError in a forked child of the process that opened
        it (the two would share the line and read each other's replies)."""
        if not is_open:
            why = f"it was closed after it failed ({self._lost})" if self._lost else "it is not open"
            raise PortUnavailable(f"cannot send {call} to {shown(self.port)}: {why}; open it with open() or "
                                  f"`with Attenuator(...)`", port=self.port, command=call)
        if self._opened_by != os.getpid():
            raise InstrumentError(f"cannot send {call} to {shown(self.port)}: this Attenuator was opened by "
                                  f"process {self._opened_by}, and this is process {os.getpid()} (a fork of "
                                  f"it); open an Attenuator of its own in this process once the other has "
                                  f"closed the port", port=self.port, command=call)

    def _run(self, method: str, *args: Any) -> Any:
        """The driver's command `method` with `args`, sent again up to `retries` times while it
        gets no reply; its result.

        After a command that got no reply, the line is proved back in step before anything else
        is sent (see CheckedPort): a read that cannot be taken for a late reply goes out first,
        and if even that gets no answer, the command is not sent. NoReply when no try was
        answered; PortUnavailable when the port fails (it is closed then).
        """
        call = _call_text(method, args)
        with driver_lock:
            driver, checked = self._driver, self._checked
            self._check_can_send(call, is_open=driver is not None and checked is not None)
            assert driver is not None and checked is not None
            checked.reply_timeout = self.reply_timeout
            sent = False
            for _ in range(self.retries + 1):
                if not self._sendable(checked, method, args) and not self._prove_in_step(driver, checked, call):
                    continue
                sent = True
                result = self._exchange(driver, call, method, args)
                if result is not None and result is not False:
                    return result
            raise NoReply(self._unanswered(call, _channel_of(method, args), sent), port=self.port, command=call)

    def _exchange(self, driver: TOLVAN, call: str, method: str, args: tuple[Any, ...]) -> Any:
        """One try of a driver command: its result, None or False when it got no reply."""
        try:
            result = getattr(driver, method)(*args)
        except InstrumentError:
            raise
        except RuntimeError:  # set_optical_length: its own read of the list got no reply
            return None
        except OSError as error:  # pyserial's SerialException too: the port failed under us
            self._lost = f"{type(error).__name__}: {error}"
            self.close()
            raise PortUnavailable(f"the port {shown(self.port)} failed during {call}: {self._lost}; was "
                                  f"the adapter unplugged? Open it again once it is back",
                                  port=self.port, command=call) from error
        if result is not None and result is not False:
            self._heard.add(_channel_of(method, args))
        return result

    @staticmethod
    def _sendable(checked: CheckedPort, method: str, args: tuple[Any, ...]) -> bool:
        """Whether the command may go out now: the line is in step, or the command is a read that
        no reply still owed could be taken for (its own answer then proves the line in step)."""
        command = _READS.get(method)
        return checked.in_step or (command is not None and not checked.owes(_channel_of(method, args), command))

    def _prove_in_step(self, driver: TOLVAN, checked: CheckedPort, call: str) -> bool:
        """Sends a read that no reply still owed could be taken for, channels that answered
        before first; whether its answer came (the line is in step then). When every read owes a
        reply, the late replies are waited for first: each that comes frees its kind of read."""
        order = sorted(self._heard & set(self.channels)) + [ch for ch in self.channels if ch not in self._heard]
        reads = [("read_device_version", ()), *((read, (ch,)) for ch in order
                                                for read in ("read_current_status", "read_optical_length"))]
        for waited in (False, True):
            for method, args in reads:
                if self._sendable(checked, method, args):
                    self._exchange(driver, call, method, args)
                    return checked.in_step
            if not waited:
                checked.await_late_replies()
        return False

    def _unanswered(self, call: str, ch: int, sent: bool) -> str:
        """The NoReply message: what was (not) sent, and what may be wrong."""
        port, tries = shown(self.port), f" ({self.retries + 1} tries)" if self.retries else ""
        if not sent:
            return (f"{call} was not sent to {port}: an earlier command got no reply in time, its reply may still "
                    f"come and be taken for this command's, and the instrument did not answer within "
                    f"{self.reply_timeout:g} s the read sent to prove the line back in step{tries}: is it switched on "
                    f"and is this its port? One that answers slowly needs a larger reply_timeout; {TROUBLESHOOTING}")
        channels = [heard for heard in self._heard if heard]
        if channels and ch > max(channels):  # channels are numbered from 1: a missing one lies above
            why = (f"channel {ch} may not exist on this instrument (channel {max(channels)} answers, channel {ch} "
                   f"never has): how many channels has it?")
        else:
            why = "is it switched on and is this its port? (`tolvan ports --probe` finds it)"
        return (f"no reply from the instrument on {port} to {call} within {self.reply_timeout:g} s{tries}: "
                f"{why}; {TROUBLESHOOTING}")

    @property
    def version(self) -> Version:
        """The instrument's version, read once per open."""
        with driver_lock:
            if self._version is None:
                got = self._run("read_device_version")
                self._version = Version(got["module_version"], got["hard_version"], got["soft_version"])
            return self._version

    def close_full_screen(self) -> None:
        """Leaves the full-screen view on the instrument's display."""
        self._run("close_full_screen")

    # -- what channels ask for ------------------------------------------------------------

    def channel_command(self, method: str, *args: Any) -> Any:
        """For Channel: the driver's command `method` with `args` (the channel number last), run
        as every command is (checked, retried, in step); its result."""
        return self._run(method, *args)

    def channel_status(self, ch: int) -> tuple[int, int]:
        """For Channel: channel `ch`'s wavelength position and attenuation in 0.01 dB steps, as the
        instrument reports them, in one read."""
        got = self._run("read_current_status", ch)
        return got["optical_length_index"], got["attenuation"] // units.MDB_PER_STEP

    def channel_attenuation_steps(self, ch: int) -> int:
        """For Channel: the attenuation alone in 0.01 dB steps (one read here; a remote attenuator
        asks for it alone)."""
        return self.channel_status(ch)[1]

    def channel_wavelengths(self, ch: int) -> tuple[int, ...]:
        """For Channel: the wavelengths (nm) channel `ch` supports, read once per open."""
        with driver_lock:
            if ch not in self._wavelengths:
                self._wavelengths[ch] = tuple(self._run("read_optical_length", ch))
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
        return self.attenuator.channel_status(self.number)

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
        return self.attenuator.channel_wavelengths(self.number)

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
            raise NotSupported(ch, nm, listed)
        try:
            att.channel_command("set_optical_length", nm, ch)
        except ValueError:  # the driver reads the list again, and it no longer holds nm
            raise InstrumentError(f"channel {ch} of {shown(att.port)} no longer lists {nm} nm: its wavelengths "
                                  f"changed since they were read; open the port again", port=att.port) from None

    @property
    def attenuation(self) -> float | None:
        """The attenuation in dB (steps of 0.01 dB), None while the channel is disconnected.
        Setting it to what the instrument cannot hold (negative, finer than 0.01 dB, 655.35 dB or
        more) raises ValueError and sends nothing."""
        count = self.attenuator.channel_attenuation_steps(self.number)
        return None if count == units.DISCONNECTED_STEPS else units.db(count)

    @attenuation.setter
    def attenuation(self, db: float) -> None:
        count = units.steps(db)
        mdb = count * units.MDB_PER_STEP
        self.attenuator.channel_command("set_attenuation", mdb, self.number)

    @property
    def connected(self) -> bool:
        """Whether light passes: False after disconnect(), until the attenuation is set or cleared."""
        return self.attenuator.channel_attenuation_steps(self.number) != units.DISCONNECTED_STEPS

    def clear(self) -> None:
        """The instrument's clear command: the attenuation goes to 0 dB and the channel is connected."""
        self.attenuator.channel_command("clear_attenuation", self.number)

    def disconnect(self) -> None:
        """Disconnects the channel: it reads as disconnected until its attenuation is set or cleared."""
        self.attenuator.channel_command("dis_connection", self.number)
