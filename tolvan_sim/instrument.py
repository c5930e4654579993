"""Starting and stopping the simulated instrument `tolvan-sim`, and reading its frame log and state."""

from __future__ import annotations

import json
import os
import secrets
import select
import shlex
import shutil
import signal
import subprocess
import sys
import sysconfig
import tempfile
import time
import weakref
from pathlib import Path
from typing import IO, NoReturn, Protocol, TypedDict

from tolvan_sim.frames import Command, Refused, decode

PROGRAM = "tolvan-sim"
# The simulator serves a pseudo-terminal, so it is built on Linux and macOS only.
SUPPORTED = sys.platform != "win32"
# How long the simulator may take to print its port, and to exit once asked to.
START_TIMEOUT = 10.0
STOP_TIMEOUT = 5.0
# The format of the file that `tolvan-sim --state` keeps, as the file names it.
STATE_FORMAT = "tolvan-sim state 1"


class ChannelState(TypedDict):
    """What one channel holds, as state() reports it."""

    attenuation: int | None  # mdB; None while disconnected
    connected: bool
    wavelength_index: int
    wavelengths: list[int]


class SimulatorError(RuntimeError):
    """tolvan-sim did not start (it could not run, refused its options, or reported no port in time)."""


class SimulatorNotFound(SimulatorError):
    """There is no tolvan-sim to start: not installed, or not built for this system."""


def find_simulator() -> str | None:
    """The tolvan-sim that came with this package, else the first one on PATH; None if there is none.

    Installed with the package, it lands in the scripts folder of the environment
    (or of the user scheme, after `pip install --user`), which need not be on PATH.
    """
    if not SUPPORTED:
        return None
    schemes = [sysconfig.get_default_scheme(), sysconfig.get_preferred_scheme("user")]
    for scheme in schemes:
        candidate = Path(sysconfig.get_path("scripts", scheme)) / PROGRAM
        if candidate.is_file() and os.access(candidate, os.X_OK):
            return str(candidate)
    return shutil.which(PROGRAM)


def _stop(process: subprocess.Popen[bytes], sig: int) -> None:
    """Stops the process with `sig` if it still runs, and waits until it has finished writing.

    A simulator that this process stops says so by ending its standard output once its log and
    state are complete, and then waits, to remove its private folder itself, until this process
    writes "done" or goes (see _release); one that has ended has finished too. One that lingers
    past STOP_TIMEOUT is killed. Safe to call again, after an interruption too.
    """
    if process.poll() is None:
        # A line first says that this process stops it and reads what it leaves: a simulator
        # stopped by a signal without one, whose parent then goes (a signal to the whole process
        # group), removes its private folder itself.
        _tell(process, b"stop\n")
        process.send_signal(sig)
    stdout = process.stdout
    deadline = time.monotonic() + STOP_TIMEOUT
    while stdout is not None and not stdout.closed and process.poll() is None:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            process.kill()
            break
        # A short wait: a process that ends leaves its standard output open in any child it started.
        if select.select([stdout], [], [], min(remaining, 0.05))[0] and not os.read(stdout.fileno(), 4096):
            break


def _release(process: subprocess.Popen[bytes], private: str) -> int:
    """Removes `private`, the folder of the stopped process's own log and state, and lets the process
    end; its exit status. Closes the pipes to it. Safe to call again, after an interruption too.
    """
    shutil.rmtree(private, ignore_errors=True)
    _tell(process, b"done\n")
    try:
        process.wait(timeout=STOP_TIMEOUT)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
    for pipe in (process.stdin, process.stdout):
        if pipe is not None:
            pipe.close()
    return process.returncode


def _tell(process: subprocess.Popen[bytes], line: bytes) -> None:
    if process.stdin is not None and not process.stdin.closed:
        try:
            os.write(process.stdin.fileno(), line)
        except OSError:
            pass  # it has ended


def _finish(process: subprocess.Popen[bytes], private: str, owner: int) -> None:
    """The finaliser: stops the simulator and removes its folder, in the process that started it only.

    A process forked from that one (multiprocessing's fork, a test runner's worker) holds a copy
    of the object, whose simulator and files are its parent's.
    """
    if os.getpid() == owner:
        _stop(process, signal.SIGTERM)
        _release(process, private)


