"""--trace: every frame sent and received, in hex with its time, on standard error.

A handler on the layer's frame log ("tolvan_lab.frames"): one line per frame sent, received
(the answer) or discarded (with why), per "received nothing" (no answer in time), and when the
port opens and closes. Times are seconds since the port opened.
"""

from __future__ import annotations

import logging
import sys

from tolvan_lab.errors import shown


class TraceHandler(logging.Handler):
    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self._opened: dict[str, float] = {}  # per port, when it opened

    def emit(self, record: logging.LogRecord) -> None:
        event = getattr(record, "tolvan_event", None)
        if event is None:
            return
        port: str = getattr(record, "tolvan_port", "?")
        now: float = getattr(record, "tolvan_time", record.created)
        if event == "opened":
            self._opened[port] = now
        began = self._opened.setdefault(port, now)
        frame = getattr(record, "tolvan_frame", None)
        why = getattr(record, "tolvan_why", "")
        line = f"trace {now - began:10.6f} s {shown(port)} "
        text = getattr(record, "tolvan_line", None)  # a SCPI line to or from a tolvan serve
        if text is not None:
            line += f"{event:<8} {text}"
        else:
            line += event if frame is None else f"{event:<8} {bytes(frame).hex(' ').upper()}"
        if why:
            line += f" ({why})"
        try:
            print(line, file=sys.stderr, flush=True)
        except (OSError, ValueError, AttributeError):  # standard error gone: the trace with it
            pass
