"""How a command fails, each kind with its exit status (imported before anything else runs, so
that the outcome of an invocation interrupted at any point can still be told)."""

from __future__ import annotations

PROG = "tolvan"
# The exit statuses (`tolvan --help` lists them); a stop signal gives 128 + its number, 130 for Ctrl-C.
OK, FAILED, USAGE, PORT, INTERRUPTED = 0, 1, 2, 3, 130


class UsageError(Exception):
    """A value the instrument cannot take, or an option that cannot work here: exit status 2."""


class Failed(Exception):
    """The instrument did not answer, or refused: exit status 1."""


class PortError(Exception):
    """The port could not be opened: exit status 3."""


class OutputFailed(Exception):
    """Standard output or a file the command writes could not be written: exit status 1.

    `closed` is True when the reader of standard output has gone (a broken pipe)."""

    def __init__(self, message: str, closed: bool = False) -> None:
        super().__init__(message)
        self.closed = closed


def warn(line: str) -> None:
    """A line on standard error, which may itself be gone (a closed terminal): never fails."""
    import sys

    try:
        print(line, file=sys.stderr, flush=True)
    except (OSError, ValueError, AttributeError):
        pass


def silence(stream: object) -> None:
    """Points the file descriptor under `stream` at the null device, so that what is still
    buffered for it, and anything written later, goes nowhere instead of failing again (at exit,
    Python's last flush would report "Exception ignored" and exit 120)."""
    import os

    try:
        null = os.open(os.devnull, os.O_WRONLY)
        try:
            os.dup2(null, stream.fileno())  # type: ignore[attr-defined]
        finally:
            os.close(null)
    except (OSError, ValueError, AttributeError):
        pass
