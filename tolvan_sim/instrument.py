"""Starting and stopping the simulated instrument `tolvan-sim`, and reading its frame log."""

from __future__ import annotations

import os
import select
import shlex
import shutil
import signal
import subprocess
import sys
import sysconfig
import tempfile
import weakref
from pathlib import Path

PROGRAM = "tolvan-sim"
# The simulator serves a pseudo-terminal, so it is built on Linux and macOS only.
SUPPORTED = sys.platform != "win32"
# How long the simulator may take to print its port, and to exit once asked to.
START_TIMEOUT = 10.0
STOP_TIMEOUT = 5.0


class SimulatorError(RuntimeError):
    """tolvan-sim did not start (it refused its options, or reported no port)."""


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


def _end(process: subprocess.Popen[str], sig: int) -> int:
    """Stops the process with `sig` if it still runs (killing it if it lingers); its exit status."""
    if process.poll() is None:
        process.send_signal(sig)
        try:
            process.wait(timeout=STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    if process.stdout is not None:
        process.stdout.close()
    return process.returncode


class SimulatedInstrument:
    """A running tolvan-sim, started with the given command-line options.

        with SimulatedInstrument("--channels", "2", "--wavelengths", "2=1310,1550") as sim:
            tl = TOLVAN(sim.port)

    The simulator starts when the object is made and stops (SIGTERM) when the
    `with` block ends, when `stop()` is called, or at the latest when the object
    is collected or the interpreter exits. `log`, a file path, makes it append one
    line per frame there (its `--log` option); `log()`, `notes()` and `received()`
    read that file back.

    Raises SimulatorNotFound when there is no tolvan-sim, and SimulatorError when it
    refuses its options (the message holds the simulator's own) or reports no port.
    """

    port: str
    """The serial end a client opens, such as /dev/pts/3."""

    def __init__(self, *options: str | int | os.PathLike[str], log: str | os.PathLike[str] | None = None,
                 program: str | None = None) -> None:
        self.options = tuple(str(option) if isinstance(option, int) else os.fspath(option) for option in options)
        self.log_path = None if log is None else Path(log)
        found = program or find_simulator()
        if found is None:
            raise SimulatorNotFound(
                f"{PROGRAM} is not built on Windows (it needs pseudo-terminals)" if not SUPPORTED else
                f"{PROGRAM} was not found in {sysconfig.get_path('scripts')} nor on PATH: it is installed "
                f"with the tolvan package on Linux and macOS (pip install tolvan)")
        self.program = found
        command = [found, *self.options]
        if self.log_path is not None:
            command += ["--log", str(self.log_path)]
        # Standard error goes to a file, which never fills up as a pipe would, and is
        # read back only to explain a failed start.
        with tempfile.TemporaryFile("w+") as errors:
            try:
                self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                                stderr=errors, text=True)
            except FileNotFoundError as error:
                raise SimulatorNotFound(f"cannot start {found}: {error.strerror}") from None
            self._finalizer = weakref.finalize(self, _end, self.process, signal.SIGTERM)
            first_line = self._first_line()
            if not first_line.startswith("/"):
                try:
                    status: int | None = self.process.wait(timeout=1.0)
                except subprocess.TimeoutExpired:
                    status = None
                self.stop()
                errors.seek(0)
                said = errors.read().strip() or first_line.strip()
                invocation = shlex.join([PROGRAM, *self.options])
                if status is None:
                    raise SimulatorError(f"{invocation} reported no port within {START_TIMEOUT:g} s: {said!r}")
                raise SimulatorError(f"{invocation} did not start (exit status {status}): {said}")
        self.port = first_line.strip()

    def _first_line(self) -> str:
        stdout = self.process.stdout
        assert stdout is not None
        ready, _, _ = select.select([stdout], [], [], START_TIMEOUT)
        return stdout.readline() if ready else ""

    @property
    def running(self) -> bool:
        return self.process.poll() is None

    def stop(self, sig: int = signal.SIGTERM) -> int:
        """Stops the simulator (if it still runs) with `sig`; returns its exit status (0: a clean stop)."""
        self._finalizer.detach()
        return _end(self.process, sig)

    def __enter__(self) -> SimulatedInstrument:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    def __repr__(self) -> str:
        state = "running" if self.running else f"stopped ({self.process.returncode})"
        return f"<SimulatedInstrument {shlex.join(self.options)!r} on {getattr(self, 'port', '?')} {state}>"

    # -- the frame log -------------------------------------------------------------------

    def _log_lines(self) -> list[str]:
        if self.log_path is None:
            raise SimulatorError("this simulator was started without log=PATH: it keeps no frame log")
        return self.log_path.read_text().splitlines()

    def log(self, kind: str) -> list[bytes]:
        """The frames of the log lines of one kind, oldest first.

        Kinds: "rx" a request received, "tx" bytes sent, "bad" bytes ignored,
        "drop" a reply withheld, "lost" bytes no client received.
        """
        found = []
        for line in self._log_lines():
            words = line.split(" # ")[0].split()
            if words and words[0] == kind:
                # The last word is the frame's time ("@ms" or "+ms").
                found.append(bytes.fromhex(" ".join(words[1:-1])))
        return found

    def notes(self, kind: str) -> list[str]:
        """The notes (after " # ") of the log lines of one kind, such as why a frame was ignored."""
        return [line.split(" # ", 1)[1] for line in self._log_lines()
                if line.split(" ", 1)[0] == kind and " # " in line]

    def received(self) -> list[bytes]:
        """The requests the instrument took, oldest first."""
        return self.log("rx")
