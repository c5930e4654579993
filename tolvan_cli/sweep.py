"""tolvan sweep --from A --to B --step S: step a channel's attenuation, reading each step back."""

from __future__ import annotations

import os
import sys
import time
from typing import Any, TextIO

from tolvan_lab import NoReply, units
from tolvan_lab.errors import shown
from tolvan_lab.units import db

from tolvan_cli.failures import OutputFailed
from tolvan_cli.session import Failed, Session, UsageError
from tolvan_cli.values import db_text, decimals

CSV_HEADER = "time_s,set_db,read_db,ok,note\n"
# Why a step failed, in the CSV's last column and the JSON's "note".
NO_REPLY_TO_SET, NO_REPLY_TO_READ, READ_DIFFERS = "no reply to set", "no reply to read", "read differs"


def grid(start: int, stop: int, step: int) -> list[int]:
    """The values (counts of 0.01 dB steps) from start towards stop, stop included when a step lands on it."""
    direction = 1 if stop >= start else -1
    return [start + direction * step * i for i in range(abs(stop - start) // step + 1)]


def check_files(args: Any) -> None:
    """The plot's format, folder and matplotlib, and the CSV and the plot being two files,
    checked before the port is opened."""
    if args.csv is not None and args.plot is not None and same_file(args.csv, args.plot):
        raise UsageError(f"--csv {args.csv} and --plot {args.plot} name the same file: the plot would "
                         f"overwrite the sweep's rows; give two names")
    if args.plot is not None:
        if not args.plot.lower().endswith((".png", ".svg")):
            raise UsageError(f"--plot {args.plot}: the file name must end in .png or .svg")
        folder = os.path.dirname(os.path.abspath(args.plot))
        if not os.access(folder, os.W_OK):
            raise UsageError(f"--plot {args.plot}: cannot write in {folder}")
        try:
            import matplotlib  # noqa: F401  # imported, not only found: a broken one is refused here too
        except ImportError as error:
            raise UsageError(f"--plot needs matplotlib, which cannot be imported where tolvan runs ({error}): "
                             f"{sys.executable} -m pip install matplotlib (or, in tolvan's source tree, "
                             f"pip install '.[plot]'); nothing was sent") from None


def same_file(first: str, second: str) -> bool:
    if os.path.realpath(first) == os.path.realpath(second):
        return True
    try:
        return os.path.samefile(first, second)
    except OSError:  # one of them does not exist yet
        return False


class CsvFile:
    """The sweep's CSV, a row flushed at a time; a write that fails is an OutputFailed naming the file."""

    def __init__(self, path: str, session: Session) -> None:
        self.path = path
        try:
            self.file: TextIO = open(path, "w", encoding="utf-8", newline="")
        except OSError as error:
            raise UsageError(f"--csv: cannot write {path}: {error.strerror}") from None
        session.stack.callback(self.close)
        self.write(CSV_HEADER)

    def write(self, text: str) -> None:
        try:
            self.file.write(text)
            self.file.flush()
        except OSError as error:
            self.close()
            raise OutputFailed(f"cannot write {shown(self.path)}: {error.strerror or error}") from None

    def close(self) -> None:
        try:
            self.file.close()
        except OSError:  # what could not be written was reported when it failed
            pass


def progress_bar(session: Session, total: int, ch: int) -> Any:
    """A progress bar on standard error when it is a terminal; None otherwise."""
    if not sys.stderr.isatty():
        return None
    from tqdm import tqdm  # type: ignore[import-untyped,unused-ignore]

    # No monitor thread: the bar is redrawn at every step anyway, and a daemon thread
    # would still be running when the interpreter exits.
    tqdm.monitor_interval = 0
    # A terminal that reports no width (0 columns: some CI pseudo-terminals) would get
    # the figures without the bar: it is drawn 80 columns wide there.
    try:
        columns = os.get_terminal_size(sys.stderr.fileno()).columns
    except OSError:
        columns = 0
    bar = tqdm(total=total, file=sys.stderr, unit="step", desc=f"channel {ch}", leave=False,
               ncols=None if columns > 0 else 80)
    session.stack.callback(bar.close)
    return bar


def run(session: Session) -> None:
    args = session.args
    ch, dwell = args.ch, args.dwell
    plan = grid(args.start, args.stop, args.step)
    check_files(args)
    att = session.instrument()
    channel = att[ch]
    # Opened once the port is: a port that fails leaves an older FILE as it was.
    csv = None if args.csv is None else CsvFile(args.csv, session)
    steps: list[dict[str, Any]] = []
    session.doc = {"channel": ch, "steps": steps}
    session.say(f"{'time_s':>8}  {'set':>10}  {'read':>10}  ok")
    bar = progress_bar(session, len(plan), ch)
    began = time.monotonic()
    for count in plan:
        note = None

        def set_it() -> None:
            channel.attenuation = db(count)

        try:
            session.change(ch, f"setting {db_text(count)}", f"attenuation left at {db_text(count)}", set_it)
        except NoReply:
            note = NO_REPLY_TO_SET
        try:
            read = channel.attenuation
            session.known(ch, "disconnected" if read is None else f"attenuation left at {db_text(read)}")
        except NoReply:
            read, note = None, note or NO_REPLY_TO_READ
        ok = note is None and read is not None and units.steps(read) == count
        if note is None and not ok:
            note = READ_DIFFERS
        took = time.monotonic() - began
        steps.append({"set_db": db(count), "read_db": read, "ok": ok, "time_s": round(took, 3), "note": note})
        if csv is not None:
            csv.write(f"{took:.3f},{decimals(count)},{'' if read is None else decimals(read)},"
                      f"{'true' if ok else 'false'},{note or ''}\n")
        if bar is not None:
            bar.clear()
        session.say(f"{took:8.3f}  {db_text(count):>10}  {db_text(read):>10}  {'yes' if ok else 'no'}"
                    f"{f'  ({note})' if note else ''}")
        if bar is not None:
            bar.update()
        if dwell:
            time.sleep(dwell)
    if bar is not None:
        bar.close()
    failed = [step for step in steps if not step["ok"]]
    session.say(f"{len(steps) - len(failed)} of {len(steps)} steps read back as set")
    errors = []
    if failed:
        errors.append(f"{len(failed)} of {len(steps)} steps did not read back as set (first at "
                      f"{db_text(failed[0]['set_db'])}: {failed[0]['note']}) on {shown(att.port)}; "
                      f"see Troubleshooting in the tolvan README; --trace shows every frame")
    if args.plot is not None:
        from tolvan_cli.plot import draw

        try:
            draw(args.plot, ch, steps)
            session.say(f"plot: {args.plot}")
        except Exception as error:  # the results are kept (CSV, JSON) whatever the plot does
            errors.append(f"could not draw {args.plot}: {type(error).__name__}: {error}")
    if errors:
        raise Failed("; ".join(errors))
