"""examples/demo.py as a user runs it: on a simulator it starts, or on a given port."""

import subprocess
import sys
from pathlib import Path

import pytest

from .support import SIMULATOR

DEMO = Path(__file__).resolve().parents[2] / "examples" / "demo.py"

pytestmark = [pytest.mark.skipif(not DEMO.exists(), reason="examples/ is not beside the tests"),
              pytest.mark.skipif(SIMULATOR is None, reason="needs the simulator tolvan-sim")]


def run_demo(*args):
    return subprocess.run([sys.executable, str(DEMO), *args], capture_output=True, text=True, timeout=120)


def table(stdout):
    """The table rows, keyed by channel, as lists of the cells."""
    rows = {}
    for line in stdout.splitlines():
        cells = line.split()
        if cells and cells[0].isdigit():
            rows[int(cells[0])] = cells
    return rows


def test_tour_on_its_own_simulator():
    result = run_demo("--channels", "3")
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert "{'module_version': 2, 'hard_version': 50, 'soft_version': 32}" in out
    assert "tl.set_attenuation(1100, 1) -> True" in out
    assert table(out) == {
        1: ["1", "1310,1490,1550", "1550", "ok", "(reads", "1550)", "1.25", "ok", "1.25", "0.00"],
        2: ["2", "1310,1490,1535", "1535", "ok", "(reads", "1535)", "2.50", "ok", "2.50", "0.00"],
        3: ["3", "1310,1490,1550", "1550", "ok", "(reads", "1550)", "3.75", "ok", "3.75", "0.00"],
    }
    assert "'attenuation': 655350" in out  # after dis_connection(1)
    assert out.rstrip().endswith("Stopped the simulated instrument")


def test_tour_on_a_given_port_leaves_its_instrument_running(start_simulator):
    sim = start_simulator("--versions", "3,4,5", "--wavelengths", "1310")
    result = run_demo(sim.port, "--channels", "1")
    assert result.returncode == 0, result.stderr
    assert "{'module_version': 3, 'hard_version': 4, 'soft_version': 5}" in result.stdout
    assert table(result.stdout)[1][:3] == ["1", "1310", "1310"]
    assert "simulated" not in result.stdout
    assert sim.process.poll() is None
    # The demo's requests reached the instrument: version, set, then the channel tour.
    assert sim.received()[0] == bytes.fromhex("7B 01 05 00 03 7C 7D")


def test_tour_on_a_silent_port(start_simulator):
    sim = start_simulator("--drop-every", "1")
    result = run_demo(sim.port)
    assert result.returncode == 1
    assert f"no reply from the instrument on {sim.port}" in result.stdout
