"""The adapters as a user installs them: importing tolvan or tolvan_lab pays for no framework (that
the adapters pass mypy's strict mode is the test command's type-checking stage, scripts/typecheck.py)."""

import subprocess
import sys

import pytest

# Imported by an adapter, and by nothing else: each is seconds of import time.
FRAMEWORKS = {"qcodes", "bluesky", "ophyd_async", "event_model", "pymeasure", "pyvisa", "pyvisa_py", "numpy"}


@pytest.mark.parametrize("statement", ["import tolvan", "import tolvan_lab", "import tolvan_lab.attenuator"])
def test_importing_the_package_imports_no_framework(statement):
    done = subprocess.run([sys.executable, "-X", "importtime", "-c", statement], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    imported = {line.rsplit("|", 1)[-1].strip() for line in done.stderr.splitlines() if line.startswith("import time:")}
    assert statement.split()[-1] in imported  # the report is read as it should be
    assert not {name.split(".")[0] for name in imported} & FRAMEWORKS, sorted(imported)
