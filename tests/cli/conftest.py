"""The `tolvan` command run as a user runs it: the installed console script, in a process of its own,
against simulators on real pseudo-terminals."""

import json
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

from tolvan_sim import find_simulator


def console_script():
    script = Path(sysconfig.get_path("scripts")) / "tolvan"
    return str(script) if script.is_file() else shutil.which("tolvan")


SCRIPT = console_script()
needs_simulator = pytest.mark.skipif(find_simulator() is None, reason="needs the simulator tolvan-sim")


class Run:
    """One finished invocation: status, stdout, stderr, and stdout read as JSON."""

    def __init__(self, done):
        self.status, self.out, self.err = done.returncode, done.stdout, done.stderr

    @property
    def doc(self):
        return json.loads(self.out)  # the whole of stdout must be one document

    def __repr__(self):
        return f"<tolvan exited {self.status}\nstdout: {self.out}\nstderr: {self.err}>"


def environment(**extra):
    # As a user's shell has it: no port chosen, no module path, and standard output buffered as
    # Python buffers it (PYTHONUNBUFFERED would hide output that is written only at exit).
    strip = ("TOLVAN_PORT", "PYTHONPATH", "COLUMNS", "PYTHONUNBUFFERED")
    env = {key: value for key, value in os.environ.items() if key not in strip}
    env.update(extra)
    return env


# A UTF-8 locale that refuses to write what is not UTF-8, such as en_US.UTF-8 (Python writes C.UTF-8's
# standard output with surrogateescape, so that locale alone would hide a name printed unescaped).
STRICT_UTF8 = {"LC_ALL": "C.UTF-8", "PYTHONIOENCODING": "utf-8:strict"}


def command(*args):
    args = [arg if isinstance(arg, bytes) else str(arg) for arg in args]  # bytes: a name that is not UTF-8
    if SCRIPT.lower().endswith(".exe"):  # Windows: the launcher pip made
        return [SCRIPT, *args]
    # Run by this interpreter: under the sanitizer build it is the wrapper that preloads the runtime.
    return [sys.executable, SCRIPT, *args]


@pytest.fixture
def tolvan(tmp_path):
    """tolvan(*args, env=None) runs the command to its end and returns a Run."""
    if SCRIPT is None:
        pytest.skip("the `tolvan` command is not installed in this environment")

    def run(*args, env=None, timeout=60):
        done = subprocess.run(command(*args), cwd=tmp_path, env=environment(**(env or {})),
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=timeout)
        return Run(done)

    return run


@pytest.fixture
def instrument(make_tolvan_sim, tmp_path):
    """instrument(*options) starts a simulator with a frame log; its .port is the serial end."""
    if find_simulator() is None:
        pytest.skip("needs the simulator tolvan-sim")
    count = iter(range(1000))
    return lambda *options: make_tolvan_sim(*options, log=tmp_path / f"wire{next(count)}.log")
