"""Start-up of the `tolvan` command, side by side with a bare interpreter.

    python bench/cli_startup.py [--rounds N]

Runs, in turn and N times each (interleaved, so that a busy machine slows all
alike): `python -c pass`; the same interpreter running the one lsof that
`tolvan ports` runs (`lsof` with the ports it lists) and nothing else;
`tolvan --help`; `tolvan ports`. Prints the median of each in ms, and:

- `tolvan --help` must cost at most 30 ms over `python -c pass`;
- `tolvan ports` at most 30 ms over the interpreter with its lsof run.

The lsof run is measured from a fresh interpreter because that is where the
command runs it: the first lsof of a process takes about twice as long as
later ones (25 ms against 12 ms on the machine the figures in CONTRIBUTING.md
come from), so an lsof timed alone in a loop would understate it.

`tolvan` is the console script of this environment (beside sys.executable),
run by this interpreter.
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import sysconfig
import time
from pathlib import Path

BOUND_MS = 30.0


def tolvan_script() -> str:
    script = Path(sysconfig.get_path("scripts")) / "tolvan"
    found = str(script) if script.is_file() else shutil.which("tolvan")
    if found is None:
        sys.exit("cli_startup: no `tolvan` command in this environment: pip install . first")
    return found


def listed_ports() -> list[str]:
    from serial.tools import list_ports

    return sorted(info.device for info in list_ports.comports())


def run_ms(command: list[str]) -> float:
    began = time.perf_counter()
    subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   check=False)
    return (time.perf_counter() - began) * 1000


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=40, help="runs of each command (default 40)")
    args = parser.parse_args()
    script = tolvan_script()
    ports = listed_ports()
    python = sys.executable
    lsof = ["lsof", "-F", "pcn", "--", *ports]
    with_lsof = "python + lsof"
    commands = {
        "python -c pass": [python, "-c", "pass"],
        with_lsof: [python, "-c", f"import subprocess; subprocess.run({lsof!r}, capture_output=True)"],
        "tolvan --help": [python, script, "--help"],
        "tolvan ports": [python, script, "ports"],
    }
    if not ports or shutil.which("lsof") is None:
        commands[with_lsof] = commands["python -c pass"]
        print("cli_startup: no serial ports listed, or no lsof: `tolvan ports` runs no lsof here")
    times: dict[str, list[float]] = {name: [] for name in commands}
    for _ in range(3):  # warm the caches (bytecode, page cache) before measuring
        for command in commands.values():
            run_ms(command)
    for _ in range(args.rounds):
        for name, command in commands.items():
            times[name].append(run_ms(command))
    median = {name: statistics.median(values) for name, values in times.items()}
    print(f"{'command':<16} {'median ms':>10}   {'compared with':<16} {'costs ms':>9} {'bound':>6}")
    met = True
    for name, reference in [("python -c pass", None), (with_lsof, None), ("tolvan --help", "python -c pass"),
                            ("tolvan ports", with_lsof)]:
        if reference is None:
            print(f"{name:<16} {median[name]:>10.1f}")
            continue
        over = median[name] - median[reference]
        met &= over <= BOUND_MS
        print(f"{name:<16} {median[name]:>10.1f}   {reference:<16} {over:>9.1f} {BOUND_MS:>6.0f}  "
              f"{'met' if over <= BOUND_MS else 'NOT MET'}")
    print(f"({args.rounds} rounds each, interleaved; lsof on {len(ports)} port(s); {os.cpu_count()} cores; "
          f"CPython {sys.version.split()[0]})")
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
