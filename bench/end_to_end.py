"""End to end against the simulated instrument: the time of each command as a ratio to its pauses.

Real pyserial on the pseudo-terminal of tolvan-sim, started through
tolvan_sim.SimulatedInstrument, and the real 0.2 s pause (twice for
set_optical_length, which reads the channel's list first).
"""

import statistics
import time

import tolvan
from drivers import COMMANDS
from targets import E2E_TARGET, verdict

PAUSE = 0.2


def _timed(tl, names, rounds):
    ratios = {}
    print(f"   {'command':<22}{'pauses':>7}{'median ms':>11}{'ratio':>8}")
    lengths = tl.read_optical_length(1)
    for name, args, replies in COMMANDS:
        if name not in names:
            continue
        if name == "set_optical_length":
            args = (lengths[1], 1)
        call = getattr(tl, name)
        assert call(*args) not in (None, False), name
        took = []
        for _ in range(rounds):
            began = time.perf_counter()
            call(*args)
            took.append(time.perf_counter() - began)
        pauses = len(replies)
        ratios[name] = statistics.median(took) / (PAUSE * pauses)
        print(f"   {name:<22}{pauses:>7}{statistics.median(took) * 1e3:>11.2f}{ratios[name]:>8.4f}  "
              f"{verdict(ratios[name], E2E_TARGET)}")
    return ratios


def run(names, quick=False):
    rounds = 3 if quick else 10
    print(f"2. End to end against tolvan-sim: time per command / its pauses "
          f"(median of {rounds}; target <= {E2E_TARGET})")
    try:
        from tolvan_sim import SimulatedInstrument, SimulatorNotFound
    except ImportError:
        print("   skipped: tolvan_sim is not installed (it comes with the tolvan package)")
        return {}
    tolvan.time = time  # the real pause, whatever an earlier part put there
    try:
        simulator = SimulatedInstrument()
    except SimulatorNotFound as error:
        print(f"   skipped: {error}")
        return {}
    with simulator:
        tl = tolvan.TOLVAN(simulator.port)
        if not tl.open():
            raise SystemExit(f"could not open {simulator.port}")
        try:
            return _timed(tl, names, rounds)
        finally:
            tl.close()
