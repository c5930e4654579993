"""tolvan sweep --from A --to B --step S: step a channel's attenuation, reading each step back."""

from __future__ import annotations

import sys
import time
from typing import Any, TextIO

from tolvan_cli.session import Failed, Session, UsageError
from tolvan_cli.values import db, db_text

CSV_HEADER = "time_s,set_db,read_db,ok\n"


def grid(start: int, stop: int, step: int) -> list[int]:
    """The values in mdB from start towards stop, stop included when a step lands on it."""
    direction = 1 if stop >= start else -1
    return [start + direction * step * i for i in range(abs(stop - start) // step + 1)]


def check_plot(args: Any) -> None:
    """The plot's format, folder and matplotlib, checked before the port is opened."""
    if args.plot is not None:
        import importlib.util

        import os

        if not args.plot.lower().endswith((".png", ".svg")):
            raise UsageError(f"--plot {args.plot}: the file name must end in .png or .svg")
        if not os.access(os.path.dirname(os.path.abspath(args.plot)), os.W_OK):
            raise UsageError(f"--plot {args.plot}: cannot write in {os.path.dirname(os.path.abspath(args.plot))}")
        if importlib.util.find_spec("matplotlib") is None:
            raise UsageError(f"--plot needs matplotlib, which is not installed where tolvan runs: "
                             f"{sys.executable} -m pip install matplotlib (or, in tolvan's source tree, "
                             f"pip install '.[plot]'); nothing was sent")


def open_csv(args: Any, session: Session) -> TextIO | None:
    if args.csv is None:
        return None
    try:
        csv: TextIO = session.stack.enter_context(open(args.csv, "w", encoding="utf-8", newline=""))
    except OSError as error:
        raise UsageError(f"--csv: cannot write {args.csv}: {error.strerror}") from None
    csv.write(CSV_HEADER)
    csv.flush()
    return csv


def progress_bar(session: Session, total: int, ch: int) -> Any:
    """A progress bar on standard error when it is a terminal; None otherwise."""
    if not sys.stderr.isatty():
        return None
    import os

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
    check_plot(args)
    tl = session.driver()
    csv = open_csv(args, session)  # once the port is open: a port that fails leaves an older FILE as it was
    steps: list[dict[str, Any]] = []
    session.doc = {"channel": ch, "steps": steps}
    session.say(f"{'time_s':>8}  {'set':>10}  {'read':>10}  ok")
    bar = progress_bar(session, len(plan), ch)
    began = time.monotonic()
    for value in plan:
        set_ok = session.apply(ch, f"setting {db_text(value)}", f"attenuation left at {db_text(value)}",
                               tl.set_attenuation, value, ch)
        status = tl.read_current_status(ch)
        read = None if status is None else status["attenuation"]
        ok = set_ok and read == value
        took = time.monotonic() - began
        steps.append({"set_db": db(value), "read_db": db(read), "ok": ok})
        if csv is not None:
            csv.write(f"{took:.3f},{value / 1000:.2f},{'' if read is None else f'{read / 1000:.2f}'},"
                      f"{'true' if ok else 'false'}\n")
            csv.flush()
        if bar is not None:
            bar.clear()
        note = ("" if ok else "  (no reply to set)" if not set_ok else "  (no status reply)" if read is None
                else "  (read back differs)")
        session.say(f"{took:8.3f}  {db_text(value):>10}  {db_text(read):>10}  {'yes' if ok else 'no'}{note}")
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
                      f"{failed[0]['set_db']:.2f} dB): no reply, or a different value, from {tl.port}; "
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
