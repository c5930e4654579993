"""Running tolvan-sim for the end-to-end tests, and reading its frame log."""

import os
import select
import shutil
import signal
import subprocess
import sys
import sysconfig
import time
from pathlib import Path

# The driver's fixed pause between a request and reading its reply.
PAUSE = 0.2
# What a command may take beyond its pauses: a write, a read, a busy machine.
MARGIN = 0.3

HAVE_PTYS = sys.platform != "win32" and os.path.exists("/dev/ptmx")


def find_simulator():
    """tolvan-sim beside this interpreter (installed with the package), else on PATH."""
    for folder in (Path(sys.executable).parent, Path(sysconfig.get_path("scripts"))):
        candidate = folder / "tolvan-sim"
        if candidate.is_file() and os.access(candidate, os.X_OK):
            return str(candidate)
    return shutil.which("tolvan-sim")


SIMULATOR = find_simulator() if HAVE_PTYS else None


def frame(text):
    """bytes.fromhex for a frame written with blanks between its bytes."""
    return bytes.fromhex(text)


class Simulator:
    """One running tolvan-sim; `port` is the serial end a client opens."""

    def __init__(self, log_path, *options):
        self.log_path = Path(log_path)
        self.process = subprocess.Popen([SIMULATOR, *options, "--log", str(self.log_path)],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        ready, _, _ = select.select([self.process.stdout], [], [], 10)
        line = self.process.stdout.readline() if ready else ""
        if not line.startswith("/"):
            self.stop()
            raise RuntimeError(f"tolvan-sim reported no port: {line!r} {self.process.stderr.read()!r}")
        self.port = line.strip()

    def log(self, kind):
        """The byte strings of the log lines of one kind: rx, tx, bad or drop."""
        found = []
        for line in self.log_path.read_text().splitlines():
            words = line.split(" # ")[0].split()
            if words and words[0] == kind:
                found.append(bytes.fromhex(" ".join(words[1:])))
        return found

    def notes(self, kind):
        """The notes after '#' of the log lines of one kind."""
        return [line.split(" # ", 1)[1] for line in self.log_path.read_text().splitlines()
                if line.split(" ", 1)[0] == kind and " # " in line]

    def received(self):
        return self.log("rx")

    def stop(self, sig=signal.SIGTERM):
        """Stops the simulator if it still runs; returns its exit status."""
        if self.process.poll() is None:
            self.process.send_signal(sig)
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()
        self.process.stderr.close()
        return self.process.returncode


def timed(call, *args, pauses=1):
    """Runs call(*args); fails if it took longer than its pauses and a margin."""
    began = time.monotonic()
    result = call(*args)
    took = time.monotonic() - began
    assert took < pauses * PAUSE + MARGIN, f"{call.__name__} took {took:.3f} s"
    return result
