"""The framework adapters against the simulated instrument, with the real frameworks.

Each module skips, saying which extra to install, where its framework is missing.
"""

import pytest

from tolvan_sim import find_simulator


@pytest.fixture
def start_sim(make_tolvan_sim):
    """Starts tolvan-sim with the given options (each stopped after the test)."""
    if find_simulator() is None:
        pytest.skip("needs the simulator tolvan-sim")
    return make_tolvan_sim


@pytest.fixture
def sim(start_sim):
    return start_sim()
