"""Benchmarks of tolvan: what each command costs beside a Cython build of the same driver, end to end, import.

    python bench/run.py [--quick] [--only per-call,e2e,import] [--command NAME]... [--layouts N] [--functions] [--time]

Runs in any environment where tolvan is installed. The first run builds the
Cython version of bench/baseline.py into bench/.cython-build (installing
Cython there from PyPI if the environment has none); later runs reuse it.
Before measuring, the Cython build and the plain driver are checked to send
the same frames and give the same results and errors as the module.

1. Per command (bench/per_call.py): instructions per call under callgrind,
   or time per call without valgrind, for the module, the Cython build and
   the plain driver. Target: module <= 0.85 of the Cython build.
2. End to end (bench/end_to_end.py) against tolvan-sim: time per command as a
   ratio to its pauses. Target <= 1.02.
3. Import (bench/import_cost.py): what `import tolvan` adds in time and
   resident memory to its four imports alone, beside the Cython build; the
   libraries the module links. Target: at most 200 kB added.
"""

import argparse
import os
import platform
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import agreement  # noqa: E402
import cython_build  # noqa: E402
import drivers  # noqa: E402
import end_to_end  # noqa: E402
import import_cost  # noqa: E402
import per_call  # noqa: E402
import tolvan  # noqa: E402

PARTS = ["per-call", "e2e", "import"]
COMMAND_NAMES = [command[0] for command in drivers.COMMANDS]


def parse_options():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="\n".join(__doc__.splitlines()[2:]))
    parser.add_argument("--quick", action="store_true", help="fewer rounds: a rough figure in seconds")
    parser.add_argument("--only", default=",".join(PARTS), help=f"comma-separated parts among {', '.join(PARTS)}")
    parser.add_argument("--command", action="append", choices=COMMAND_NAMES, metavar="NAME",
                        help="measure this command only (repeatable); the commands are " + ", ".join(COMMAND_NAMES))
    parser.add_argument("--functions", action="store_true",
                        help="under callgrind, also list the module's functions by instructions per call")
    parser.add_argument("--layouts", type=int, metavar="N",
                        help="under callgrind, count in N memory layouts (default 5, --quick 3) and show the median")
    parser.add_argument("--time", action="store_true", help="time the per-command part even where valgrind is")
    options = parser.parse_args()
    options.only = set(options.only.split(","))
    if options.only - set(PARTS):
        parser.error(f"unknown part: {', '.join(sorted(options.only - set(PARTS)))}")
    return options


def main():
    options = parse_options()
    names = set(options.command or COMMAND_NAMES)
    print(f"tolvan {tolvan.__file__}\nPython {platform.python_version()} on "
          f"{platform.system()} {platform.machine()}, {os.cpu_count()} cores\n")
    try:
        cython_extension = cython_build.build()
    except cython_build.Unavailable as reason:
        print(f"No Cython build, so no comparison with it: {reason}\n")
        cython_extension = None
    agreement.check(drivers.load(cython_extension), 300 if options.quick else 3000)
    if "per-call" in options.only:
        per_call.run(cython_extension, names, options.quick, options.functions, options.time, options.layouts)
        print()
    if "e2e" in options.only:
        end_to_end.run(names, options.quick)
        print()
    if "import" in options.only:
        import_cost.run(cython_extension, options.quick)


if __name__ == "__main__":
    main()
