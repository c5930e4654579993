"""The instrument held by `tolvan serve`, reached through its SCPI face: `Attenuator("scpi://HOST[:PORT]")`.

Once `tolvan serve` holds the serial port, no other program on the computer can open it; through
the server's address they share it. `Attenuator("scpi://127.0.0.1:5025")` is a `RemoteAttenuator`,
which behaves as the local one: the same channels (the `Channel` class is shared), values, errors
and refusals. Only the transport differs: where the local Attenuator calls the driver, this one
sends each of the driver's commands as a SCPI program (`program`), and decodes the answers.

Every request is one line, followed by `SYST:ERR?` on a line of its own:

    *CLS;INP2:ATT?          (the program: *CLS first, so that the error read after it is its own)
    SYST:ERR?               (answered even when the program met a command error)

and what the server says up to that error entry, one line, is the answer to that request. A request
whose answer does not come in time (or is interrupted) leaves the connection out of step (the answer may still come):
the connection is closed, and the next command opens a new one, so that no late answer is ever read
as a later request's. Lines sent and received are logged on `tolvan_lab.frames.scpi` at DEBUG.
"""

from __future__ import annotations

import logging
import os
import re
import socket
import threading
import time
from collections.abc import Callable
from decimal import Decimal, InvalidOperation
from typing import Any

from tolvan_lab import units
from tolvan_lab.addresses import address
from tolvan_lab.attenuator import TROUBLESHOOTING, Attenuator, _call_text
from tolvan_lab.errors import InstrumentError, NoReply, PortUnavailable, shown

MAX_LINE = 64 * 1024  # bytes of a response line: far beyond any answer the server gives
NOT_A_NUMBER = "9.91E37"  # what the server answers for a value the instrument does not give
SERVER = "`tolvan serve --scpi`"

log = logging.getLogger("tolvan_lab.frames.scpi")

_ENTRY = re.compile(r'([+-]?[0-9]+),"(.*)"\Z')


def error_entry(line: str) -> tuple[int, str] | None:
    """The code and text of an error queue entry (`-240,"Hardware error; ..."`), or None when
    `line` is not one (an answer: no answer of the server holds a double quote)."""
    found = _ENTRY.match(line)
    return (int(found.group(1)), found.group(2)) if found else None


def fields(lines: list[str], queries: int) -> list[str] | None:
    """The answers to a program of `queries` queries, from the lines that came before its error
    entry: one line, its answers joined by `;` (none for a program without a query). None when
    they are not that: the connection is out of step, or the peer is no tolvan serve."""
    expected = 1 if queries else 0
    if len(lines) != expected:
        return None
    answers = lines[0].split(";") if lines else []
    return answers if len(answers) == queries else None


def steps_of(answer: str) -> int:
    """`INP<n>:ATT?`'s answer as 0.01 dB steps (DISCONNECTED_STEPS for 9.91E37); ValueError for
    what is no attenuation the instrument can hold."""
    if answer == NOT_A_NUMBER:
        return units.DISCONNECTED_STEPS
    try:
        return units.steps(Decimal(answer))
    except (InvalidOperation, ValueError):
        raise ValueError(f"{answer[:40]!r} is no attenuation") from None


def wavelength_of(answer: str) -> int | None:
    """`INP<n>:WAV?`'s answer in nm, None for 9.91E37 (a position outside the channel's list)."""
    if answer == NOT_A_NUMBER:
        return None
    if not answer.isdigit() or len(answer) > 6:
        raise ValueError(f"{answer[:40]!r} is no wavelength")
    return int(answer)


def wavelengths_of(answer: str) -> list[int]:
    """`INP<n>:WAV:LIST?`'s answer: `1310,1490,1550` (empty for none)."""
    listed = [part for part in answer.split(",")] if answer else []
    if not all(part.isdigit() and len(part) <= 6 for part in listed):
        raise ValueError(f"{answer[:40]!r} is no list of wavelengths")
    return [int(part) for part in listed]


