"""The demo's rebuild check: the fingerprint of what goes into the environment changes with any
source of any package the wheel carries, and with nothing else."""

import importlib.util
import shutil
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
SCRIPT = ROOT / "scripts" / "source_fingerprint.py"

pytestmark = pytest.mark.skipif(not SCRIPT.exists(), reason="scripts/ is not beside the tests")


def load():
    spec = importlib.util.spec_from_file_location("source_fingerprint", SCRIPT)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_a_change_in_any_installed_source_and_only_there_changes_the_fingerprint(tmp_path):
    fingerprint = load()
    for name in ("pyproject.toml", "CMakeLists.txt"):  # the checkout's own: its list of packages
        shutil.copy(ROOT / name, tmp_path / name)
    folders = ["src", "sim", "stubs", *fingerprint.packages(tmp_path)]
    assert {"tolvan_lab", "tolvan_serve", "tolvan_cli", "tolvan_sim"} <= set(folders)
    for folder in folders:
        (tmp_path / folder / "__pycache__").mkdir(parents=True)
        (tmp_path / folder / "code.py").write_text("before")
    (tmp_path / "tests").mkdir()
    before = fingerprint.fingerprint(tmp_path)
    for folder in folders:
        (tmp_path / folder / "code.py").write_text("after")
        assert fingerprint.fingerprint(tmp_path) != before, folder
        (tmp_path / folder / "code.py").write_text("before")
    # Neither byte code nor what the wheel leaves out.
    (tmp_path / "tolvan_lab" / "__pycache__" / "code.cpython-311.pyc").write_bytes(b"compiled")
    (tmp_path / "tests" / "test_new.py").write_text("")
    assert fingerprint.fingerprint(tmp_path) == before
