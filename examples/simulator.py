"""Running the simulated instrument `tolvan-sim` for the examples.

With no port given, an example starts the simulator, works on the serial end it
prints, and stops it at the end.
"""

import contextlib
import os
import shutil
import subprocess
import sys
import sysconfig
from collections.abc import Iterator
from pathlib import Path


def find_simulator() -> str | None:
    """tolvan-sim on the search path, or beside the interpreter running the
    example (a virtual environment that was not activated)."""
    found = shutil.which("tolvan-sim")
    if found:
        return found
    beside = Path(sysconfig.get_path("scripts")) / "tolvan-sim"
    return str(beside) if beside.is_file() and os.access(beside, os.X_OK) else None


@contextlib.contextmanager
def running_simulator(options: list[str], example: str, port_hint: str) -> Iterator[str]:
    """Starts tolvan-sim with `options` and yields its port; stops it on leaving.

    Exits with a message naming `example` when there is no simulator to start
    (`port_hint` says how to give a port instead) or when it does not start.
    """
    program = find_simulator()
    if program is None or sys.platform == "win32":
        sys.exit(f"{example}: no port given and no simulator tolvan-sim found (it is installed with "
                 f"the package on Linux and macOS); give {port_hint}")
    sim = subprocess.Popen([program, *options], stdout=subprocess.PIPE, text=True)
    assert sim.stdout is not None
    try:
        port = sim.stdout.readline().strip()
        if not port:
            sys.exit(f"{example}: the simulator did not report its port")
        print(f"Started the simulated instrument {program} on {port}")
        yield port
        print("Stopped the simulated instrument")
    finally:
        sim.terminate()
        try:
            sim.wait(timeout=5)
        except subprocess.TimeoutExpired:
            sim.kill()
            sim.wait()
        sim.stdout.close()
