"""sweep --plot: read-back against set attenuation, with the ideal line (matplotlib, the `plot` extra)."""

from __future__ import annotations

from typing import Any


def draw(path: str, ch: int, steps: list[dict[str, Any]]) -> None:
    import matplotlib

    matplotlib.use("Agg")  # a file, never a window
    from matplotlib.figure import Figure

    figure = Figure(figsize=(6, 4.5), layout="constrained")
    axes = figure.subplots()
    values = [step["set_db"] for step in steps]
    if values:
        axes.plot([min(values), max(values)], [min(values), max(values)], "--", color="grey", label="ideal")
    for ok, style, label in ((True, "o", "read back"), (False, "x", "read back, not as set")):
        shown = [(step["set_db"], step["read_db"]) for step in steps if step["read_db"] is not None and step["ok"] is ok]
        if shown:
            axes.plot([s for s, _ in shown], [r for _, r in shown], style, label=label, color=None if ok else "red")
    axes.set_xlabel("set attenuation (dB)")
    axes.set_ylabel("read attenuation (dB)")
    axes.set_title(f"tolvan sweep, channel {ch}")
    axes.legend()
    axes.grid(True, alpha=0.3)
    figure.savefig(path)
