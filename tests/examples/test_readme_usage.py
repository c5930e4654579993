"""The README's first example, run against the simulator: it prints what its comments say."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

from tolvan_sim import find_simulator

README = Path(__file__).resolve().parents[2] / "README.md"

pytestmark = [pytest.mark.skipif(not README.exists(), reason="README.md is not beside the tests"),
              pytest.mark.skipif(find_simulator() is None, reason="needs the simulator tolvan-sim")]


def test_the_usage_example_prints_what_its_comments_say(tolvan_sim):
    section = README.read_text(encoding="utf-8").split("## Usage\n", 1)[1]
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    assert '"/dev/ttyUSB0"' in code
    shown = [line.split("# ", 1)[1].split(":")[0].strip() for line in code.splitlines()
             if line.lstrip().startswith("print(")]  # what follows a colon in a comment is a remark
    done = subprocess.run([sys.executable, "-c", code.replace('"/dev/ttyUSB0"', repr(tolvan_sim.port))],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == shown
    assert tolvan_sim.state()[2] == {"attenuation": 0, "connected": True, "wavelength_index": 2,
                                     "wavelengths": [1310, 1490, 1550]}