# Options that SimulatedInstrument gives the simulator itself.
_OWN_OPTIONS = ("--state", "--private-dir", "--session")


def _log_option(options: tuple[str, ...]) -> str | None:
    """The value of a --log among the simulator's options (the last one, as the simulator takes it).

    Raises SimulatorError for an option that SimulatedInstrument gives itself.
    """
    found = None
    for index, option in enumerate(options):
        name = option.partition("=")[0]
        if option == "--log" and index + 1 < len(options):
            found = options[index + 1]
        elif name == "--log":
            found = option.removeprefix("--log=")
        elif name in _OWN_OPTIONS:
            raise SimulatorError(f"tolvan_sim gives the simulator its {name} itself: read what it holds with "
                                 f"state(), and keep the frame log with log= (its part of a shared log is "
                                 f"told apart by the session name that tolvan_sim gives it)")
    return found


class SimulatedInstrument:
    """A running tolvan-sim, started with the given command-line options.

        with SimulatedInstrument("--channels", "2", "--wavelengths", "2=1310,1550") as sim:
            tl = TOLVAN(sim.port)

    The simulator starts when the object is made and stops (SIGTERM) when the
    `with` block ends, when `stop()` is called, or at the latest when the object
    is collected or the interpreter exits; should this process end without that
    (killed, os._exit), the simulator ends with it. `commands()`, `refused()`
    and `state()` say what the instrument received and holds, also after it
    stopped. `log`, a file path, makes the simulator append one line per frame
    there (its `--log` option), to keep; without it the log is kept in a private
    folder that goes when the simulator stops. `log()`, `notes()` and
    `received()` read the log's lines.

    Raises SimulatorNotFound when there is no tolvan-sim, and SimulatorError when it
    cannot start, refuses its options (the message holds the simulator's own) or
    reports no port within START_TIMEOUT seconds.
    """

    port: str
    """The serial end a client opens, such as /dev/pts/3."""

    def __init__(self, *options: str | int | os.PathLike[str], log: str | os.PathLike[str] | None = None,
                 program: str | None = None) -> None:
        self.options = tuple(str(option) if isinstance(option, int) else os.fspath(option) for option in options)
        from_options = _log_option(self.options)
        if log is not None and from_options is not None:
            raise SimulatorError("the frame log is given twice, as log= and as --log: give one")
        chosen = log if log is not None else from_options
        if chosen is not None and os.fspath(chosen) == "-":
            raise SimulatorError("log='-' sends the frame log to standard error, where commands() and received() "
                                 "cannot read it: give a file path, or no log (commands() works without one)")
        self.log_path = None if chosen is None else Path(chosen)
        found = program or find_simulator()
        if found is None:
            raise SimulatorNotFound(
                f"{PROGRAM} is not built on Windows (it needs pseudo-terminals)" if not SUPPORTED else
                f"{PROGRAM} was not found in {sysconfig.get_path('scripts')} nor on PATH: it is installed "
                f"with the tolvan package on Linux and macOS (pip install . in a checkout, or its wheel)")
        self.program = found
        self._private = tempfile.mkdtemp(prefix="tolvan-sim-")
        # Read back from where the simulator wrote it, whatever the working directory is then.
        self._log_file = (self.log_path or Path(self._private, "wire.log")).absolute()
        self._state_file = Path(self._private, "state.json")
        # The simulator appends to a log, which may hold other sessions, earlier or at the same
        # time: each line of this one starts with this name.
        self._session = secrets.token_hex(4)
        self._final: tuple[list[str], str | None] | None = None
        # The simulator's standard input is a pipe whose write end only this process
        # holds: when this process ends, however it ends, the simulator stops, and
        # removes the private folder that this process can no longer remove (see _stop).
        # The user's options last: one that lacks its value is then reported as such, rather
        # than taking one of these as its value.
        command = [found, "--state", str(self._state_file), "--stop-on-stdin-close", "--private-dir", self._private,
                   "--session", self._session]
        if from_options is None:
            command += ["--log", str(self._log_file)]
        command += self.options
        deadline = time.monotonic() + START_TIMEOUT
        # Standard error goes to a file, which never fills up as a pipe would, and is
        # read back only to explain a failed start.
        with tempfile.TemporaryFile("w+", errors="replace") as errors:  # a file name need not be UTF-8
            try:
                self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=errors)
            except OSError as error:
                shutil.rmtree(self._private, ignore_errors=True)
                kind = SimulatorNotFound if isinstance(error, FileNotFoundError) else SimulatorError
                raise kind(f"cannot start {found}: {error.strerror}") from None
            self._owner = os.getpid()
            self._finalizer = weakref.finalize(self, _finish, self.process, self._private, self._owner)
            try:
                first_line = self._first_line(deadline)
                if not (first_line.startswith("/") and first_line.endswith("\n")):
                    self._fail_to_start(first_line, errors, deadline)
            except BaseException:
                # Also when interrupted (Ctrl-C, a test's time-out): the traceback keeps this
                # object, and would keep the simulator running, for as long as it is kept.
                self.stop(signal.SIGKILL)
                raise
        self.port = first_line.strip()

    def _first_line(self, deadline: float) -> str:
        """What the simulator printed up to its first line's end, or until `deadline` or its exit."""
        stdout = self.process.stdout
        assert stdout is not None
        printed = b""
        while b"\n" not in printed:
            remaining = deadline - time.monotonic()
            ready, _, _ = select.select([stdout], [], [], max(remaining, 0))
            chunk = os.read(stdout.fileno(), 4096) if ready else b""
            if not chunk:
                break
            printed += chunk
        line, newline, _ = printed.partition(b"\n")
        return (line + newline).decode(errors="replace")

    def _fail_to_start(self, first_line: str, errors: IO[str], deadline: float) -> NoReturn:
        # A simulator that ends at once (a refused option) is given a moment to say
        # its exit status; one still silent at the deadline is killed.
        try:
            status: int | None = self.process.wait(timeout=min(1.0, max(deadline - time.monotonic(), 0)))
        except subprocess.TimeoutExpired:
            status = None
        self.stop(signal.SIGKILL)
        errors.seek(0)
        said = errors.read().strip() or first_line.strip()
        invocation = shlex.join([PROGRAM, *self.options])
        if status is None:
            raise SimulatorError(f"{invocation} reported no port within {START_TIMEOUT:g} s: {said!r}")
        raise SimulatorError(f"{invocation} did not start (exit status {status}): {said}")

    @property
    def running(self) -> bool:
        return self.process.poll() is None

    def stop(self, sig: int = signal.SIGTERM) -> int:
        """Stops the simulator (if it still runs) with `sig`; returns its exit status (0: a clean stop).

        What it logged and holds stays readable through commands(), refused(),
        state() and the log methods. Interrupted (Ctrl-C), the simulator still
        removes its private folder when this process ends; stop() again finishes
        the work. Only the process that started the simulator can stop it: in
        another (a forked child), SimulatorError.
        """
        if os.getpid() != self._owner:
            raise SimulatorError(f"this simulator was started by process {self._owner}: stop it there "
                                 f"(this process, {os.getpid()}, was forked from it)")
        _stop(self.process, sig)
        if self._final is None:
            self._final = ([] if self.log_path else self._read_log(), self._read_state())
        status = _release(self.process, self._private)
        self._finalizer.detach()
        return status

    def __enter__(self) -> SimulatedInstrument:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    def __repr__(self) -> str:
        state = "running" if self.running else f"stopped ({self.process.returncode})"
        return f"<SimulatedInstrument {shlex.join(self.options)!r} on {getattr(self, 'port', '?')} {state}>"

    # -- what the instrument holds ------------------------------------------------------

    def _read_state(self) -> str | None:
        try:
            return self._state_file.read_text()
        except FileNotFoundError:
            return None

    def _published_state(self) -> dict[int, ChannelState] | None:
        """The state the simulator published; None when it models no instrument (--relay, --replay)."""
        text = self._final[1] if self._final is not None else self._read_state()
        if text is None:
            return None
        try:
            published = json.loads(text)
        except ValueError:
            published = None
        if not isinstance(published, dict) or published.get("format") != STATE_FORMAT:
            raise SimulatorError(f"{self.program} published no state this package reads "
                                 f"(expected {STATE_FORMAT!r}): is it older than tolvan_sim?")
        return {int(channel): held for channel, held in published["channels"].items()}

    def state(self) -> dict[int, ChannelState]:
        """What the instrument holds now, by channel number: for each a dict

            {"attenuation": 1230, "connected": True, "wavelength_index": 0, "wavelengths": [1310, 1490, 1550]}

        in the units read_current_status and read_optical_length report: attenuation
        in mdB (None while the channel is disconnected), the selected wavelength's
        position in the list, the list in nm. Read from the simulator itself, which
        brings it up to date before it answers a request. A simulator that relays to
        a real instrument or replays a recording holds no state: SimulatorError.
        """
        held = self._published_state()
        if held is None:
            raise SimulatorError("with --relay or --replay the simulator models no instrument: the state is the "
                                 "device's, or the recording's, and only the frames tell it")
        return held

    # -- the frame log -------------------------------------------------------------------

    def _read_log(self) -> list[str]:
        """This simulator's whole lines of its log, without the session name that starts each.

        Its session begins with the line "# session NAME pid PID" and holds the lines that start
        with NAME, up to a later session of that name, if any.
        """
        try:
            text = self._log_file.read_bytes()
        except FileNotFoundError:
            return []
        began = f"# session {self._session} pid {self.process.pid}\n".encode()
        at = text.find(began)
        while at > 0 and text[at - 1:at] != b"\n":
            at = text.find(began, at + 1)
        if at < 0:
            return []
        own, again = f"{self._session} ".encode(), f"# session {self._session} ".encode()
        lines = []
        # The last piece is a line that a simulator may still be writing: it is read once whole.
        for line in text[at + len(began):].split(b"\n")[:-1]:
            if line.startswith(own):
                lines.append(line[len(own):].decode(errors="replace"))
            elif line.startswith(again):
                break
        return lines

    def _log_lines(self) -> list[str]:
        if self._final is not None and self.log_path is None:
            return self._final[0]
        return self._read_log()

    def _entries(self, kind: str) -> list[tuple[bytes, str]]:
        """Each frame line of one kind, oldest first: its bytes and its note ("" when it has none).

        The one place that reads the line format: "KIND HEX BYTES TIME[ # NOTE]", where
        TIME is "@ms" or "+ms"; lines starting with "#" are events, not frames.
        """
        found = []
        for line in self._log_lines():
            head, _, note = line.partition(" # ")
            words = head.split()
            if words and words[0] == kind:
                hex_words = words[1:-1] if words[-1][:1] in ("@", "+") else words[1:]
                found.append((bytes.fromhex(" ".join(hex_words)), note))
        return found

    def log(self, kind: str) -> list[bytes]:
        """The frames of the log lines of one kind, oldest first.

        Kinds: "rx" a request received, "tx" bytes sent, "bad" bytes ignored,
        "drop" a reply withheld, "lost" bytes no client received.
        """
        return [raw for raw, _ in self._entries(kind)]

    def notes(self, kind: str) -> list[str]:
        """The notes (after " # ") of the log lines of one kind, such as why a frame was ignored."""
        return [note for _, note in self._entries(kind) if note]

    def received(self) -> list[bytes]:
        """The requests the instrument took, oldest first."""
        return self.log("rx")

    def commands(self) -> list[Command]:
        """The requests the instrument took, oldest first, each as the driver call that sends it.

            assert Command("set_attenuation", 2, 1230) in sim.commands()   # set_attenuation(1234, 2)

        See Command for the values; refused requests are in refused() instead. With
        --relay or --replay, which model no instrument and so know no wavelength
        list, set_optical_length's value is None.
        """
        lists: dict[int, list[int]] | None = None  # read from the state when first needed

        def wavelengths(channel: int) -> list[int]:
            nonlocal lists
            if lists is None:
                lists = {number: held["wavelengths"] for number, held in (self._published_state() or {}).items()}
            return lists.get(channel, [])

        return [decode(frame, wavelengths) for frame in self.log("rx")]

    def refused(self) -> list[Refused]:
        """The bytes the instrument refused or ignored, oldest first, each with the reason its log gives."""
        return [Refused(frame, reason) for frame, reason in self._entries("bad")]


class MakeTolvanSim(Protocol):
    """The type of the fixture make_tolvan_sim: make_tolvan_sim(*options, log=None) starts a simulator.

        def test_two_channels(make_tolvan_sim: MakeTolvanSim) -> None:
            sim = make_tolvan_sim("--channels", 2)
    """

    def __call__(self, *options: str | int | os.PathLike[str],
                 log: str | os.PathLike[str] | None = None) -> SimulatedInstrument: ...
