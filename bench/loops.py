"""The loops that every per-call measurement runs: N calls of one command, and the same loop empty.

Light on purpose: an interpreter that callgrind watches imports this, the
drivers module and the one driver it measures, and nothing else of the
benchmarks, so that it starts quickly under valgrind.
"""

import gc
import os
import sys
from itertools import repeat

import drivers as bench_drivers

WARM_UP = 1_000  # calls before counting, so that the interpreter has specialised the loop

LOOPS = """
def empty(instance, calls):
    for _ in repeat(None, calls):
        pass

def called(instance, calls):
    for _ in repeat(None, calls):
        instance.{name}({arguments})
"""


def loops(name, args):
    """(empty, called): loops of `calls` iterations without and with the call of the command."""
    namespace = {"repeat": repeat}
    exec(LOOPS.format(name=name, arguments=", ".join(map(repr, args))), namespace)
    return namespace["empty"], namespace["called"]


def prepared(drivers, names):
    """(command, driver label, instance, empty loop, called loop) for each measurement, in order.

    Each instance has answered its command once already, with the same successful result in every
    driver, so that what is measured is the path of a working exchange.
    """
    bench_drivers.set_pause(drivers, bench_drivers.INSTANT)
    for name, args, replies in bench_drivers.COMMANDS:
        if name not in names:
            continue
        empty, called = loops(name, args)
        results = []
        for driver in drivers:
            instance = driver.on(bench_drivers.builtin_port(replies))
            results.append(getattr(instance, name)(*args))
            yield name, driver.label, instance, empty, called
        if results[0] in (None, False) or results.count(results[0]) != len(results):
            raise SystemExit(f"{name}{args} does not succeed alike in every driver: {results}")


def shifted_layout(layout):
    """Objects that move what a driver allocates on import, differently for each layout number.

    Strings of assorted sizes shift where the driver's attribute names land; classes, each given
    a version tag by a look-up, shift the version tags of the classes made after them.
    """
    strings = ["x" * (size % 120 + 2) for size in range(97 * layout)]
    classes = [type("Shift", (), {}) for _ in range(layout)]
    for cls in classes:
        getattr(cls, "shift", None)
    return strings, classes


def count_between_markers(label, cython_extension, name, calls, layout):
    """Under callgrind (bench/per_call.py): one driver, one command, each loop between two calls of the marker.

    Says "ready" and waits for a line once the driver is warm: meanwhile the parent switches
    callgrind's instrumentation on, off until then so that the start costs little.
    """
    shift = shifted_layout(layout)  # noqa: F841 (held: what it took stays taken)
    drivers = bench_drivers.load(cython_extension, [label])
    [(_, _, instance, empty, called)] = prepared(drivers, {name})
    empty(instance, WARM_UP)
    called(instance, WARM_UP)
    print("ready", flush=True)
    sys.stdin.readline()
    gc.collect()  # each count starts from an empty young generation
    marker = os.getppid
    marker()
    empty(instance, calls)
    marker()
    called(instance, calls)
    marker()
