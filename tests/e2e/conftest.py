"""The simulated instrument tolvan-sim, started for a test on a pseudo-terminal.

Every test here talks to the driver through real pyserial, a real
pseudo-terminal and the real lsof. The simulators come from the package's own
pytest fixture `make_tolvan_sim` (tolvan_sim.plugin), each with a frame log, so
tests assert on what actually crossed the line. Where there are no
pseudo-terminals (Windows) or no simulator, the tests that need it skip.
"""

import pytest

from .support import SIMULATOR
from tolvan import TOLVAN


@pytest.fixture
def start_simulator(make_tolvan_sim, tmp_path):
    """Starts tolvan-sim with the given options and a frame log; each must end cleanly after the test."""
    if SIMULATOR is None:
        pytest.skip("needs the simulator tolvan-sim")
    started = []

    def start(*options):
        sim = make_tolvan_sim(*options, log=tmp_path / f"wire{len(started)}.log")
        started.append(sim)
        return sim

    yield start
    for sim in started:
        status = sim.stop()
        assert not sim.running
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
