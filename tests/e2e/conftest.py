"""The simulated instrument tolvan-sim, started for a test on a pseudo-terminal.

Every test here talks to the driver through real pyserial, a real
pseudo-terminal and the real lsof. The simulator logs each frame it receives
and sends, so tests assert on what actually crossed the line. Where there are
no pseudo-terminals (Windows) or no simulator, the tests that need it skip.
"""

import pytest

from .support import SIMULATOR, Simulator
from tolvan import TOLVAN


@pytest.fixture
def start_simulator(tmp_path):
    """Starts tolvan-sim with the given options; every one started is stopped after the test."""
    if SIMULATOR is None:
        pytest.skip("needs the simulator tolvan-sim")
    started = []

    def start(*options):
        sim = Simulator(tmp_path / f"wire{len(started)}.log", *options)
        started.append(sim)
        return sim

    yield start
    for sim in started:
        status = sim.stop()
        assert sim.process.poll() is not None
        assert status == 0, f"tolvan-sim ended with {status}"


@pytest.fixture
def sim(start_simulator):
    return start_simulator()


@pytest.fixture
def connect():
    """Opens a TOLVAN on a port; closes every one it opened after the test."""
    opened = []

    def open_driver(port):
        tl = TOLVAN(port)
        assert tl.open() is True
        opened.append(tl)
        return tl

    yield open_driver
    for tl in opened:
        if tl.ser.is_open:
            tl.close()


@pytest.fixture
def tl(sim, connect):
    return connect(sim.port)