def version_of(answer: str) -> dict[str, int]:
    """`*IDN?`'s answer, `TOLVAN,attenuator,<port>,2.50.32`, as the driver gives a version."""
    parts = answer.split(",")
    numbers = parts[-1].split(".")
    if len(parts) != 4 or parts[0] != "TOLVAN" or len(numbers) != 3 or not all(n.isdigit() for n in numbers):
        raise ValueError(f"*IDN? answered {answer[:80]!r}, which is not tolvan serve's")
    module, hardware, software = map(int, numbers)
    return {"module_version": module, "hard_version": hardware, "soft_version": software}


def db_text(mdb: int) -> str:
    """An attenuation in mdB (a whole number of 0.01 dB steps) as exact dB: 3500 -> 3.50."""
    count = mdb // units.MDB_PER_STEP
    return f"{count // units.STEPS_PER_DB}.{count % units.STEPS_PER_DB:02d}"


# Each driver command as a SCPI program and the decoding of its answers into the driver's result.
Decode = Callable[[list[str]], Any]


def program(method: str, *args: int) -> tuple[str, Decode]:
    if method == "read_device_version":
        return "*IDN?", lambda got: version_of(got[0])
    if method == "read_optical_length":
        (ch,) = args
        return f"INP{ch}:WAV:LIST?", lambda got: wavelengths_of(got[0])
    if method == "read_current_status":
        (ch,) = args
        return f"INP{ch}:ATT?;INP{ch}:WAV?", lambda got: (steps_of(got[0]), wavelength_of(got[1]))
    if method == "read_attenuation":
        (ch,) = args
        return f"INP{ch}:ATT?", lambda got: steps_of(got[0])
    if method == "set_attenuation":
        mdb, ch = args
        return f"INP{ch}:ATT {db_text(mdb)}", lambda got: True
    if method == "set_optical_length":
        nm, ch = args
        return f"INP{ch}:WAV {nm}", lambda got: True
    if method == "clear_attenuation":
        (ch,) = args
        return f"INP{ch}:ATT:CLE", lambda got: True
    if method == "dis_connection":
        (ch,) = args
        return f"OUTP{ch}:STAT OFF", lambda got: True
    raise LookupError(method)


def _note(address_text: str, event: str, line: str | None = None, why: str = "") -> None:
    """One record on `tolvan_lab.frames.scpi`, laid out and carrying what `tolvan_lab.frames` records
    carry (`tolvan_frame`: the line's bytes), and `tolvan_line`: the line as text."""
    if not log.isEnabledFor(logging.DEBUG):
        return
    now = time.monotonic()
    log.debug("%.6f %s %s%s%s", now, address_text, event, f" {line}" if line is not None else "",
              f" ({why})" if why else "",
              extra={"tolvan_time": now, "tolvan_port": address_text, "tolvan_event": event,
                     "tolvan_frame": None if line is None else line.encode("ascii", "replace"),
                     "tolvan_line": line, "tolvan_why": why})


