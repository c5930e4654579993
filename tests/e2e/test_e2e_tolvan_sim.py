"""tolvan_sim as users' tests meet it: the context manager, its errors, and the pytest fixtures."""

import json
import os
import stat
import subprocess
import sys
import sysconfig
import textwrap

import pytest

import tolvan_sim.instrument
from .support import SIMULATOR, frame
from tolvan import TOLVAN
from tolvan_sim import SimulatedInstrument, SimulatorError, SimulatorNotFound, find_simulator

pytestmark = pytest.mark.skipif(SIMULATOR is None, reason="needs the simulator tolvan-sim")


def ended(pid):
    """Whether no process has this id any more (a child not yet reaped still counts as there)."""
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    return False


def test_serves_in_the_block_and_stops_cleanly_after_it(tmp_path):
    with SimulatedInstrument("--versions", "3,4,5", "--channels", 2, log=tmp_path / "wire.log") as sim:
        assert stat.S_ISCHR(os.stat(sim.port).st_mode)
        tl = TOLVAN(sim.port)
        assert tl.open() is True
        assert tl.read_device_version() == {"module_version": 3, "hard_version": 4, "soft_version": 5}
        assert tl.read_current_status(3) is None
        tl.close()
        assert sim.running
    assert not sim.running and sim.process.returncode == 0
    assert sim.stop() == 0  # nothing left to stop
    assert sim.received() == [frame("7B 01 05 00 03 7C 7D")]
    assert sim.notes("bad") == ["no such channel"]
    assert "stopped" in repr(sim)


def test_an_error_in_the_block_still_stops_it():
    with pytest.raises(KeyError), SimulatedInstrument() as sim:
        raise KeyError("in the block")
    assert not sim.running


def test_one_nobody_stops_ends_with_the_interpreter():
    code = "from tolvan_sim import SimulatedInstrument; sim = SimulatedInstrument(); print(sim.process.pid)"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    pid = int(done.stdout)
    try:
        assert ended(pid)
    finally:
        if not ended(pid):
            os.kill(pid, 9)


@pytest.mark.parametrize("options, said", [
    (["--channels", "0"], "(exit status 2): tolvan-sim: invalid channel count '0'"),
    (["--bogus"], "(exit status 2): tolvan-sim: unknown option '--bogus'"),
    (["--help"], "(exit status 0): Usage: tolvan-sim"),  # it answers, but serves no port
])
def test_options_it_refuses_are_reported_with_its_own_message(options, said):
    with pytest.raises(SimulatorError) as raised:
        SimulatedInstrument(*options)
    assert str(raised.value).startswith(f"tolvan-sim {' '.join(options)} did not start {said}")


def test_a_missing_simulator_is_reported(monkeypatch, tmp_path):
    monkeypatch.setattr(sysconfig, "get_path", lambda *args: str(tmp_path))
    monkeypatch.setenv("PATH", str(tmp_path))
    assert find_simulator() is None
    with pytest.raises(SimulatorNotFound, match=f"^tolvan-sim was not found in {tmp_path} nor on PATH: .*"
                                                r"\(pip install tolvan\)$"):
        SimulatedInstrument()
    with pytest.raises(SimulatorNotFound, match="^cannot start .*/absent: No such file or directory$"):
        SimulatedInstrument(program=str(tmp_path / "absent"))
    monkeypatch.setattr(tolvan_sim.instrument, "SUPPORTED", False)
    with pytest.raises(SimulatorNotFound, match="^tolvan-sim is not built on Windows"):
        SimulatedInstrument()


def test_a_log_is_read_only_where_one_was_asked_for():
    with SimulatedInstrument() as sim, pytest.raises(SimulatorError, match="started without log=PATH"):
        sim.received()


# A user's test session: every simulator the fixtures start is stopped when its test ends,
# whether the test passed, failed or stopped the simulator itself.
USER_TESTS = """
import json, os, signal
import pytest
import tolvan_sim.instrument
from tolvan import TOLVAN

STARTED = []

@pytest.fixture(autouse=True)
def report_after_the_fixtures_ended(request):
    # Autouse: set up before the simulator fixtures, so torn down after them.
    STARTED.clear()
    yield
    with open(os.environ["REPORT"], "a") as report:
        report.write(json.dumps([request.node.name, [[s.process.pid, s.running] for s in STARTED]]) + "\\n")

def test_default(tolvan_sim):
    STARTED.append(tolvan_sim)
    assert TOLVAN(tolvan_sim.port).open()

def test_factory(make_tolvan_sim, tolvan_sim):
    STARTED.extend([tolvan_sim, make_tolvan_sim("--channels", "2", "--wavelengths", "2=1310,1550"),
                    make_tolvan_sim()])
    tl = TOLVAN(STARTED[1].port)
    assert tl.open() and tl.read_optical_length(2) == [1310, 1550]

def test_failing(make_tolvan_sim):
    STARTED.extend([make_tolvan_sim(), make_tolvan_sim()])
    assert False, "fails on purpose"

def test_stopped_by_the_test(make_tolvan_sim):
    STARTED.append(make_tolvan_sim())
    assert STARTED[0].stop(signal.SIGINT) == 0

@pytest.fixture
def no_pseudo_terminals(monkeypatch):
    monkeypatch.setattr(tolvan_sim.instrument, "SUPPORTED", False)

def test_without_pseudo_terminals(no_pseudo_terminals, tolvan_sim):
    raise AssertionError("not reached: the fixture skips")
"""


def test_fixtures_stop_every_simulator_at_the_end_of_its_test(tmp_path):
    (tmp_path / "test_user.py").write_text(USER_TESTS)
    report = tmp_path / "report.jsonl"
    env = {**os.environ, "REPORT": str(report)}
    env.pop("PYTHONPATH", None)
    done = subprocess.run([sys.executable, "-m", "pytest", "-q", "-rs", "-p", "no:cacheprovider", "test_user.py"],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
    summary = done.stdout.splitlines()[-1]
    assert summary.startswith("1 failed, 3 passed, 1 skipped"), done.stdout + done.stderr
    assert "fails on purpose" in done.stdout
    assert "tolvan-sim needs pseudo-terminals: it is built on Linux and macOS only" in done.stdout
    tests = dict(json.loads(line) for line in report.read_text().splitlines())
    assert {name: len(started) for name, started in tests.items()} == {
        "test_default": 1, "test_factory": 3, "test_failing": 2, "test_stopped_by_the_test": 1,
        "test_without_pseudo_terminals": 0}
    assert [running for started in tests.values() for _, running in started] == [False] * 7
    assert all(ended(pid) for started in tests.values() for pid, _ in started)
