"""What the end-to-end tests share beside the fixtures: the simulator's path, frames, timing."""

import os
import sys
import time
from pathlib import Path

from conftest import frame  # noqa: F401  (the fast tests' own, shared)
from tolvan_sim import find_simulator

# The driver's fixed pause between a request and reading its reply.
PAUSE = 0.2
# What a command may take beyond its pauses: a write, a read, a busy machine.
MARGIN = 0.3

HAVE_PTYS = sys.platform != "win32" and os.path.exists("/dev/ptmx")

SIMULATOR = find_simulator() if HAVE_PTYS else None


def log_lines(path):
    """The lines of a frame log that one simulator wrote, without the session name that starts each."""
    return [line if line.startswith("#") else line.split(" ", 1)[1] for line in Path(path).read_text().splitlines()]



def timed(call, *args, pauses=1):
    """Runs call(*args); fails if it took longer than its pauses and a margin."""
    began = time.monotonic()
    result = call(*args)
    took = time.monotonic() - began
    assert took < pauses * PAUSE + MARGIN, f"{call.__name__} took {took:.3f} s"
    return result
