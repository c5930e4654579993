"""pytest fixtures that start the simulated instrument for a test and stop it afterwards.

Registered through the `pytest11` entry point of the tolvan package, so that
any test in an environment where tolvan is installed can ask for them:

    def test_attenuation(tolvan_sim):                # default options
        tl = TOLVAN(tolvan_sim.port)

    def test_two_channels(make_tolvan_sim):          # options of the test's choosing
        sim = make_tolvan_sim("--channels", "2", "--wavelengths", "2=1310,1550")

    def test_my_script(tolvan_driver, tolvan_sim):   # a TOLVAN opened on that same simulator
        my_script(tolvan_driver)
        assert tolvan_sim.state()[1]["attenuation"] == 1230

    def test_my_lab_code(tolvan_attenuator, tolvan_sim):  # a tolvan_lab.Attenuator opened on it
        tolvan_attenuator[2].attenuation = 1.23
        assert tolvan_sim.state()[2]["attenuation"] == 1230

pytest imports this module at start-up in every such environment, used or
not: it imports nothing beyond pytest until a test asks for a fixture.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import TYPE_CHECKING, Any

import pytest

if TYPE_CHECKING:
    from tolvan import TOLVAN
    from tolvan_lab import Attenuator
    from tolvan_sim.instrument import MakeTolvanSim, SimulatedInstrument


@pytest.fixture
def make_tolvan_sim() -> Iterator[MakeTolvanSim]:
    """A factory: make_tolvan_sim(*options, log=None) starts a tolvan-sim and returns it.

    Every simulator it started is stopped when the test ends. On Windows, where
    there is no simulator, the test is skipped. Its type is tolvan_sim.MakeTolvanSim.
    """
    from tolvan_sim.instrument import SUPPORTED, SimulatedInstrument

    if not SUPPORTED:
        pytest.skip("tolvan-sim needs pseudo-terminals: it is built on Linux and macOS only")
    started: list[SimulatedInstrument] = []

    def make(*options: Any, log: Any = None) -> SimulatedInstrument:
        sim = SimulatedInstrument(*options, log=log)
        started.append(sim)
        return sim

    yield make
    for sim in started:
        sim.stop()


@pytest.fixture
def tolvan_sim(make_tolvan_sim: MakeTolvanSim) -> SimulatedInstrument:
    """A running tolvan-sim with its default options; `.port` is its serial end."""
    return make_tolvan_sim()


@pytest.fixture
def tolvan_driver(tolvan_sim: SimulatedInstrument) -> Iterator[TOLVAN]:
    """A TOLVAN opened on `tolvan_sim` (the same simulator, when the test asks for both), closed after the test.

    For other simulator options, start one with make_tolvan_sim and open a TOLVAN on its port.
    """
    from tolvan import TOLVAN

    driver = TOLVAN(tolvan_sim.port)
    if not driver.open():
        pytest.fail(f"TOLVAN({tolvan_sim.port!r}).open() failed on the simulator (its printed line says why)",
                    pytrace=False)
    yield driver
    driver.close()


@pytest.fixture
def tolvan_attenuator(tolvan_sim: SimulatedInstrument) -> Iterator[Attenuator]:
    """A tolvan_lab.Attenuator opened on `tolvan_sim` (the same simulator, when the test asks for both),
    closed after the test; the simulator stops then too.

    For other simulator options, start one with make_tolvan_sim and open an Attenuator on its port.
    """
    from tolvan_lab import Attenuator, PortUnavailable

    attenuator = Attenuator(tolvan_sim.port)
    try:
        attenuator.open()
    except PortUnavailable as error:
        pytest.fail(f"Attenuator({tolvan_sim.port!r}).open() failed on the simulator: {error}", pytrace=False)
    yield attenuator
    attenuator.close()