class RemoteAttenuator(Attenuator):
    """The attenuator that `tolvan serve --scpi` holds, at `scpi://HOST[:PORT]` (default port 5025).

    Made by `Attenuator("scpi://...")`. `open()` connects, `close()` disconnects (nothing changes on
    the instrument). `reply_timeout` is how long the server's answer may take: the server waits 1 s
    for each reply of the instrument, and may be serving other clients first. `exclusive` does not
    apply: the server holds the port, and shares it.
    """

    reply_timeout: float = 10.0
    connect_timeout: float = 5.0

    def __init__(self, port: str | os.PathLike[str], *, channels: int = 4, retries: int = 0,
                 exclusive: bool = True) -> None:
        super().__init__(port, channels=channels, retries=retries, exclusive=exclusive)
        self.host, self.tcp_port = address(self.port)
        self._lock = threading.RLock()  # one request at a time on the connection (see _guard)
        self._lock_pid = os.getpid()
        self._open = False
        self._socket: socket.socket | None = None  # None while open when a timeout dropped it
        self._buffer = bytearray()

    def __repr__(self) -> str:
        state = "open" if self._open else "closed"
        return f"<Attenuator {shown(self.port)!r} {state}, channels 1 to {len(self)}>"

    # -- the connection ----------------------------------------------------------------------

    def _guard(self) -> threading.RLock:
        """The lock of the connection; a forked child's own, since a thread of its parent may have
        held it at the fork, and no thread of the child would ever release it."""
        if self._lock_pid != os.getpid():
            self._lock, self._lock_pid = threading.RLock(), os.getpid()
        return self._lock

    @property
    def is_open(self) -> bool:
        return self._open

    def open(self) -> None:
        """Connects to the server; PortUnavailable when that cannot be done. Opening an open
        Attenuator does nothing."""
        with self._guard():
            if self._open:
                return
            self._connect("open()")
            self._open, self._lost, self._opened_by = True, None, os.getpid()

    def close(self) -> None:
        """Disconnects from the server (nothing changes on the instrument). Closing twice does nothing."""
        with self._guard():
            was_open, self._open = self._open, False
            self._drop()
            self._version = None
            self._wavelengths.clear()
            if was_open:
                _note(self.port, "closed")

    def _connect(self, call: str) -> socket.socket:
        try:
            connection = socket.create_connection((self.host, self.tcp_port), timeout=self.connect_timeout)
        except OSError as error:
            why = ("nothing listens there" if isinstance(error, ConnectionRefusedError) else
                   "no answer" if isinstance(error, TimeoutError) else error.strerror or str(error))
            raise PortUnavailable(f"cannot connect to {shown(self.port)}: {why}: is {SERVER} running there? "
                                  f"(`tolvan serve -p PORT --scpi HOST:PORT` serves the instrument on PORT)",
                                  port=self.port, command=call) from None
        connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self._socket, self._buffer = connection, bytearray()
        _note(self.port, "opened")
        return connection

    def _reconnect(self, call: str) -> socket.socket:
        """A new connection, after a late answer dropped the last one; a server gone closes this Attenuator."""
        try:
            return self._connect(call)
        except PortUnavailable as error:
            self._lost = str(error)
            self.close()
            raise

    def _drop(self) -> None:
        """Closes the connection: whatever answer is still on its way is lost with it."""
        connection, self._socket = self._socket, None
        self._buffer = bytearray()
        if connection is not None:
            connection.close()

    def _fail(self, call: str, why: str) -> PortUnavailable:
        """The connection failed under a command: closed, as the local one closes a port that fails."""
        self._lost = why
        self.close()
        return PortUnavailable(f"the connection to {shown(self.port)} failed during {call}: {why}; is {SERVER} "
                               f"still running? Open it again once it is back", port=self.port, command=call)

    def _read_line(self, connection: socket.socket, deadline: float) -> str | None:
        """The next line from the server; None when none came by `deadline`."""
        while (end := self._buffer.find(b"\n")) < 0:
            if len(self._buffer) > MAX_LINE:
                raise ConnectionError(f"the server sent a line longer than {MAX_LINE} bytes")
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return None
            connection.settimeout(remaining)
            try:
                chunk = connection.recv(4096)
            except TimeoutError:
                return None
            if not chunk:
                raise ConnectionError("the server closed the connection (it stopped, or refused this client: "
                                      "its log says why)")
            self._buffer += chunk
        raw = bytes(self._buffer[:end]).rstrip(b"\r")
        del self._buffer[:end + 1]
        return raw.decode("ascii", "replace")

    # -- commands ----------------------------------------------------------------------------

    def _run(self, method: str, *args: Any) -> Any:
        return self._request(_call_text(method, args), method, *args)

    def _request(self, call: str, method: str, *args: Any) -> Any:
        """One driver command as a SCPI program, sent again up to `retries` times while the
        instrument gives no reply; the driver's result for it.

        NoReply when no attempt was answered; PortUnavailable when the server cannot be reached,
        went away, or has lost the instrument's port."""
        if method == "close_full_screen":
            raise InstrumentError(f"cannot send {call} through {shown(self.port)}: {SERVER} has no command for "
                                  f"it; send it where the instrument's port is", port=self.port, command=call)
        text, decode = program(method, *args)
        with self._guard():
            self._check_can_send(call, is_open=self._open)
            for attempt in range(self.retries + 1):
                try:
                    answers = self._send_program(call, text)
                except NoReply:
                    if attempt == self.retries:
                        raise
                    continue
                try:
                    return decode(answers)
                except ValueError as error:
                    self._drop()  # what else it sends cannot be trusted either
                    raise InstrumentError(f"{shown(self.port)} answered {call} with what no tolvan server says "
                                          f"({error}); is it {SERVER}?", port=self.port, command=call) from None
        raise AssertionError("unreachable")  # the loop returns or raises

    def _send_program(self, call: str, text: str) -> list[str]:
        """Sends the program `text` and its error query; the answers to its queries. Raises what the
        error entry says went wrong."""
        connection = self._socket or self._reconnect(call)
        line = f"*CLS;{text}"
        try:
            connection.sendall(f"{line}\nSYST:ERR?\n".encode("ascii"))
        except OSError as error:
            raise self._fail(call, f"{type(error).__name__}: {error}") from None
        _note(self.port, "sent", line)
        _note(self.port, "sent", "SYST:ERR?")
        try:
            answered, (code, words) = self._response(call, connection)
        except BaseException:  # an interruption too (Ctrl-C): what is still to come would be out of step
            self._drop()
            raise
        if code != 0:
            raise self._answer_to_error(call, code, words)
        answers = fields(answered, text.count("?"))
        if answers is None:
            self._drop()
            raise InstrumentError(f"{shown(self.port)} answered the {text.count('?')} queries of {call} with "
                                  f"{' | '.join(answered)[:80]!r}; is it {SERVER}?", port=self.port, command=call)
        return answers

    def _response(self, call: str, connection: socket.socket) -> tuple[list[str], tuple[int, str]]:
        """The lines up to the error entry, and the entry. NoReply when they do not all come within
        `reply_timeout` (the caller then drops the connection: the rest may still come)."""
        deadline = time.monotonic() + self.reply_timeout
        answered: list[str] = []
        while True:
            try:
                got = self._read_line(connection, deadline)
            except OSError as error:  # ConnectionError too: the server went away
                raise self._fail(call, str(error) if isinstance(error, ConnectionError) else
                                 f"{type(error).__name__}: {error}") from None
            if got is None:
                _note(self.port, "received nothing", why=f"no answer within {self.reply_timeout:g} s")
                raise NoReply(f"no answer from {shown(self.port)} to {call} within {self.reply_timeout:g} s: "
                              f"is {SERVER} busy, or stopped? {TROUBLESHOOTING}", port=self.port, command=call)
            _note(self.port, "received", got)
            entry = error_entry(got)
            if entry is not None:
                return answered, entry
            answered.append(got)

    def _answer_to_error(self, call: str, code: int, words: str) -> Exception:
        """The exception for the server's error entry, as the local Attenuator would raise it."""
        said = f"(the server said: {code},\"{words}\")"
        if code == -240:
            return NoReply(f"no reply from the instrument behind {shown(self.port)} to {call} {said}: is it switched "
                           f"on? {TROUBLESHOOTING}", port=self.port, command=call)
        if code == -241:
            return PortUnavailable(f"{shown(self.port)} cannot reach the instrument for {call}: its port is not open "
                                   f"{said}; was the adapter unplugged?", port=self.port, command=call)
        if code == -224 and call.startswith("set_optical_length"):
            return ValueError(words)  # the channel's list changed since it was read: the Channel says so
        if code == -114:
            return InstrumentError(f"{shown(self.port)} does not serve the channel of {call} {said}; "
                                   f"`tolvan serve --channels N` serves channels 1 to N", port=self.port, command=call)
        return InstrumentError(f"{shown(self.port)} refused {call} {said}", port=self.port, command=call)

    def channel_attenuation_steps(self, ch: int) -> int:
        # The attenuation alone, in a line of its own (INP<n>:ATT?).
        steps: int = self._request(_call_text("read_current_status", (ch,)), "read_attenuation", ch)
        return steps

    def channel_status(self, ch: int) -> tuple[int, int]:
        # The server names the wavelength; the Channel takes its position in the list, as the instrument gives it.
        listed = self.channel_wavelengths(ch)
        steps, nm = self._run("read_current_status", ch)
        return (listed.index(nm) if nm in listed else -1), steps
