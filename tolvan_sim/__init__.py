"""The simulated instrument `tolvan-sim`, for tests of scripts that use the tolvan driver.

    from tolvan_sim import Command, SimulatedInstrument

    with SimulatedInstrument("--channels", "2") as sim:
        tl = TOLVAN(sim.port)
        ...
    assert Command("set_attenuation", 2, 1230) in sim.commands()

pytest finds the fixtures `tolvan_sim`, `make_tolvan_sim`, `tolvan_driver` and
`tolvan_attenuator` on its own (see tolvan_sim.plugin); `MakeTolvanSim` is the
type of `make_tolvan_sim`. `TOLVANSpec` gives mocks of the driver that check
every call. The simulator itself is built on Linux and macOS only.
"""

from typing import TYPE_CHECKING

__all__ = ["Command", "MakeTolvanSim", "Refused", "SimulatedInstrument", "SimulatorError", "SimulatorNotFound",
           "TOLVANSpec", "find_simulator"]

if TYPE_CHECKING:
    from tolvan_sim.doubles import TOLVANSpec
    from tolvan_sim.frames import Command, Refused
    from tolvan_sim.instrument import (MakeTolvanSim, SimulatedInstrument, SimulatorError, SimulatorNotFound,
                                       find_simulator)

# Where each name lives: pytest imports the plugin, and with it this package, in every
# test session of an environment where tolvan is installed, so nothing is imported
# until used.
_HOMES = {"Command": "frames", "Refused": "frames", "TOLVANSpec": "doubles"}


def __getattr__(name: str) -> object:
    if name in __all__:
        import importlib

        return getattr(importlib.import_module(f"tolvan_sim.{_HOMES.get(name, 'instrument')}"), name)
    raise AttributeError(f"module 'tolvan_sim' has no attribute {name!r}")
