"""Step one channel's attenuation over a range and read the status back at each step.

    python examples/sweep.py START STOP STEP [--channel CH] [--port PORT | --sim-options OPTS]

START, STOP and STEP are in dB (0.01 dB is the instrument's resolution); the
sweep includes STOP when the steps land on it and runs downwards when START is
above STOP. One progress line is printed per step, and a table at the end.
Without --port the sweep runs against the simulator `tolvan-sim`, started here
(with --sim-options, such as "--drop-every 3", to make it misbehave) and
stopped at the end. The exit status is 0 when every step was set and read
back as the value the instrument holds, else 1.

    python examples/sweep.py 0 3 0.5
    python examples/sweep.py 0 2 0.5 --sim-options="--drop-every 3"
    python examples/sweep.py 10 0 2.5 --channel 2 --port /dev/ttyUSB0
"""

from __future__ import annotations

import argparse
import contextlib
import shlex
import sys
from decimal import Decimal, InvalidOperation
from typing import NamedTuple

from simulator import running_simulator
from tolvan import TOLVAN

MAX_MDB = 0xFFFF * 10  # the instrument holds an unsigned 16-bit count of 0.01 dB


class Step(NamedTuple):
    number: int
    requested_mdb: int
    set_ok: bool
    read_mdb: int | None  # None: no status reply

    @property
    def held_mdb(self) -> int:
        # What the instrument holds: it keeps whole 0.01 dB steps, dropping the rest.
        return self.requested_mdb // 10 * 10

    @property
    def good(self) -> bool:
        return self.set_ok and self.read_mdb == self.held_mdb

    @property
    def verdict(self) -> str:
        if not self.set_ok:
            return "no reply to set"
        if self.read_mdb is None:
            return "no status reply"
        return "ok" if self.read_mdb == self.held_mdb else "read back differs"


def db_to_mdb(text: str) -> int:
    try:
        value = Decimal(text) * 1000
    except InvalidOperation:
        raise argparse.ArgumentTypeError(f"not a number of dB: {text!r}") from None
    if not value.is_finite():
        raise argparse.ArgumentTypeError(f"not a number of dB: {text!r}")
    if value != value.to_integral_value():
        raise argparse.ArgumentTypeError(f"finer than 0.001 dB: {text!r}")
    return int(value)


def fmt_db(mdb: int | None) -> str:
    return "-" if mdb is None else f"{mdb / 1000:.3f}"


def plan(start: int, stop: int, step: int) -> list[int]:
    direction = 1 if stop >= start else -1
    return list(range(start, stop + direction, direction * step))


def sweep(tl: TOLVAN, channel: int, values: list[int]) -> list[Step]:
    steps = []
    width = len(str(len(values)))
    for number, mdb in enumerate(values, 1):
        set_ok = tl.set_attenuation(mdb, channel)
        status = tl.read_current_status(channel)
        read = None if status is None else status["attenuation"]
        step = Step(number, mdb, set_ok, read)
        steps.append(step)
        read_text = "no status" if read is None else f"read back {fmt_db(read)} dB"
        print(f"[{number:{width}}/{len(values)}] ch {channel}: set {fmt_db(mdb)} dB "
              f"{'ok' if set_ok else 'FAILED'}, {read_text}"
              f"{'' if step.good else '  <-- ' + step.verdict}", flush=True)
    return steps


def print_table(steps: list[Step]) -> None:
    print()
    print(f"{'step':>4}  {'set dB':>8}  {'set':<6}  {'read dB':>8}  {'expected':>8}  result")
    for s in steps:
        print(f"{s.number:>4}  {fmt_db(s.requested_mdb):>8}  {'ok' if s.set_ok else 'failed':<6}  "
              f"{fmt_db(s.read_mdb):>8}  {fmt_db(s.held_mdb):>8}  {s.verdict}")
    good = sum(s.good for s in steps)
    print(f"{good} of {len(steps)} steps set and read back as expected")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("start", type=db_to_mdb, help="first attenuation, dB")
    parser.add_argument("stop", type=db_to_mdb, help="last attenuation, dB")
    parser.add_argument("step", type=db_to_mdb, help="step size, dB (positive)")
    parser.add_argument("-c", "--channel", type=int, default=1, help="channel (default 1)")
    parser.add_argument("-p", "--port", help="serial port, such as /dev/ttyUSB0 or COM3 "
                        "(default: start the simulator)")
    parser.add_argument("--sim-options", default="", metavar="OPTS",
                        help='options for the simulator, as one string: --sim-options="--delay 250"')
    args = parser.parse_args(argv)
    if args.port is not None and args.sim_options:
        parser.error("--sim-options is for the simulator, not for --port")
    if args.step <= 0:
        parser.error("step must be above 0 dB")
    for mdb in (args.start, args.stop):
        if not 0 <= mdb <= MAX_MDB:
            parser.error(f"attenuation {fmt_db(mdb)} dB is outside 0 to {fmt_db(MAX_MDB)} dB")

    with contextlib.ExitStack() as stack:
        port = args.port or stack.enter_context(
            running_simulator(shlex.split(args.sim_options), "sweep", "--port, such as --port COM3"))
        tl = TOLVAN(port)
        if not tl.open():
            print(f"sweep: cannot open {port} (see the line above; README: Troubleshooting)")
            return 1
        try:
            steps = sweep(tl, args.channel, plan(args.start, args.stop, args.step))
        finally:
            tl.close()
    print_table(steps)
    return 0 if all(s.good for s in steps) else 1


if __name__ == "__main__":
    sys.exit(main())
