"""Who holds a serial port, and holding one alone.

The driver's `open()` asks lsof whether anyone holds the port, then opens it. Two programs
doing so at the same moment both hear "free" and both open it. So before the driver opens the
port, `hold` opens the device itself and takes on it the exclusive advisory lock that pyserial's
own `exclusive=True` takes: taking it is atomic between processes, so of two openers at once
the second is refused before it opens, or flushes, the line; every exclusive pyserial user is
refused too. Nothing else is shared: no file is created or opened by name in a shared folder,
where another user could plant a link or hold a lock, and only a program holding the device
itself, which lsof names, can keep the port from us.
"""

from __future__ import annotations

import os
import stat
import subprocess
import sys
from collections.abc import Iterator
from typing import NamedTuple

try:
    import fcntl
except ImportError:  # Windows: a serial port opened there is exclusive already
    fcntl = None  # type: ignore[assignment]

from tolvan_lab.errors import PortUnavailable, shown


class Holder(NamedTuple):
    """A process that has a port open, as lsof names it."""

    name: str
    pid: int

    def __str__(self) -> str:
        return f"{self.name} (pid {self.pid})"


class LsofMissing(Exception):
    """lsof could not be run: who holds a port is unknown."""


def _lsof(ports: list[str]) -> Iterator[tuple[str, Holder, str]]:
    """Each open file of `ports` that lsof lists: the port's real path, its holder, and the
    descriptor ("3", "cwd", ...). LsofMissing when lsof cannot be run."""
    try:
        done = subprocess.run(["lsof", "-F", "pcfn", "--", *ports], stdin=subprocess.DEVNULL,
                              capture_output=True)
    except OSError as error:
        raise LsofMissing(str(error)) from None
    pid, command, fd = 0, "?", ""
    for line in os.fsdecode(done.stdout).splitlines():
        field, value = line[:1], line[1:]
        if field == "p":
            pid, command = int(value), "?"
        elif field == "c":
            command = value
        elif field == "f":
            fd = value
        elif field == "n":
            yield os.path.realpath(value), Holder(command, pid), fd


def holders(ports: list[str]) -> dict[str, list[Holder]]:
    """Per port (by its real path, as lsof reports it), the processes holding it, from one lsof
    run. LsofMissing when lsof cannot be run. lsof run as a normal user sees only that user's
    processes."""
    if not ports:
        return {}
    found: dict[str, list[Holder]] = {}
    for path, holder, _ in _lsof(ports):
        held = found.setdefault(path, [])
        if holder not in held:
            held.append(holder)
    return found


def named(found: tuple[object, ...] | list[object], most: int = 5) -> str:
    """The holders as a message names them: the first few, and how many more (a device such as
    /dev/null may be open in every process)."""
    listed = ", ".join(map(str, found[:most])) or "another program"
    return listed + (f" and {len(found) - most} more" if len(found) > most else "")


def holders_of(port: str) -> tuple[Holder, ...]:
    """The processes holding `port`, where lsof can tell; () when it cannot."""
    if sys.platform == "win32":
        return ()
    try:
        return tuple(holders([port]).get(os.path.realpath(port), []))
    except LsofMissing:
        return ()


def others_holding(port: str, hold: Hold) -> tuple[Holder, ...]:
    """The processes holding `port` beside `hold`, this process's own hold of it (this process
    is named when it holds the port through another descriptor too). LsofMissing when lsof
    cannot be run."""
    mine = (os.getpid(), str(hold.fd))
    found: list[Holder] = []
    for path, holder, fd in _lsof([port]):
        if path == os.path.realpath(port) and (holder.pid, fd) != mine and holder not in found:
            found.append(holder)
    return tuple(found)


class Hold:
    """The port held alone: a descriptor of the device with the exclusive lock on it, until
    `release`. A forked child does not keep it: its copy closes at the fork (the lock stays
    with the parent's)."""

    def __init__(self, fd: int) -> None:
        self.fd: int | None = fd
        self._pid = os.getpid()
        _held.add(self)

    def release(self) -> None:
        if self.fd is not None and self._pid == os.getpid():
            os.close(self.fd)
        self.fd = None
        _held.discard(self)


_held: set[Hold] = set()


def _close_in_child() -> None:
    for hold in list(_held):
        if hold.fd is not None:
            os.close(hold.fd)  # the child's copy only: the parent's descriptor keeps the lock
        hold.fd = None
    _held.clear()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_close_in_child)


def hold(port: str) -> Hold | None:
    """Opens the device `port` names and takes the exclusive lock on it, before anything else
    opens it. PortUnavailable, at once, when another holds that lock. None where there is no such
    lock (Windows: a port open there is exclusive already), or when `port` is no device that
    opens: the driver's own open then says why."""
    if fcntl is None:
        return None
    try:
        fd = os.open(port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    except OSError:
        return None
    try:
        if not stat.S_ISCHR(os.fstat(fd).st_mode):
            os.close(fd)
            return None
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        os.close(fd)  # before lsof runs: this process is no holder
        found = holders_of(port)
        raise PortUnavailable(f"cannot open {shown(port)}: {named(found)} holds it with an exclusive lock; close "
                              f"that program, or choose another port (`tolvan ports` lists them)",
                              port=port, holders=tuple(map(str, found))) from None
    except OSError:  # a device without advisory locks: the driver's check and open decide
        os.close(fd)
        return None
    return Hold(fd)
