"""The attenuator as a PyMeasure instrument, speaking SCPI to `tolvan serve --scpi` (the extra
`tolvan[pymeasure]`).

    tolvan serve -p /dev/ttyUSB0 --scpi 5025        # on the computer the attenuator is plugged into

    from tolvan_lab.pymeasure import TolvanAttenuator

    att = TolvanAttenuator("TCPIP::127.0.0.1::5025::SOCKET")
    att.ch_2.wavelength = 1550                      # nm, one of att.ch_2.wavelengths
    att.ch_2.attenuation = 3.5                      # dB, 0 to 655.34: the nearest 0.01 dB step is set
    print(att.ch_2.attenuation, att.ch_2.connected)

Any PyMeasure adapter carries it; given a VISA resource name, the instrument opens a VISAAdapter
with the server's line ends. A set is confirmed by the server's error queue (the server runs a
client's commands in order), so a set the instrument did not acknowledge raises; a query the
instrument did not answer raises too (the server sends no answer, and the client's read times
out): NoReply, PortUnavailable or ValueError, the instrument layer's exceptions, never a stale value.
A connection that is gone (the server stopped) raises PortUnavailable.
"""

from __future__ import annotations

import logging
import math
import numbers
import re
from typing import Any

from tolvan_lab.extras import missing

try:
    # PyMeasure ships no type information (no py.typed): its classes are Any to mypy.
    from pymeasure.instruments import Channel, Instrument, SCPIMixin  # type: ignore[import-untyped]
    from pymeasure.instruments.validators import strict_discrete_set  # type: ignore[import-untyped]
except ImportError as error:
    raise missing(__name__, "pymeasure", "PyMeasure", error) from error

from tolvan_lab import units
from tolvan_lab.errors import InstrumentError, NoReply, PortUnavailable

__all__ = ["TolvanAttenuator", "TolvanChannel"]

log = logging.getLogger(__name__)

SCPI_NAN = 9.91e37  # SCPI's not-a-number: what a disconnected channel's attenuation reads
DEFAULT_TIMEOUT_MS = 5000  # above the server's longest answer: one command waiting on another's reply
ERROR = re.compile(r'^\s*([+-]?\d+)\s*,\s*"(.*)"\s*$')
# Lines that may come before the error queue's answer after a time-out: late answers to queries
# whose reads had timed out. A few at most; more means the two sides no longer agree.
MOST_LATE_LINES = 8


def nearest_attenuation(value: Any, values: tuple[float, float]) -> float:
    """PyMeasure validator: the nearest 0.01 dB step to `value`, which is what is sent (a point of
    np.linspace between two steps is set to the nearer). The instrument layer judges the value
    (ValueError out of 0 to 655.34 dB, TypeError for no number); `values` is the range, for
    PyMeasure's documentation of the control."""
    return units.nearest_step(value)


