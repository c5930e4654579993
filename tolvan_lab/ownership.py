"""Who holds a serial port, and holding one alone.

The driver's `open()` asks lsof whether anyone holds the port, then opens it. Two programs
doing so at the same moment both hear "free" and both open it. So opening is serialised
between the processes of this package by a lock on a small file named after the device
(`opening`), and the open port is then locked exclusively (`lock`) with the advisory lock that
pyserial's own `exclusive=True` takes, which every later opener of this package, and every
exclusive pyserial user, is refused by.
"""

from __future__ import annotations

import contextlib
import os
import subprocess
import sys
import tempfile
import time
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


def holders(ports: list[str]) -> dict[str, list[Holder]]:
    """Per port (by its real path, as lsof reports it), the processes holding it, from one lsof
    run. LsofMissing when lsof cannot be run. lsof run as a normal user sees only that user's
    processes."""
    if not ports:
        return {}
    try:
        done = subprocess.run(["lsof", "-F", "pcn", "--", *ports], stdin=subprocess.DEVNULL,
                              capture_output=True)
    except OSError as error:
        raise LsofMissing(str(error)) from None
    found: dict[str, list[Holder]] = {}
    pid, command = 0, "?"
    for line in os.fsdecode(done.stdout).splitlines():
        field, value = line[:1], line[1:]
        if field == "p":
            pid, command = int(value), "?"
        elif field == "c":
            command = value
        elif field == "n":
            held = found.setdefault(os.path.realpath(value), [])
            if Holder(command, pid) not in held:
                held.append(Holder(command, pid))
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


@contextlib.contextmanager
def opening(port: str, wait: float = 5.0) -> Iterator[None]:
    """Held while this process checks and opens `port`: another process of this package opening
    the same device waits (up to `wait` seconds) and then finds it held."""
    if fcntl is None:
        yield
        return
    try:
        device = os.stat(port)
    except OSError:  # missing: the open that follows says so
        yield
        return
    path = os.path.join(tempfile.gettempdir(), f"tolvan-opening-{device.st_rdev:x}-{device.st_ino:x}.lock")
    try:
        fd = os.open(path, os.O_RDWR | os.O_CREAT | getattr(os, "O_CLOEXEC", 0), 0o666)
    except OSError:  # made by another user, without write access for us: go on without it
        yield
        return
    try:
        with contextlib.suppress(OSError):
            os.fchmod(fd, 0o666)  # so that other users' programs can take it too
        deadline = time.monotonic() + wait
        while True:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                if time.monotonic() > deadline:
                    raise PortUnavailable(
                        f"cannot open {shown(port)}: another program has been opening it for {wait:g} s "
                        f"(it holds {shown(path)}); try again, or find it with `lsof {shown(path)}`",
                        port=port) from None
                time.sleep(0.005)
        yield
    finally:
        os.close(fd)  # releases the lock


def lock(port: str, fd: int) -> None:
    """Takes the exclusive advisory lock on the open port; PortUnavailable when another holds it."""
    if fcntl is None:
        return
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        found = tuple(holder for holder in holders_of(port) if holder.pid != os.getpid())  # not this opener
        who = named(found)
        raise PortUnavailable(f"cannot open {shown(port)}: {who} holds it with an exclusive lock; close that "
                              f"program, or choose another port (`tolvan ports` lists them)",
                              port=port, holders=tuple(map(str, found))) from None
