"""One invocation's resources and outcome: the instrument (or the simulator behind it), the
JSON document, what each channel was left at, and the failures that set the exit status.

Imported once a command runs, not for --help. The instrument is a `tolvan_lab.Attenuator`;
what crossed the wire is known from the layer's frame log ("tolvan_lab.frames"), which the
session listens to: a line after an interruption says what was actually sent.
"""

from __future__ import annotations

import contextlib
import os
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, TextIO

from tolvan_lab.errors import NoReply, PortUnavailable, shown

from tolvan_cli.failures import Failed, OutputFailed, PortError, UsageError, silence, warn

if TYPE_CHECKING:
    import logging

    from tolvan_lab import Attenuator

__all__ = ["Failed", "OutputFailed", "PortError", "Session", "UsageError"]

TROUBLESHOOTING = "see Troubleshooting in the tolvan README; --trace shows every frame"
CHANNELS = 255  # every channel the command line accepts is served


class Wire:
    """Counts, from the frame log, the requests sent and whether the last one was answered
    (a filter on the frame log's logger: it sees every record logged there)."""

    def __init__(self) -> None:
        self.sent = 0
        self.answered = 0  # the count of requests sent when the last answer came

    def filter(self, record: logging.LogRecord) -> bool:
        event = getattr(record, "tolvan_event", None)
        if event == "sent":
            self.sent += 1
        elif event == "received":
            self.answered = self.sent
        return True


class Session:
    def __init__(self, args: Any, out: TextIO | None) -> None:
        self.args = args
        self.out = out
        self.json: bool = args.json
        self.doc: Any = {}
        self.problems: list[NoReply] = []
        self.opened = False  # whether a port was opened (and is closed again at the end)
        # Per channel, what its attenuation is known to be; and the change under way, if any:
        # (channel, "setting 2.00 dB", "attenuation left at 2.00 dB", requests sent before it).
        self.left: dict[int, str] = {}
        self.pending: tuple[int, str, str, int] | None = None
        self.stack = contextlib.ExitStack()
        self._sim_port: str | None = None
        self.wire = Wire()
        self._listening = False

    def _listen(self) -> None:
        """Listens to the frame log (and, with --trace, writes it out), from the first port opened."""
        if self._listening:
            return
        import logging

        log = logging.getLogger("tolvan_lab.frames")
        log.setLevel(logging.DEBUG)
        log.propagate = False
        for counted in (log, logging.getLogger("tolvan_lab.frames.scpi")):  # the lines to a tolvan serve too
            counted.addFilter(self.wire)
            self.stack.callback(counted.removeFilter, self.wire)
        if self.args.trace:
            from tolvan_cli.trace import TraceHandler

            handler = TraceHandler()
            log.addHandler(handler)
            self.stack.callback(log.removeHandler, handler)
        self._listening = True

    # -- output ------------------------------------------------------------------------------

    def say(self, line: str = "") -> None:
        """A line of the human-readable output (none with --json)."""
        if not self.json:
            write_out(self.out, line + "\n")

    def table(self, rows: Sequence[Sequence[str]]) -> None:
        """Rows of cells in aligned columns, the first row the heading."""
        widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
        for row in rows:
            self.say("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())

    def problem(self, error: NoReply) -> None:
        """A command that got no reply, where the invocation goes on: the exit status will be 1."""
        self.problems.append(error)

    def problems_message(self) -> str:
        calls = ", ".join(str(error.command) for error in self.problems)
        return f"no reply from the instrument on {shown(self.port_name())} to {calls}: {TROUBLESHOOTING}"

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
            warn(f"tolvan: started the simulated instrument (tolvan-sim, pid {sim.process.pid}) on {sim.port}")
        return self._sim_port

    def port_name(self) -> str:
        if self.args.sim:
            return self.simulator_port()
        port: str = self.args.port or os.environ["TOLVAN_PORT"]
        return port

    def open(self, port: str) -> Attenuator:
        """An Attenuator open on `port`, closed when the invocation ends; PortError when the port
        cannot be opened (missing, held, not permitted)."""
        att = self.attenuator(port, channels=CHANNELS)
        try:
            att.open()
        except (PortUnavailable, ValueError) as error:  # pyserial's ValueError for a name it cannot take
            raise PortError(str(error) if isinstance(error, PortUnavailable) else
                            f"cannot open {shown(port)}: {error}") from None
        self.stack.callback(att.close)
        self.opened = True
        return att

    def attenuator(self, port: str, channels: int) -> Attenuator:
        """An Attenuator on `port`, not yet open, whose frames this session follows."""
        from tolvan_lab import Attenuator

        self._listen()
        return Attenuator(port, channels=channels, retries=self.args.retries)

    def instrument(self) -> Attenuator:
        """The instrument on this invocation's port, open."""
        return self.open(self.port_name())

    def close(self) -> None:
        self.stack.close()

    # -- commands that change a channel ------------------------------------------------------

    def change(self, ch: int, doing: str, done: str, action: Callable[[], object]) -> None:
        """Runs `action`, a command that changes channel `ch` (`doing`: "setting 2.00 dB"); `done`
        says what the channel holds once it was answered ("attenuation left at 2.00 dB")."""
        self.pending = (ch, doing, done, self.wire.sent)
        try:
            action()
        except NoReply:
            self.left[ch], self.pending = f"attenuation unknown (no reply while {doing})", None
            raise
        self.left[ch], self.pending = done, None

    def known(self, ch: int, state: str) -> None:
        """What channel `ch` holds, as it has just been read back."""
        self.left[ch] = state

    def where_left(self) -> str:
        """What the instrument was left holding, as far as the requests sent and answered tell."""
        if self.wire.sent == 0:
            return "nothing was sent to the instrument"
        states = dict(self.left)
        if self.pending is not None:  # stopped (or failed) within a change
            ch, doing, done, before = self.pending
            if self.wire.sent > before:  # its request went out
                answered = self.wire.answered == self.wire.sent
                states[ch] = done if answered else f"attenuation unknown (stopped while {doing})"
        if not states:
            return "this command changes no attenuation"
        return "; ".join(f"channel {ch} {state}" for ch, state in sorted(states.items()))

    def changes(self) -> bool:
        """Whether this command has begun to change an attenuation."""
        return bool(self.left) or self.pending is not None


def write_out(out: TextIO | None, text: str) -> None:
    """Writes to standard output; OutputFailed when that fails (a broken pipe, a full disk, none at
    all), with standard output silenced so that nothing fails again at exit."""
    if out is None:  # started with standard output closed (`>&-`): as a reader that has gone
        raise OutputFailed("standard output was closed", closed=True)
    try:
        out.write(text)
        out.flush()
    except UnicodeError:  # a fault of this program: every name it prints is made printable first
        raise
    except (OSError, ValueError) as error:  # ValueError: standard output closed under us
        silence(out)
        if isinstance(error, BrokenPipeError):
            raise OutputFailed("standard output was closed", closed=True) from None
        why = error.strerror if isinstance(error, OSError) and error.strerror else str(error)
        raise OutputFailed(f"cannot write standard output: {why}") from None
