"""Ctrl-C, SIGTERM and SIGHUP: an exception while the command works, held back while it cleans up.

While armed, the first of these signals raises (KeyboardInterrupt for Ctrl-C, Terminated for
the others), and disarms: the clean-up that follows (port closed, simulator stopped, files
complete) and the report (the message, the one JSON document) are not cut short by a second
one. A signal while disarmed is held back; the one after it raises again, so that a user who
keeps pressing Ctrl-C still gets out.
"""

from __future__ import annotations

import signal
from types import FrameType

STOPPING = ("SIGINT", "SIGTERM", "SIGHUP")


class Terminated(BaseException):
    """SIGTERM or SIGHUP: cleaned up like Ctrl-C. args[0] is the signal number."""


_armed = True
_held: list[int] = []
told = False  # set once the outcome is being told: a stop after that must not tell another


def _stop(signum: int) -> BaseException:
    return KeyboardInterrupt() if signum == signal.SIGINT else Terminated(signum)


def _handler(signum: int, frame: FrameType | None) -> None:
    global _armed
    if _armed:
        _armed = False
        raise _stop(signum)
    _held.append(signum)
    if len(_held) >= 2:
        raise _stop(signum)


def install() -> None:
    """Takes over the signals that stop the command, but leaves alone those ignored when it
    started (a background job's SIGINT, SIGHUP under nohup)."""
    for name in STOPPING:
        number = getattr(signal, name, None)
        if number is not None and signal.getsignal(number) is not signal.SIG_IGN:
            signal.signal(number, _handler)


def disarm() -> None:
    """From here on, a signal is held back once before it raises."""
    global _armed
    _armed = False


def status(stop: BaseException) -> int:
    """The exit status for a stop: 130 for Ctrl-C, 128 + the signal number for the others."""
    return 128 + (stop.args[0] if isinstance(stop, Terminated) else signal.SIGINT)


def finish() -> None:
    """The command has told its outcome: the signals are ignored while the process exits."""
    for name in STOPPING:
        number = getattr(signal, name, None)
        if number is not None and signal.getsignal(number) is _handler:
            signal.signal(number, signal.SIG_IGN)
