"""Cost per call of each command in each driver: instructions under callgrind, else time.

Every driver runs on the in-memory port of builtins with the instant pause
(bench/drivers.py), one command per measurement, called the way a user calls
it (`instance.set_attenuation(1100, 2)`) in a loop of N calls. The figure is
the cost of that loop less the cost of the same loop with an empty body,
divided by N: the call and everything under it, nothing of the loop
(bench/loops.py).

With valgrind, each count runs in an interpreter of its own under callgrind,
which dumps its count at each call of a marker around each loop; so a count
depends on nothing measured before it, and the Cython and plain columns on
nothing of the module. The interpreter starts uninstrumented (fast), and
callgrind_control switches instrumentation on once the driver is loaded and
warm. A count is exact and repeatable, whatever else the machine does, for
one layout of the interpreter's memory; but counts move with the layout, by
1 to 3%: the interpreter's type-attribute cache is keyed on the addresses of
attribute names and on type version tags, and two hot look-ups that share a
slot miss every time (even the working directory moves them). So each count
is made in several layouts (layout k: PYTHONHASHSEED=k, and a shift of what
was allocated before the driver's import, bench/loops.py) and the median is shown, with the
widest spread below the table; the median of 5 stays within about 0.5% of
the median of 12.

`functions=True` also lists the module's own functions by inclusive
instructions per call, in the first layout (build the module with symbols to
name them: pip install . -Cinstall.strip=false -Ccmake.define.CMAKE_CXX_FLAGS=-g).

Without valgrind, the same loops are timed side by side, drivers interleaved,
and the same ratios printed.
"""

import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from time import perf_counter

import drivers as bench_drivers
from loops import prepared
from targets import PER_CALL_TARGET, verdict

HERE = Path(__file__).resolve().parent
MARKER = "getppid"  # the C function that os.getppid calls: the marker of bench/loops.py


# -- instructions, under callgrind --------------------------------------------------------------

def callgrind_available():
    return all(shutil.which(tool) for tool in ("valgrind", "callgrind_control", "callgrind_annotate"))


def _dump_total(path):
    with open(path) as dump:
        for line in dump:
            if line.startswith("totals:"):
                return int(line.split()[1])
    raise ValueError(f"no totals in {path}")


def _module_functions(dump, calls, module_file):
    """(inclusive instructions per call, name) of the functions in `module_file`, most costly first."""
    annotated = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--auto=no", str(dump)], check=True,
                               capture_output=True, text=True).stdout
    found = {}
    for line in annotated.splitlines():
        match = re.match(r"\s*([\d,]+) \([\d. ]+%\)\s+\S+?:(.*) \[(.*)\]$", line)
        if match and Path(match.group(3)) == module_file:
            name = re.sub(r"\(.*", "", match.group(2).replace("(anonymous namespace)::", ""))
            found[name] = max(found.get(name, 0), int(match.group(1).replace(",", "")) / calls)
    return sorted(((cost, name) for name, cost in found.items()), reverse=True)


def _count_one(label, cython_extension, name, calls, layout, functions_of):
    """(instructions per call, the functions of the file `functions_of` if given and this is the module
    in the first layout) of one driver's command in one memory layout."""
    extension = None if cython_extension is None else str(cython_extension)
    child = (f"import sys; sys.path.insert(0, {str(HERE)!r}); import loops; "
             f"loops.count_between_markers({label!r}, {extension!r}, {name!r}, {calls}, {layout})")
    with tempfile.TemporaryDirectory() as folder:
        out, errors = Path(folder) / "callgrind.out", Path(folder) / "stderr"
        with open(errors, "w") as stderr:
            process = subprocess.Popen(
                ["valgrind", "--tool=callgrind", "--instr-atstart=no", f"--dump-before={MARKER}",
                 f"--callgrind-out-file={out}", sys.executable, "-c", child],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=stderr, text=True,
                env=dict(os.environ, PYTHONHASHSEED=str(layout)))
            if process.stdout.readline().strip() == "ready":
                switched = subprocess.run(["callgrind_control", "--instr=on", str(process.pid)],
                                          capture_output=True, text=True)
                if switched.returncode:
                    process.kill()
                    raise SystemExit(f"callgrind_control could not switch instrumentation on:\n"
                                     f"{switched.stdout}{switched.stderr}")
            process.communicate("go\n")
        if process.returncode:
            raise SystemExit(f"callgrind run failed: {label} {name}\n{errors.read_text()[-3000:]}")
        dumps = sorted(Path(folder).glob("callgrind.out.*"), key=lambda path: int(path.suffix[1:]))
        if len(dumps) != 3:
            raise SystemExit(f"expected 3 dumps at {MARKER}, callgrind wrote {len(dumps)}")
        cost = (_dump_total(dumps[2]) - _dump_total(dumps[1])) / calls
        listing = functions_of is not None and label == "module" and layout == 0
        return cost, _module_functions(dumps[2], calls, functions_of) if listing else []


