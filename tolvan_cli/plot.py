"""sweep --plot: read-back against set attenuation, with the ideal line (matplotlib, the `plot` extra).

Each kind of mark carries an id in an SVG (`ideal`, `read-back`, `failed`, `unread`), so that a
program can find it there.
"""

from __future__ import annotations

from typing import Any

SIZE_INCHES, DPI = (6.0, 4.5), 100  # 600 x 450 pixels in a PNG


def draw(path: str, ch: int, steps: list[dict[str, Any]]) -> None:
    import matplotlib

    matplotlib.use("Agg")  # a file, never a window
    from matplotlib.figure import Figure

    figure = Figure(figsize=SIZE_INCHES, dpi=DPI, layout="constrained")
    axes = figure.subplots()
    values = [step["set_db"] for step in steps]
    if values:
        axes.plot([min(values), max(values)], [min(values), max(values)], "--", color="grey", label="ideal",
                  gid="ideal")
    # A failed step: no reply to its set (its read-back may still equal it), or a read-back that differs.
    for ok, style, label, gid in ((True, "o", "read back", "read-back"), (False, "x", "read back, step failed", "failed")):
        shown = [(step["set_db"], step["read_db"]) for step in steps if step["read_db"] is not None and step["ok"] is ok]
        if shown:
            axes.plot([s for s, _ in shown], [r for _, r in shown], style, label=label, color=None if ok else "red",
                      gid=gid)
    unread = [step["set_db"] for step in steps if step["read_db"] is None]
    if unread:  # no value to draw: a tick on the bottom edge at the value set
        axes.plot(unread, [0.0] * len(unread), "|", color="red", markersize=16, clip_on=False,
                  transform=axes.get_xaxis_transform(), label="no read-back", gid="unread")
    axes.set_xlabel("set attenuation (dB)")
    axes.set_ylabel("read attenuation (dB)")
    axes.set_title(f"tolvan sweep, channel {ch}")
    axes.legend()
    axes.grid(True, alpha=0.3)
    figure.savefig(path, dpi=DPI)
