"""Cost per call of each command in each driver: instructions under callgrind, else time.

Every driver runs on the in-memory port of builtins with the instant pause
(bench/drivers.py), one command per measurement, called the way a user calls
it (`instance.set_attenuation(1100, 2)`) in a loop of N calls. The figure is
the cost of that loop less the cost of the same loop with an empty body,
divided by N: the call and everything under it, nothing of the loop.

With valgrind, every measurement runs in one interpreter under callgrind,
which dumps its count at each call of a marker (os.getppid, which nothing
else calls) around each loop; counts are exact and repeatable (the child runs
with PYTHONHASHSEED=0), whatever else the machine does. `functions=True` also
lists the module's own functions by inclusive instructions per call (build the
module with symbols to name them: pip install . -Cinstall.strip=false
-Ccmake.define.CMAKE_CXX_FLAGS=-g). Without valgrind, the loops are timed
side by side with timeit and the same ratios printed.
"""

import gc
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
from itertools import repeat
from pathlib import Path
from time import perf_counter

import drivers as bench_drivers
from targets import PER_CALL_TARGET, verdict

HERE = Path(__file__).resolve().parent
MODULE_SOURCES = str(HERE.parent / "src") + os.sep
WARM_UP = 1_000  # calls before counting, so that the interpreter has specialised the loop
MARKER = "getppid"

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


# -- instructions, under callgrind --------------------------------------------------------------

def _count_in_child(cython_folder, names, calls):
    """Runs under callgrind: each loop between two calls of the marker. Prints the order measured."""
    marker = os.getppid
    order = []
    for name, label, instance, empty, called in prepared(bench_drivers.load(cython_folder), names):
        empty(instance, WARM_UP)
        called(instance, WARM_UP)
        gc.collect()  # each count starts from an empty young generation
        marker()
        empty(instance, calls)
        marker()
        called(instance, calls)
        marker()
        order.append((name, label))
    print(json.dumps(order))


def _dump_total(path):
    with open(path) as dump:
        for line in dump:
            if line.startswith("totals:"):
                return int(line.split()[1])
    raise ValueError(f"no totals in {path}")


def _module_functions(dump, calls):
    """(inclusive instructions per call, name) of the module's own functions, most costly first."""
    annotated = subprocess.run(["callgrind_annotate", "--inclusive=yes", str(dump)], check=True,
                               capture_output=True, text=True).stdout
    found = {}
    for line in annotated.splitlines():
        match = re.match(r"\s*([\d,]+) \([\d. ]+%\)\s+(\S+?):(.*?)(?: \[|$)", line)
        if match and match.group(2).startswith(MODULE_SOURCES):
            name = re.sub(r"\(.*", "", match.group(3).replace("(anonymous namespace)::", ""))
            found[name] = max(found.get(name, 0), int(match.group(1).replace(",", "")) / calls)
    return sorted(((cost, name) for name, cost in found.items()), reverse=True)


def count_instructions(cython_folder, names, calls, functions=False):
    """{(command, driver label): instructions per call}, and the module's functions per command."""
    child = (f"import sys; sys.path.insert(0, {str(HERE)!r}); import per_call; "
             f"per_call._count_in_child({None if cython_folder is None else str(cython_folder)!r}, "
             f"{sorted(names)!r}, {calls})")
    with tempfile.TemporaryDirectory() as folder:
        out = Path(folder) / "callgrind.out"
        done = subprocess.run(["valgrind", "--tool=callgrind", f"--dump-before={MARKER}",
                               f"--callgrind-out-file={out}", sys.executable, "-c", child],
                              capture_output=True, text=True, env=dict(os.environ, PYTHONHASHSEED="0"))
        if done.returncode:
            raise SystemExit(f"callgrind run failed:\n{done.stdout}{done.stderr[-3000:]}")
        order = [tuple(entry) for entry in json.loads(done.stdout.splitlines()[-1])]
        dumps = sorted(Path(folder).glob("callgrind.out.*"), key=lambda path: int(path.suffix[1:]))
        if len(dumps) != 3 * len(order):
            raise SystemExit(f"expected {3 * len(order)} dumps at {MARKER}, callgrind wrote {len(dumps)}")
        costs, listed = {}, {}
        for index, key in enumerate(order):
            empty_dump, called_dump = dumps[3 * index + 1], dumps[3 * index + 2]
            costs[key] = (_dump_total(called_dump) - _dump_total(empty_dump)) / calls
            if functions and key[1] == "module":
                listed[key[0]] = _module_functions(called_dump, calls)
    return costs, listed


# -- time, side by side -------------------------------------------------------------------------

def _loop_seconds(loop, instance, calls):
    began = perf_counter()
    loop(instance, calls)
    return perf_counter() - began


def measure_times(cython_folder, names, calls, rounds):
    """{(command, driver label): seconds per call}: best loop less best empty loop, drivers interleaved."""
    measurements = list(prepared(bench_drivers.load(cython_folder), names))
    best = {}
    for _ in range(rounds):
        for name, label, instance, empty, called in measurements:
            for loop in (empty, called):
                seconds = _loop_seconds(loop, instance, calls)
                key = (name, label, loop.__name__)
                best[key] = min(best.get(key, seconds), seconds)
    return {(name, label): (best[name, label, "called"] - best[name, label, "empty"]) / calls
            for name, label, *_ in measurements}


# -- the table ----------------------------------------------------------------------------------

def run(cython_folder, names, quick=False, functions=False, force_time=False):
    labels = ["module"] + (["Cython"] if cython_folder is not None else []) + ["plain"]
    if shutil.which("valgrind") and not force_time:
        calls = 1_000 if quick else 2_000
        costs, listed = count_instructions(cython_folder, names, calls, functions)
        unit, scale, digits = "instructions", 1, ",.0f"
        how = f"callgrind, {calls:,} calls less an empty loop of {calls:,}"
    else:
        calls, rounds = (20_000, 5) if quick else (100_000, 9)
        costs, listed = measure_times(cython_folder, names, calls, rounds), {}
        unit, scale, digits = "ns", 1e9, ",.1f"
        how = f"timeit, best of {rounds} x {calls:,} calls less the best empty loop, drivers interleaved"
    compared = "Cython" if "Cython" in labels else "plain"
    print(f"1. Per command, {unit} per call on the in-memory port, instant pause ({how}; "
          f"target module/{compared} <= {PER_CALL_TARGET})")
    print(f"   {'command':<22}" + "".join(f"{label:>10}" for label in labels) + f"{'module/' + compared:>16}")
    ratios = {}
    for name, *_ in bench_drivers.COMMANDS:
        if name not in names:
            continue
        ratios[name] = costs[name, "module"] / costs[name, compared]
        print(f"   {name:<22}" + "".join(f"{costs[name, label] * scale:>10{digits}}" for label in labels)
              + f"{ratios[name]:>16.3f}  {verdict(ratios[name], PER_CALL_TARGET)}")
        for cost, function in listed.get(name, [])[:12]:
            print(f"   {'':<26}{cost:>8,.0f}  {function}")
    return ratios