def wavelength_sent(value: Any, values: Any) -> Any:
    """PyMeasure validator: a wavelength as the client gave it, if it is a number (the server
    judges it and answers with its error queue); anything else would put its own text on the
    command line."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"a wavelength is a number of nm, not {type(value).__name__}")
    return value


def _attenuation(reply: Any) -> float:
    if not isinstance(reply, float):
        raise InstrumentError(f"the server answered {reply!r} for an attenuation, which is no number")
    return math.nan if reply >= SCPI_NAN else reply


def _wavelength(reply: Any) -> int | None:
    """None for SCPI's not-a-number: the instrument names no wavelength of the channel's list."""
    if isinstance(reply, float) and reply >= SCPI_NAN:
        return None
    if not isinstance(reply, float) or not reply.is_integer():
        raise InstrumentError(f"the server answered {reply!r} for a wavelength, which is no whole number of nm")
    return int(reply)


class TolvanChannel(Channel):  # type: ignore[misc]  # Channel is Any to mypy
    """One channel: `attenuation` (dB), `wavelength` (nm), `connected`, and `clear()`."""

    attenuation = Channel.control(
        "INP{ch}:ATT?", "INP{ch}:ATT %.2f",
        """Control the attenuation in dB (float, 0 to 655.34; a value between 0.01 dB steps is set to
        the nearest step); NaN while the channel is disconnected. Setting it connects the channel.""",
        validator=nearest_attenuation, values=(0, units.MAX_DB), get_process=_attenuation, check_set_errors=True)

    wavelength = Channel.control(
        "INP{ch}:WAV?", "INP{ch}:WAV %s",
        """Control the selected wavelength in nm (int, one of `wavelengths`: ValueError for another);
        None if the instrument names a position outside the channel's list.""",
        validator=wavelength_sent, get_process=_wavelength, check_set_errors=True)

    connected = Channel.control(
        "OUTP{ch}:STAT?", "OUTP{ch}:STAT %d",
        """Control whether light passes (bool). False disconnects the channel; True connects it again
        at the attenuation it had before it was disconnected through the server.""",
        validator=strict_discrete_set, values={True: 1, False: 0}, map_values=True, cast=int,
        check_set_errors=True)

    @property
    def wavelengths(self) -> list[int]:
        """Get the wavelengths (nm) the channel supports, in the instrument's order."""
        listed = self.ask("INP{ch}:WAV:LIST?").strip()
        try:
            return [int(nm) for nm in listed.split(",")] if listed else []
        except ValueError:
            raise InstrumentError(f"the server answered {listed!r} for a wavelength list") from None

    def clear(self) -> None:
        """The instrument's clear command: the attenuation goes to 0 dB and the channel is connected."""
        self.write("INP{ch}:ATT:CLE")
        self.check_set_errors()


