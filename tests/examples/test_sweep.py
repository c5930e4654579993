"""examples/sweep.py as a user runs it: against the simulator when no port is given."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from tolvan_sim import find_simulator

SWEEP = Path(__file__).resolve().parents[2] / "examples" / "sweep.py"

pytestmark = pytest.mark.skipif(not SWEEP.exists(), reason="examples/ is not beside the tests")


needs_simulator = pytest.mark.skipif(find_simulator() is None, reason="needs the simulator tolvan-sim")


def run_sweep(*args, timeout=60):
    return subprocess.run([sys.executable, str(SWEEP), *args], capture_output=True, text=True,
                          timeout=timeout, cwd=SWEEP.parent)


def table_rows(stdout):
    return [line.split() for line in stdout.splitlines() if re.match(r"^\s+\d+\s+\d", line)]


@needs_simulator
def test_upward_sweep_reads_back_every_step():
    result = run_sweep("0", "1.5", "0.5", "--channel", "2")
    assert result.returncode == 0, result.stdout + result.stderr
    progress = [line for line in result.stdout.splitlines() if line.startswith("[")]
    assert [line[:5] for line in progress] == ["[1/4]", "[2/4]", "[3/4]", "[4/4]"]
    assert all("ch 2:" in line for line in progress)
    rows = table_rows(result.stdout)
    assert [(r[1], r[2], r[3], r[5]) for r in rows] == [
        ("0.000", "ok", "0.000", "ok"),
        ("0.500", "ok", "0.500", "ok"),
        ("1.000", "ok", "1.000", "ok"),
        ("1.500", "ok", "1.500", "ok"),
    ]
    assert "4 of 4 steps set and read back as expected" in result.stdout


@needs_simulator
def test_downward_sweep_below_the_instrument_resolution():
    # 0.025 dB is held as 0.02 dB: the instrument keeps whole 0.01 dB steps.
    result = run_sweep("0.025", "0.005", "0.01")
    assert result.returncode == 0, result.stdout + result.stderr
    rows = table_rows(result.stdout)
    assert [(r[1], r[3]) for r in rows] == [("0.025", "0.020"), ("0.015", "0.010"), ("0.005", "0.000")]


@needs_simulator
def test_lost_replies_show_in_the_table_and_the_exit_status():
    # The simulator withholds every third reply: the set of step 2, the status
    # of step 3 and the set of step 5. A lost set reply does not mean a lost set.
    result = run_sweep("0", "2", "0.5", "--sim-options=--drop-every 3")
    assert result.returncode == 1, result.stdout + result.stderr
    rows = table_rows(result.stdout)
    assert [(r[2], r[3], " ".join(r[5:])) for r in rows] == [
        ("ok", "0.000", "ok"),
        ("failed", "0.500", "no reply to set"),
        ("ok", "-", "no status reply"),
        ("ok", "1.500", "ok"),
        ("failed", "2.000", "no reply to set"),
    ]
    assert "2 of 5 steps set and read back as expected" in result.stdout


@needs_simulator
def test_a_simulator_that_does_not_start_is_reported():
    result = run_sweep("0", "1", "1", "--sim-options=--no-such-option")
    assert result.returncode == 1
    assert result.stderr.startswith("sweep: tolvan-sim --no-such-option did not start (exit status 2): ")
    assert "unknown option '--no-such-option'" in result.stderr
    assert result.stdout == ""


@pytest.mark.parametrize(
    "args, message",
    [
        (["0", "1", "0"], "step must be above 0 dB"),
        (["0", "700", "1"], "outside 0 to 655.350 dB"),
        (["-1", "1", "1"], "outside 0 to 655.350 dB"),
        (["0", "1", "abc"], "not a number of dB"),
        (["0", "1", "0.0001"], "finer than 0.001 dB"),
        (["0", "1", "1", "--port", "COM3", "--sim-options=--delay 1"], "not for --port"),
    ],
)
def test_bad_ranges_are_refused_before_anything_starts(args, message):
    result = run_sweep(*args)
    assert result.returncode == 2
    assert message in result.stderr
    assert result.stdout == ""


@pytest.mark.skipif(sys.platform == "win32", reason="device paths")
def test_a_port_that_cannot_be_opened_fails_the_sweep():
    result = run_sweep("0", "1", "1", "--port", "/dev/tolvan-no-such-port")
    assert result.returncode == 1
    assert "cannot open /dev/tolvan-no-such-port" in result.stdout


def test_sweep_passes_strict_type_checking(tmp_path):
    pytest.importorskip("mypy")
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    result = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--config-file", os.devnull,
                             "--cache-dir", str(tmp_path / "cache"), str(SWEEP)],
                            cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
