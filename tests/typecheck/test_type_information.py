"""What a type checker sees of the installed package.

The stubs ship as the package `tolvan-stubs` beside the extension module; these
tests run mypy from an empty folder, so they only pass when that installed
copy is found and agrees with the module that is actually loaded.
"""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy", reason="mypy is part of the test extra")

SAMPLES = Path(__file__).parent / "samples"


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy-cache")


def run_mypy(args, cwd, cache):
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    command = [sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
               "--cache-dir", str(cache), "--config-file", os.devnull, *args]
    return subprocess.run(command, cwd=cwd, env=env, capture_output=True, text=True, timeout=300)


def test_stubs_agree_with_the_loaded_module(tmp_path):
    # Parameter names, kinds and defaults, methods and attributes present on
    # one side only, the module globals: stubtest compares all of them.
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "tolvan"],
                            cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success" in result.stdout


def test_script_using_every_method_passes_strict_mode(tmp_path, mypy_cache):
    result = run_mypy([str(SAMPLES / "every_method.py")], tmp_path, mypy_cache)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.strip() == ""


def test_a_lab_script_passes_strict_mode(tmp_path, mypy_cache):
    result = run_mypy([str(SAMPLES / "lab_script.py")], tmp_path, mypy_cache)
    assert (result.returncode, result.stdout.strip()) == (0, ""), result.stdout + result.stderr


def test_float_channel_is_reported(tmp_path, mypy_cache):
    result = run_mypy([str(SAMPLES / "float_channel.py")], tmp_path, mypy_cache)
    assert result.returncode == 1, result.stdout + result.stderr
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    lines = sorted(int(re.search(r"float_channel\.py:(\d+):", e).group(1)) for e in errors)
    assert lines == list(range(6, 12)), result.stdout
    assert all('incompatible type "float"; expected "int"' in e for e in errors), result.stdout


DRIVER = 'from tolvan import TOLVAN\n\ntl = TOLVAN("COM3")\n'
# Each mistake, the script that makes it, and what mypy must say of it (all checked in one run).
MISTAKES = {
    # The key as the method's docstring misspells it.
    "misspelt_status_key": (DRIVER + 's = tl.read_current_status()\nassert s is not None\n'
                            'print(s["optical_lenght_index"])\n', '"ChannelStatus" has no key "optical_lenght_index"'),
    # A failed read gives None, which must be handled before indexing.
    "unchecked_none": (DRIVER + "print(tl.read_optical_length(2)[0])\n", "not indexable"),
    "str_attenuation": (DRIVER + 'tl.set_attenuation("1100")\n', 'incompatible type "str"; expected "int"'),
    "surplus_argument": (DRIVER + "tl.clear_attenuation(1, 2)\n", "Too many arguments"),
    "unknown_keyword": (DRIVER + "tl.set_attenuation(1100, channel=2)\n", 'Unexpected keyword argument "channel"'),
    "version_is_not_int": (DRIVER + "n: int = tl.read_device_version()\n", "incompatible types in assignment"),
    # A disconnected channel reads None: a lab script must say what then.
    "unchecked_reading": ('from tolvan_lab import Attenuator\n\nprint(Attenuator("COM3")[1].attenuation + 1)\n',
                          'Unsupported operand types for + ("None" and "int")'),
}


def test_common_mistakes_are_reported(tmp_path, mypy_cache):
    for name, (body, _) in MISTAKES.items():
        (tmp_path / f"{name}.py").write_text(body)
    result = run_mypy(sorted(f"{name}.py" for name in MISTAKES), tmp_path, mypy_cache)
    assert result.returncode == 1, result.stdout + result.stderr
    said = {name: [line for line in result.stdout.splitlines() if line.startswith(f"{name}.py:")] for name in MISTAKES}
    missed = {name: said[name] for name, (_, expected) in MISTAKES.items()
              if not any(expected.lower() in line.lower() for line in said[name])}
    assert missed == {}, result.stdout
