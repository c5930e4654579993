"""The simulated instrument `tolvan-sim`, for tests of scripts that use the tolvan driver.

    from tolvan_sim import SimulatedInstrument

    with SimulatedInstrument("--channels", "2") as sim:
        tl = TOLVAN(sim.port)

pytest finds the fixtures `tolvan_sim` and `make_tolvan_sim` on its own (see
tolvan_sim.plugin). The simulator itself is built on Linux and macOS only.
"""

from typing import TYPE_CHECKING

__all__ = ["SimulatedInstrument", "SimulatorError", "SimulatorNotFound", "find_simulator"]

if TYPE_CHECKING:
    from tolvan_sim.instrument import SimulatedInstrument, SimulatorError, SimulatorNotFound, find_simulator


def __getattr__(name: str) -> object:
    # pytest imports the plugin, and with it this package, in every test session of an
    # environment where tolvan is installed: the instrument's imports wait until used.
    if name in __all__:
        from tolvan_sim import instrument

        return getattr(instrument, name)
    raise AttributeError(f"module 'tolvan_sim' has no attribute {name!r}")