def count_instructions(cython_extension, labels, names, calls, layouts, functions_of=None):
    """{(command, driver label): [instructions per call in each layout]}, and the module's functions
    per command when `functions_of` is the path of its file.

    The counts run side by side, one per core.
    """
    jobs = [(name, label, layout) for name, *_ in bench_drivers.COMMANDS if name in names
            for label in labels for layout in range(layouts)]
    with ThreadPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
        counted = list(pool.map(lambda job: _count_one(job[1], cython_extension, job[0], calls, job[2], functions_of),
                                jobs))
    costs, listed = {}, {}
    for (name, label, _), (cost, listing) in zip(jobs, counted):
        costs.setdefault((name, label), []).append(cost)
        listed[name] = listed.get(name) or listing
    return costs, listed


# -- time, side by side -------------------------------------------------------------------------

def _loop_seconds(loop, instance, calls):
    began = perf_counter()
    loop(instance, calls)
    return perf_counter() - began


def measure_times(measurements, calls, rounds):
    """{(command, driver label): [seconds per call]}: best loop less best empty loop, drivers interleaved.

    `measurements` as prepared() gives them.
    """
    best = {}
    for _ in range(rounds):
        for name, label, instance, empty, called in measurements:
            for loop in (empty, called):
                seconds = _loop_seconds(loop, instance, calls)
                key = (name, label, loop.__name__)
                best[key] = min(best.get(key, seconds), seconds)
    return {(name, label): [(best[name, label, "called"] - best[name, label, "empty"]) / calls]
            for name, label, *_ in measurements}


# -- the table ----------------------------------------------------------------------------------

def _spread(figures):
    return (max(figures) - min(figures)) / statistics.median(figures)


def run(cython_extension, names, quick=False, functions=False, force_time=False, layouts=None):
    drivers = bench_drivers.load(cython_extension)
    labels = [driver.label for driver in drivers]
    measurements = list(prepared(drivers, names))  # the success path, alike in every driver
    if callgrind_available() and not force_time:
        calls, layouts = 1_000 if quick else 2_000, layouts or (3 if quick else 5)
        module_file = Path(drivers[0].module.__file__).resolve() if functions else None
        costs, listed = count_instructions(cython_extension, labels, names, calls, layouts, module_file)
        unit, scale, digits = "instructions", 1, ",.0f"
        how = f"callgrind, {calls:,} calls less an empty loop, median of {layouts} memory layouts"
    else:
        calls, rounds = (20_000, 5) if quick else (100_000, 9)
        costs, listed = measure_times(measurements, calls, rounds), {}
        unit, scale, digits = "ns", 1e9, ",.1f"
        how = f"timed, best of {rounds} x {calls:,} calls less the best empty loop, drivers interleaved"
    compared = "Cython" if "Cython" in labels else "plain"
    print(f"1. Per command, {unit} per call on the in-memory port, instant pause ({how}; "
          f"target module/{compared} <= {PER_CALL_TARGET})")
    print(f"   {'command':<22}" + "".join(f"{label:>10}" for label in labels) + f"{'module/' + compared:>16}")
    ratios = {}
    for name, *_ in bench_drivers.COMMANDS:
        if name not in names:
            continue
        median = {label: statistics.median(costs[name, label]) for label in labels}
        ratios[name] = median["module"] / median[compared]
        print(f"   {name:<22}" + "".join(f"{median[label] * scale:>10{digits}}" for label in labels)
              + f"{ratios[name]:>16.3f}  {verdict(ratios[name], PER_CALL_TARGET)}")
        for cost, function in listed.get(name, [])[:12]:
            print(f"   {'':<26}{cost:>8,.0f}  {function}")
    if len(next(iter(costs.values()))) > 1:
        widest = {label: max((_spread(costs[name, label]), name) for name, label_ in costs if label_ == label)
                  for label in labels}
        print("   widest spread across layouts: " + ", ".join(
            f"{label} {spread:.1%} ({name})" for label, (spread, name) in widest.items()))
    return ratios
