"""Where a command's time goes: instructions per call under callgrind, native beside plain.

    python bench/profile.py [command ...]

For each command, runs the overhead setup of bench/run.py (in-memory port of
builtins, instant pause) under `valgrind --tool=callgrind` twice per driver,
with 0 and with N calls, and prints the instructions per call (the
difference over N), so that start-up does not count. For the native driver it
also lists the module's functions by inclusive instructions per call. Needs
valgrind and callgrind_annotate; counts are exact and repeatable, whatever
else the machine does. Build with symbols to see the module's functions:

    pip install . -Cinstall.strip=false -Ccmake.define.CMAKE_CXX_FLAGS=-g
"""

import re
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
CALLS = 20_000

DRIVER = """
import sys, types
sys.path.insert(0, {here!r})
import run as bench, tolvan, baseline
instant = types.SimpleNamespace(sleep=abs)
tolvan.time = baseline.time = instant
name, args, replies = {{c[0]: c for c in bench.COMMANDS}}[{name!r}]
tl = tolvan.TOLVAN("x") if {native} else baseline.PlainTOLVAN("x")
tl.ser = bench.builtin_port(replies)
call = getattr(tl, name)
for _ in range(1000):
    call(*args)
for _ in range({calls}):
    call(*args)
"""


def instructions(script, out):
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, "-c", script],
                   check=True, capture_output=True)
    annotated = subprocess.run(["callgrind_annotate", "--inclusive=yes", str(out)], check=True,
                               capture_output=True, text=True).stdout
    total = int(re.search(r"([\d,]+) \(100\.0%\)\s+PROGRAM TOTALS", annotated).group(1).replace(",", ""))
    return total, annotated


def module_functions(annotated, calls):
    """(inclusive instructions per call, function) for the module's own functions."""
    found = {}
    for line in annotated.splitlines():
        match = re.match(r"\s*([\d,]+) \([\d. ]+%\)\s+(\S+):(tolvan::.*?)(?: \[|$)", line)
        if match and "/src/" in match.group(2):
            name = re.sub(r"\(.*", "", match.group(3).replace("(anonymous namespace)::", ""))
            found[name] = max(found.get(name, 0), int(match.group(1).replace(",", "")) / calls)
    return sorted(((cost, name) for name, cost in found.items()), reverse=True)


def main(names):
    sys.path.insert(0, str(HERE))
    import run as bench

    names = names or [command[0] for command in bench.COMMANDS]
    with tempfile.TemporaryDirectory() as folder:
        for name in names:
            per_call = {}
            for native in (True, False):
                costs = []
                for calls in (0, CALLS):
                    script = DRIVER.format(here=str(HERE), name=name, native=native, calls=calls)
                    costs.append(instructions(script, Path(folder) / f"{name}.{native}.{calls}.out"))
                per_call[native] = (costs[1][0] - costs[0][0]) / CALLS
                if native:
                    top = module_functions(costs[1][1], CALLS + 1000)
            print(f"{name}: native {per_call[True]:,.0f}, plain {per_call[False]:,.0f} instructions per call, "
                  f"ratio {per_call[True] / per_call[False]:.2f}")
            for cost, function in top[:12]:
                print(f"    {cost:>8,.0f}  {function}")


if __name__ == "__main__":
    main(sys.argv[1:])