class TolvanAttenuator(SCPIMixin, Instrument):  # type: ignore[misc]  # both are Any to mypy
    """The attenuator served by `tolvan serve --scpi`, with one channel `ch_1` ... `ch_N` per
    channel served (the server says how many).

        att = TolvanAttenuator("TCPIP::127.0.0.1::5025::SOCKET")
        att.ch_2.attenuation = 3.5

    `adapter` is a VISA resource name (a VISAAdapter is opened with LF line ends and a 5 s time-out,
    unless keyword arguments say otherwise) or any PyMeasure adapter already set up for LF line ends.
    """

    def __init__(self, adapter: Any, name: str = "TOLVAN attenuator", **kwargs: Any) -> None:
        if isinstance(adapter, (str, int)):
            kwargs.setdefault("read_termination", "\n")
            kwargs.setdefault("write_termination", "\n")
            kwargs.setdefault("timeout", DEFAULT_TIMEOUT_MS)
        # True from a query's time-out until the server's answers and this client's questions are
        # paired again (a late answer may still be on its way).
        self._out_of_step = False
        self._owed_error_answers = 0  # SYST:ERR? sent whose answer has not been read yet
        super().__init__(adapter, name, **kwargs)
        count = self.ask("SYST:CHAN:COUN?").strip()
        if not count.isdigit():
            raise InstrumentError(f"the server answered {count!r} for its channel count: is this `tolvan serve --scpi`?")
        for number in range(1, int(count) + 1):
            self.add_child(TolvanChannel, number, prefix="ch_")

    # -- answers and errors ------------------------------------------------------------------
    #
    # The server runs one client's commands in order and answers each query with one line, or
    # with nothing when the instrument did not answer (the read times out). After a time-out the
    # query's answer may still come, late: the error queue is read then, and every line before
    # its answer is such a late answer, dropped. Nothing is asked until that has been done.

    def write(self, command: str, **kwargs: Any) -> None:
        if self._out_of_step:
            try:
                self._errors()
            except PortUnavailable:
                raise
            except InstrumentError as error:
                raise NoReply(f"{self.name}: not sent: {error}") from None
        self._send(command, **kwargs)

    def read(self, **kwargs: Any) -> str:
        """One answer line; NoReply (or what the server's error queue says went wrong) when the
        query got none. A late answer is never taken for the answer to a later query."""
        try:
            return self._receive(**kwargs)
        except Exception as error:
            if not _timed_out(error):
                raise
            timeout = error
        self._out_of_step = True
        errors = self._errors()
        raise self._exception(errors, "no answer to the query within the time-out") from timeout

    def check_set_errors(self) -> list[tuple[int, str]]:
        """Raises for an error the last command left in the server's error queue (read once that
        command has run): NoReply, PortUnavailable, ValueError or InstrumentError."""
        errors = self._errors()
        if errors:
            raise self._exception(errors, "the command failed")
        return []

    def check_errors(self) -> list[tuple[int, str]]:
        """Reads the server's error queue to its end; the errors found, each (code, text), logged."""
        errors = self._errors()
        for code, text in errors:
            log.error("%s: %d, %s", self.name, code, text)
        return errors

    def _errors(self) -> list[tuple[int, str]]:
        """Every entry of this client's error queue, oldest first; the client is in step with the
        server afterwards. NoReply when the server does not answer.

        Each SYST:ERR? is owed one answer, even when its read timed out (it waited behind a
        command that waited on the instrument): the answers still owed are read first, their
        entries kept, so that none is later taken for the answer to another query."""
        errors: list[tuple[int, str]] = []
        dropped = 0
        self._ask_error_queue()
        while self._owed_error_answers:
            try:
                line = self._receive()
            except Exception as error:
                if _timed_out(error):
                    self._out_of_step = True
                    raise NoReply(f"{self.name}: the server did not answer SYST:ERR?: is `tolvan serve` "
                                  f"still running?") from error
                raise
            found = ERROR.match(line)
            if not found:
                dropped += 1
                if not self._out_of_step or dropped > MOST_LATE_LINES:
                    self._out_of_step = True
                    raise InstrumentError(f"{self.name}: the server answered {line!r} to SYST:ERR?")
                log.warning("%s: dropped %r, a late answer to a query that had timed out", self.name, line)
                continue
            self._owed_error_answers -= 1
            code, text = int(found.group(1)), found.group(2)
            if code != 0:
                errors.append((code, text))
                if not self._owed_error_answers:
                    self._ask_error_queue()  # the queue may hold more
        self._out_of_step = False
        return errors

    def _ask_error_queue(self) -> None:
        self._send("SYST:ERR?")
        self._owed_error_answers += 1

    # The adapter's own write and read; a connection that is gone (the server stopped) raises
    # PortUnavailable, which says so, rather than the socket's or VISA's error.

    def _send(self, command: str, **kwargs: Any) -> None:
        try:
            super().write(command, **kwargs)
        except Exception as error:
            raise self._lost(error) or error

    def _receive(self, **kwargs: Any) -> str:
        try:
            return str(super().read(**kwargs))
        except Exception as error:
            raise self._lost(error) or error

    def _lost(self, error: Exception) -> PortUnavailable | None:
        if not _connection_lost(error):
            return None
        lost = PortUnavailable(f"{self.name}: the connection to the server is gone ({error}): is `tolvan serve` "
                               f"still running? Once it is, create the instrument again")
        lost.__cause__ = error
        return lost

    def _exception(self, errors: list[tuple[int, str]], what: str) -> Exception:
        said = "; ".join(f'{code},"{text}"' for code, text in errors) or '0,"No error"'
        message = f"{self.name}: {what} (the server's error queue: {said})"
        codes = {code for code, _ in errors}
        if -241 in codes:
            return PortUnavailable(message)
        if codes & {-104, -222, -224}:  # not a number, out of range, not one of the channel's
            return ValueError(message)
        if -240 in codes or not errors:
            return NoReply(message)
        return InstrumentError(message)


def _connection_lost(error: Exception) -> bool:
    """Whether an adapter's write or read failed because the connection is gone (a socket's error,
    or VISA's connection lost)."""
    return _failed_for(error, ConnectionError, "error_connection_lost")


def _timed_out(error: Exception) -> bool:
    """Whether an adapter's read failed for want of an answer (PyVISA's time-out, or a socket's)."""
    return _failed_for(error, TimeoutError, "error_timeout")


def _failed_for(error: Exception, kind: type[Exception], visa_status: str) -> bool:
    """Whether `error` is a `kind`, or PyVISA's error with the status of that name."""
    if isinstance(error, kind):
        return True
    try:
        from pyvisa import constants, errors
    except ImportError:
        return False
    return isinstance(error, errors.VisaIOError) and error.error_code == getattr(constants.StatusCode, visa_status)
