"""One invocation's resources and outcome: the port (or the simulator behind it), the
JSON document, what each channel was left at, and the failures that set the exit status.

Imported once a command runs, not for --help.
"""

from __future__ import annotations

import contextlib
import os
import sys

TYPE_CHECKING = False  # typing itself is not imported: `tolvan ports` starts in a few ms
if TYPE_CHECKING:
    from collections.abc import Sequence
    from typing import Any

TROUBLESHOOTING = "see Troubleshooting in the tolvan README; --trace shows every frame"


class UsageError(Exception):
    """A value the instrument cannot take, or an option that cannot work here: exit status 2."""


class Failed(Exception):
    """The instrument did not answer, or refused: exit status 1."""


class PortError(Exception):
    """The port could not be opened: exit status 3."""


class Terminated(BaseException):
    """SIGTERM or SIGHUP: cleaned up like Ctrl-C."""


def _terminated(signum: int, frame: object) -> None:
    raise Terminated(signum)


class Recorder:
    """Passes what is written on to `stream`, keeping a copy."""

    def __init__(self, stream: Any) -> None:
        self.stream = stream
        self.lines: list[str] = []

    def write(self, text: str) -> int:
        self.lines.append(text)
        return int(self.stream.write(text))

    def flush(self) -> None:
        self.stream.flush()


class Session:
    def __init__(self, args: Any, out: Any) -> None:
        self.args = args
        self.out = out
        self.json: bool = args.json
        self.doc: Any = {}
        self.problems: list[str] = []
        # Per channel, what its attenuation is known to be, for the line after an interruption.
        self.left: dict[int, str] = {}
        self.opened = False
        self.stack = contextlib.ExitStack()
        self._sim_port: str | None = None
        # Another process ending this one (a terminal closed, a job killed) gets the same
        # clean-up as Ctrl-C: port closed, simulator stopped, files complete.
        import signal
        for name in ("SIGTERM", "SIGHUP"):
            if hasattr(signal, name):
                signal.signal(getattr(signal, name), _terminated)

    # -- output ------------------------------------------------------------------------------

    def say(self, line: str = "") -> None:
        """A line of the human-readable output (none with --json)."""
        if not self.json:
            print(line, file=self.out, flush=True)

    def table(self, rows: Sequence[Sequence[str]]) -> None:
        """Rows of cells in aligned columns, the first row the heading."""
        widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
        for row in rows:
            self.say("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())

    def problem(self, call: str) -> None:
        """A command that got no reply, where the invocation goes on: the exit status will be 1."""
        self.problems.append(call)

    def no_reply(self, *calls: str) -> str:
        return f"no reply from the instrument on {self.port_name()} to {', '.join(calls)}: {TROUBLESHOOTING}"

    # -- the port ----------------------------------------------------------------------------

    def simulator_port(self) -> str:
        """Starts tolvan-sim for this invocation (stopped when it ends); its serial end."""
        if self._sim_port is None:
            import shlex

            from tolvan_sim.instrument import SimulatedInstrument, SimulatorError

            try:
                sim = SimulatedInstrument(*shlex.split(self.args.sim_options or ""))
            except SimulatorError as error:
                raise UsageError(f"--sim: {error}") from None
            self.stack.callback(sim.stop)
            self._sim_port = sim.port
            print(f"tolvan: started the simulated instrument (tolvan-sim, pid {sim.process.pid}) on {sim.port}",
                  file=sys.stderr, flush=True)
        return self._sim_port

    def port_name(self) -> str:
        if self.args.sim:
            return self.simulator_port()
        return self.args.port or os.environ["TOLVAN_PORT"]

    def connect(self, port: str, keep: bool = True) -> Any:
        """A TOLVAN open on `port`; PortError when it cannot be opened.

        Closed when the invocation ends, or, with keep=False, by the caller (close_driver).
        """
        from tolvan import TOLVAN

        tl = TOLVAN(port)
        said = Recorder(sys.stdout)  # the driver's own lines, which say why a port did not open
        sys.stdout = said
        try:
            opened = tl.open()
        except Exception as error:  # pyserial's ValueError for a name it cannot take, and the like
            raise PortError(f"cannot open {port}: {type(error).__name__}: {error}") from None
        finally:
            sys.stdout = said.stream
        if not opened:
            # With --json the document must stand on its own: it quotes the driver's words.
            why = " ".join("".join(said.lines).split())
            why = f"the driver said: {why}" if self.json or not why else "see the driver's message above"
            raise PortError(f"cannot open {port} ({why}). If another program holds it, "
                            f"`tolvan ports {port}` names it; if the name is wrong, `tolvan ports` lists the "
                            f"serial ports; for permissions and the rest, see Troubleshooting in the tolvan README")
        if keep:
            self.stack.callback(self.close_driver, tl)
        self.opened = True
        if self.args.trace:
            from tolvan_cli.trace import TracedPort

            tl.ser = TracedPort(tl.ser, port)  # type: ignore[assignment]  # stands in for the Serial object
        return tl

    def driver(self) -> Any:
        return self.connect(self.port_name())

    @staticmethod
    def close_driver(tl: Any) -> None:
        try:
            tl.close()
        except OSError as error:  # the adapter vanished: nothing is left to close
            print(f"tolvan: closing {tl.port}: {error}", file=sys.stderr)

    def close(self) -> None:
        self.stack.close()

    # -- commands that change a channel ------------------------------------------------------

    def apply(self, ch: int, doing: str, left: str, call: Any, *args: Any) -> bool:
        """Runs a command that changes channel `ch` (`doing`: "setting 2.00 dB"), keeping track of
        what the channel holds (`left`: "attenuation left at 2.00 dB", once the command is done)."""
        self.left[ch] = f"attenuation unknown (stopped while {doing})"
        ok = bool(call(*args))
        self.left[ch] = left if ok else f"attenuation unknown (no reply while {doing})"
        return ok

    def action(self, ch: int, call: str, doing: str, done: str, method: Any, *args: Any) -> None:
        """One setting command with the result {"channel", "ok"} (and more already in the document);
        `done` says what the channel holds afterwards."""
        self.doc.setdefault("channel", ch)
        self.doc["ok"] = False
        self.doc["ok"] = self.apply(ch, doing, done, method, *args)
        if not self.doc["ok"]:
            raise Failed(self.no_reply(call))
        self.say(f"channel {ch}: {done}")

    def where_left(self) -> str:
        if not self.opened:
            return "nothing was sent to the instrument"
        if not self.left:
            return "this command changes no attenuation"
        return "; ".join(f"channel {ch} {state}" for ch, state in sorted(self.left.items()))
