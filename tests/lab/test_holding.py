"""The port held alone through a lock on the device itself: other openers are refused at once and
told who holds it, and nothing in the shared temporary folder is created, followed or changed."""

import os
import stat
import subprocess
import sys
import tempfile
import time

import pytest
import serial

from tolvan_lab import Attenuator, PortUnavailable
from tolvan_sim import find_simulator

pytestmark = [pytest.mark.skipif(find_simulator() is None, reason="needs the simulator tolvan-sim"),
              pytest.mark.skipif(sys.platform == "win32", reason="advisory locks are POSIX")]

LOCKER = """import fcntl, os, sys
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
print(flush=True)
sys.stdin.read()
"""


def locked_by_another_process(path):
    """A process holding the exclusive lock on `path` (opened read-write) until its input ends."""
    holder = subprocess.Popen([sys.executable, "-c", LOCKER, path], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    holder.stdout.readline()
    return holder


def test_an_open_attenuator_holds_the_port_alone(tolvan_sim):
    with Attenuator(tolvan_sim.port) as att:
        with pytest.raises(serial.SerialException, match="Could not exclusively lock port"):
            serial.Serial(tolvan_sim.port, exclusive=True)
        with pytest.raises(PortUnavailable, match="holds it with an exclusive lock"):
            Attenuator(tolvan_sim.port).open()
        assert att.version.module == 2
    with Attenuator(tolvan_sim.port, exclusive=False), serial.Serial(tolvan_sim.port, exclusive=True):
        pass  # unlocked once open
    serial.Serial(tolvan_sim.port, exclusive=True).close()  # and released at close


def test_a_port_another_process_locked_is_refused_at_once_naming_it(tolvan_sim):
    holder = locked_by_another_process(tolvan_sim.port)
    try:
        began = time.monotonic()
        with pytest.raises(PortUnavailable, match=f"cannot open {tolvan_sim.port}: .*pid {holder.pid}.* holds it with "
                                                  f"an exclusive lock; close that program") as refused:
            Attenuator(tolvan_sim.port).open()
        assert time.monotonic() - began < 3  # no waiting for it to let go
        assert [held.rsplit("(pid ", 1)[1] for held in refused.value.holders] == [f"{holder.pid})"]  # not this one
    finally:
        holder.stdin.close()
        holder.wait(10)
    assert tolvan_sim.received() == []  # the refused opener never touched the line


def test_nothing_in_the_shared_temporary_folder_is_opened_created_or_changed(tolvan_sim, tmp_path, monkeypatch):
    shared = tmp_path / "shared"
    shared.mkdir()
    monkeypatch.setenv("TMPDIR", str(shared))
    monkeypatch.setattr(tempfile, "tempdir", None)
    device = os.stat(tolvan_sim.port)
    planted = shared / f"tolvan-opening-{device.st_rdev:x}-{device.st_ino:x}.lock"  # where a lock file might be
    mine = tmp_path / "secret"
    mine.write_text("kept")
    mine.chmod(0o600)

    planted.symlink_to(mine)  # a link to a file of the user's
    with Attenuator(tolvan_sim.port):
        pass
    assert stat.S_IMODE(mine.stat().st_mode) == 0o600 and mine.read_text() == "kept"

    planted.unlink()
    planted.symlink_to(shared / "made")  # a dangling link
    with Attenuator(tolvan_sim.port):
        pass
    assert sorted(os.listdir(shared)) == [planted.name]

    planted.unlink()
    planted.write_text("")  # a file that another user locks
    holder = locked_by_another_process(str(planted))
    try:
        began = time.monotonic()
        with Attenuator(tolvan_sim.port) as att:
            assert att.version.module == 2
        assert time.monotonic() - began < 3
    finally:
        holder.stdin.close()
        holder.wait(10)
