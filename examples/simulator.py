"""The simulated instrument for the examples, when no port is given.

tolvan_sim (installed with the package) finds and starts `tolvan-sim`; this
adds what a command-line example shows: a line when it starts and stops, and
an exit with a message instead of a traceback when it cannot start.
"""

import contextlib
import sys
from collections.abc import Iterator

from tolvan_sim import SimulatedInstrument, SimulatorError, SimulatorNotFound


@contextlib.contextmanager
def running_simulator(options: list[str], example: str, port_hint: str) -> Iterator[str]:
    """Starts tolvan-sim with `options` and yields its port; stops it on leaving.

    Exits with a message naming `example` when there is no simulator to start
    (`port_hint` says how to give a port instead) or when it does not start.
    """
    try:
        sim = SimulatedInstrument(*options)
    except SimulatorNotFound as error:
        sys.exit(f"{example}: no port given, and {error}; give {port_hint}")
    except SimulatorError as error:
        sys.exit(f"{example}: {error}")
    with sim:
        print(f"Started the simulated instrument {sim.program} on {sim.port}")
        yield sim.port
    print("Stopped the simulated instrument")
