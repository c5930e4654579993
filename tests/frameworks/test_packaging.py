"""The adapters as a user installs them: importing tolvan or tolvan_lab pays for no framework, and
the adapters pass mypy's strict mode against the frameworks' own type information."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import tolvan_lab

# Imported by an adapter, and by nothing else: each is seconds of import time.
FRAMEWORKS = {"qcodes", "bluesky", "ophyd_async", "event_model", "pymeasure", "pyvisa", "pyvisa_py", "numpy"}
ADAPTERS = {"tolvan_lab.qcodes": "qcodes", "tolvan_lab.bluesky": "ophyd_async", "tolvan_lab.pymeasure": "pymeasure"}


@pytest.mark.parametrize("statement", ["import tolvan", "import tolvan_lab", "import tolvan_lab.attenuator"])
def test_importing_the_package_imports_no_framework(statement):
    done = subprocess.run([sys.executable, "-X", "importtime", "-c", statement], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    imported = {line.rsplit("|", 1)[-1].strip() for line in done.stderr.splitlines() if line.startswith("import time:")}
    assert statement.split()[-1] in imported  # the report is read as it should be
    assert not {name.split(".")[0] for name in imported} & FRAMEWORKS, sorted(imported)


# A program that hides the named top-level modules, as if they were not installed, then imports
# an adapter and prints what it raised.
HIDDEN_IMPORT = """
import sys

class Hide:
    def find_spec(self, name, path=None, target=None):
        if name.split(".")[0] in HIDDEN:
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)

HIDDEN = set(sys.argv[2:])
sys.meta_path.insert(0, Hide())
try:
    __import__(sys.argv[1])
except ImportError as error:
    print(type(error).__name__, error)
"""


@pytest.mark.parametrize("adapter, extra, hidden", [
    ("tolvan_lab.qcodes", "qcodes", ["qcodes"]),
    ("tolvan_lab.qcodes", "qcodes", ["numpy"]),  # what QCoDeS imports first
    ("tolvan_lab.bluesky", "bluesky", ["ophyd_async"]),
    ("tolvan_lab.bluesky", "bluesky", ["bluesky", "numpy"]),
    ("tolvan_lab.pymeasure", "pymeasure", ["pymeasure"]),
])
def test_an_adapter_without_its_framework_names_the_pip_line(adapter, extra, hidden):
    done = subprocess.run([sys.executable, "-c", HIDDEN_IMPORT, adapter, *hidden], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith(f"ImportError {adapter} needs "), done.stdout
    assert f"pip install 'tolvan[{extra}]'" in done.stdout and f"pip install '.[{extra}]'" in done.stdout


def test_the_adapters_pass_mypy_strict(tmp_path):
    pytest.importorskip("mypy", reason="mypy is part of the test extra")
    modules = [module for module, framework in ADAPTERS.items() if _installed(framework)]
    if not modules:
        pytest.skip("none of the frameworks is installed")
    # A copy of the tolvan_lab these tests import (installed, or the checkout's), checked as the
    # user code it is; the frameworks are found where they are installed, as for a user.
    home = tmp_path / "src"
    shutil.copytree(Path(tolvan_lab.__file__).parent, home / "tolvan_lab",
                    ignore=shutil.ignore_patterns("__pycache__"))
    env = {key: value for key, value in os.environ.items() if key not in ("MYPYPATH", "PYTHONPATH")}
    arguments = [argument for module in modules for argument in ("-m", module)]
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir",
                           str(tmp_path / "cache"), "--config-file", os.devnull, *arguments],
                          cwd=home, env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr


def _installed(name):
    import importlib.util

    return importlib.util.find_spec(name) is not None
