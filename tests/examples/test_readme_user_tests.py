"""The README's user test file, taken from the README and run with pytest as a user runs it, and
checked with mypy --strict as a user's type checker would."""

import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from tolvan_sim import find_simulator

README = Path(__file__).resolve().parents[2] / "README.md"
SECTION = "## Testing your own scripts without the instrument"

pytestmark = pytest.mark.skipif(not README.exists(), reason="README.md is not beside the tests")


def user_test_file():
    """The section's file name, its code and the pytest summary it shows: (name, code, summary)."""
    text = README.read_text(encoding="utf-8")
    assert SECTION in text, f"README.md has no section {SECTION!r}"
    section = text.split(SECTION, 1)[1].split("\n## ", 1)[0]
    name = re.search(r"A complete test file, `(test_\w+\.py)`:", section).group(1)
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    shown = re.search(rf"\$ pytest -q {re.escape(name)}\n.*?^(\d+ passed)", section, re.S | re.M).group(1)
    return name, code, shown


@pytest.mark.skipif(find_simulator() is None, reason="needs the simulator tolvan-sim")
def test_the_user_test_file_passes_as_shown(tmp_path):
    name, code, shown = user_test_file()
    (tmp_path / name).write_text(code)
    env = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
    done = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", name], cwd=tmp_path,
                          env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    summary = done.stdout.splitlines()[-1]
    assert summary.startswith(f"{shown} in "), summary


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is part of the test extra")
def test_the_user_test_file_passes_mypy_strict(tmp_path):
    # The fixtures' types as the file annotates them, from the installed packages.
    name, code, _ = user_test_file()
    (tmp_path / name).write_text(code)
    env = {key: value for key, value in os.environ.items() if key not in ("PYTHONPATH", "MYPYPATH")}
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--config-file", os.devnull,
                           "--cache-dir", str(tmp_path / "cache"), name], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=300)
    assert (done.returncode, done.stdout) == (0, ""), done.stdout + done.stderr

