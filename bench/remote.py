"""The remote Attenuator beside the local one, against tolvan-sim, in one run.

    python bench/remote.py [--rounds N]

A query through `Attenuator("scpi://...")` (att[1].attenuation, to a `tolvan serve --scpi` that
polls nothing) against the same query through `Attenuator(port)` directly, each on a simulator
of its own, taken in turns so that a busy machine slows both alike. The instrument's 0.2 s pause
dominates both. Target: median remote / median local <= 1.02, for the attenuation and for a whole
`status()` (one line, INP<n>:ATT?;INP<n>:WAV?, which the server answers from one read).
"""

from __future__ import annotations

import argparse
import re
import signal
import statistics
import subprocess
import sys
import threading
import time
from collections.abc import Callable

TARGET = 1.02


class Served:
    """`tolvan serve --scpi` on a free loopback port, in a process of its own."""

    def __init__(self, port: str) -> None:
        self.process = subprocess.Popen([sys.executable, "-m", "tolvan_cli", "serve", "-p", port, "--scpi",
                                         "127.0.0.1:0"], text=True, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.lines: list[str] = []
        threading.Thread(target=self._read, daemon=True).start()
        deadline = time.monotonic() + 30
        while not any("serving " in line for line in self.lines):
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise SystemExit("tolvan serve did not start:\n" + "\n".join(self.lines))
            time.sleep(0.05)
        found = re.search(r"SCPI on 127\.0\.0\.1:(\d+)", "\n".join(self.lines))
        if not found:
            raise SystemExit("tolvan serve names no SCPI port:\n" + "\n".join(self.lines))
        self.address = f"scpi://127.0.0.1:{found.group(1)}"

    def _read(self) -> None:
        assert self.process.stderr is not None
        for line in self.process.stderr:
            self.lines.append(line.rstrip("\n"))

    def stop(self) -> None:
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(15)


def in_turns(rounds: int, local: Callable[[], object], remote: Callable[[], object]) -> tuple[float, float]:
    """The median seconds of each, measured alternately."""
    times: tuple[list[float], list[float]] = ([], [])
    for _ in range(rounds):
        for call, kept in ((local, times[0]), (remote, times[1])):
            began = time.perf_counter()
            call()
            kept.append(time.perf_counter() - began)
    return statistics.median(times[0]), statistics.median(times[1])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="\n".join(__doc__.splitlines()[2:]))
    parser.add_argument("--rounds", type=int, default=30, help="queries measured each way (default 30)")
    rounds = parser.parse_args().rounds

    from tolvan_lab import Attenuator
    from tolvan_sim import SimulatedInstrument

    with SimulatedInstrument() as local_sim, SimulatedInstrument() as served_sim:
        server = Served(served_sim.port)
        try:
            with Attenuator(local_sim.port) as local, Attenuator(server.address) as remote:
                for att in (local, remote):  # the lists are read once per open, by the server too
                    assert att.version and all(ch.wavelengths for ch in att) and att[1].attenuation == 0.0
                time.sleep(1.0)  # the server's own reads after opening are done
                query = in_turns(rounds, lambda: local[1].attenuation, lambda: remote[1].attenuation)
                status = in_turns(max(rounds // 3, 3), local[1].status, remote[1].status)
        finally:
            server.stop()
    ratio = query[1] / query[0]
    print(f"att[1].attenuation, remote / local (median of {rounds} each, in turns; target <= {TARGET}):")
    print(f"   local {query[0] * 1e3:.2f} ms, remote {query[1] * 1e3:.2f} ms: ratio {ratio:.4f}  "
          f"{'ok' if ratio <= TARGET else 'MISSED'}")
    status_ratio = status[1] / status[0]
    print(f"att[1].status(), remote / local (median of {max(rounds // 3, 3)} each, in turns; target <= {TARGET}):")
    print(f"   local {status[0] * 1e3:.2f} ms, remote {status[1] * 1e3:.2f} ms: ratio {status_ratio:.4f}  "
          f"{'ok' if status_ratio <= TARGET else 'MISSED'}")


if __name__ == "__main__":
    main()
