"""--trace: every frame the driver sends and receives, in hex with its time, on standard error.

The driver does all its input and output through its public `ser` attribute;
TracedPort stands in front of the pyserial object there and passes everything on.
"""

from __future__ import annotations

import sys
import time
from typing import Any


class TracedPort:
    def __init__(self, port: Any, name: str) -> None:
        self._port = port
        self._name = name
        self._began = time.monotonic()
        self._line("opened")

    def _line(self, what: str, data: Any = None) -> None:
        try:
            shown = "" if data is None else bytes(data).hex(" ").upper()
        except (TypeError, ValueError):  # not bytes: the port raises for it below
            shown = repr(data)
        print(f"trace {time.monotonic() - self._began:10.6f} s {self._name} {what} {shown}".rstrip(),
              file=sys.stderr, flush=True)

    def write(self, data: Any) -> Any:
        self._line("sent    ", data)
        return self._port.write(data)

    def inWaiting(self) -> int:
        waiting: int = self._port.inWaiting()
        if not waiting:
            self._line("received nothing")
        return waiting

    def read(self, size: int = 1) -> bytes:
        data: bytes = self._port.read(size)
        self._line("received", data)
        return data

    def close(self) -> None:
        self._port.close()
        self._line("closed")

    def __getattr__(self, name: str) -> Any:
        return getattr(self._port, name)
