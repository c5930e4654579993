"""`tolvan serve` beside the instrument layer it stands on, against tolvan-sim, in one run.

    python bench/serve.py [--rounds N]

1. Round trip: a SCPI query (INP1:ATT? over a TCP socket to `tolvan serve --scpi`, which
   polls nothing) against the same command through tolvan_lab.Attenuator directly
   (att[1].attenuation), each on a simulator of its own, taken in turns so that a busy
   machine slows both alike. Target: median SCPI / median direct <= 1.02.
2. A write behind the polls: `tolvan serve --epics --poll 0.8` keeps the line busy
   (a status read every 0.2 s on 4 channels) while SCPI sets arrive at random moments;
   the time from the client's send to the set's frame on the wire, read from the
   server's --trace (time.monotonic(), the same clock in both processes on Linux and
   macOS). Target: at most 0.25 s, each. Needs pythonSoftIOC (pip install 'tolvan[epics]').
3. A query behind the polls: the mean round trip of SCPI queries sent one after another to
   `tolvan serve --epics --poll 2` (a status read every 0.5 s on an idle line) against the same
   queries to a server that polls nothing, each on a simulator of its own, both clients at once;
   once reading one channel (the others still polled), once each channel in turn. Target: ratio
   <= 1.1 for both. Needs pythonSoftIOC.
"""

from __future__ import annotations

import argparse
import os
import random
import re
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time
import uuid

ROUND_TRIP_TARGET = 1.02
WRITE_DELAY_TARGET = 0.25
POLLED_QUERY_TARGET = 1.1


def verdict(figure: float, target: float) -> str:
    return "ok" if figure <= target else "MISSED"


class Served:
    """`tolvan serve` in a process of its own; its standard error, line by line."""

    def __init__(self, *args: str, env: dict[str, str] | None = None) -> None:
        self.process = subprocess.Popen([sys.executable, "-m", "tolvan_cli", "serve", *args], text=True,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                        env={**os.environ, **(env or {})})
        self.lines: list[str] = []
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        deadline = time.monotonic() + 30
        while not any("serving " in line for line in self.lines):
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise SystemExit("tolvan serve did not start:\n" + "\n".join(self.lines))
            time.sleep(0.05)
        found = re.search(r"SCPI on 127\.0\.0\.1:(\d+)", "\n".join(self.lines))
        self.scpi_port = int(found.group(1)) if found else 0

    def _read(self) -> None:
        assert self.process.stderr is not None
        for line in self.process.stderr:
            self.lines.append(line.rstrip("\n"))

    def stop(self) -> None:
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(15)
        self._reader.join(5)


class Client:
    def __init__(self, port: int) -> None:
        self.sock = socket.create_connection(("127.0.0.1", port))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.file = self.sock.makefile("rb")

    def query(self, text: str) -> str:
        self.sock.sendall(text.encode() + b"\n")
        return self.file.readline().decode().rstrip("\n")


def round_trip(rounds: int) -> float:
    from tolvan_lab import Attenuator
    from tolvan_sim import SimulatedInstrument

    print(f"1. Round trip of INP1:ATT? through `tolvan serve --scpi` / att[1].attenuation directly "
          f"(median of {rounds} each, in turns; target <= {ROUND_TRIP_TARGET})")
    with SimulatedInstrument() as direct_sim, SimulatedInstrument() as served_sim:
        server = Served("-p", served_sim.port, "--scpi", "127.0.0.1:0")
        try:
            client = Client(server.scpi_port)
            with Attenuator(direct_sim.port) as att:
                assert att[1].attenuation == 0.0 and client.query("INP1:ATT?") == "0.00"
                time.sleep(1.5)  # the server's state read after opening is done
                direct, served = [], []
                for _ in range(rounds):
                    began = time.perf_counter()
                    att[1].attenuation
                    direct.append(time.perf_counter() - began)
                    began = time.perf_counter()
                    answer = client.query("INP1:ATT?")
                    served.append(time.perf_counter() - began)
                    assert answer == "0.00", answer
        finally:
            server.stop()
    ratio = statistics.median(served) / statistics.median(direct)
    print(f"   direct {statistics.median(direct) * 1e3:.2f} ms, SCPI {statistics.median(served) * 1e3:.2f} ms "
          f"(slowest {max(served) * 1e3:.2f} ms): ratio {ratio:.4f}  {verdict(ratio, ROUND_TRIP_TARGET)}")
    return ratio


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


def epics_environment() -> dict[str, str]:
    """Channel Access and PV Access ports of this run's own, on loopback."""
    return {"EPICS_CAS_INTF_ADDR_LIST": "127.0.0.1", "EPICS_CA_SERVER_PORT": str(free_port()),
            "EPICS_CA_REPEATER_PORT": str(free_port()), "EPICS_PVAS_INTF_ADDR_LIST": "127.0.0.1",
            "EPICS_PVA_SERVER_PORT": str(free_port()), "EPICS_PVA_BROADCAST_PORT": str(free_port())}


class querying(threading.Thread):  # noqa: N801  (read as what it does)
    """Sends `rounds` queries one after another, reading `channels` in turn; `times`: each round trip."""

    def __init__(self, client: Client, channels: tuple[int, ...], rounds: int) -> None:
        super().__init__()
        self.client, self.channels, self.rounds = client, channels, rounds
        self.times: list[float] = []

    def run(self) -> None:
        for step in range(self.rounds):
            began = time.perf_counter()
            answer = self.client.query(f"INP{self.channels[step % len(self.channels)]}:ATT?")
            self.times.append(time.perf_counter() - began)
            assert answer == "0.00", answer


def query_behind_polls(rounds: int) -> dict[str, float] | None:
    from tolvan_sim import SimulatedInstrument

    print(f"3. Mean round trip of SCPI queries one after another, with `--epics --poll 2` / without polls "
          f"({rounds} each, both at once; target <= {POLLED_QUERY_TARGET})")
    try:
        import softioc  # noqa: F401
    except ImportError:
        print("   skipped: needs pythonSoftIOC (pip install 'tolvan[epics]')")
        return None
    ratios = {}
    with SimulatedInstrument() as plain_sim, SimulatedInstrument() as polled_sim:
        plain = Served("-p", plain_sim.port, "--scpi", "127.0.0.1:0")
        polled = Served("-p", polled_sim.port, "--scpi", "127.0.0.1:0", "--epics", f"BENCH{uuid.uuid4().hex[:6]}:",
                        "--poll", "2", env=epics_environment())
        try:
            clients = {"plain": Client(plain.scpi_port), "polled": Client(polled.scpi_port)}
            time.sleep(3)  # the state read after opening, and the first round of polls, are done
            for label, channels in (("one channel (INP1:ATT?)", (1,)), ("each channel in turn", (1, 2, 3, 4))):
                # Both clients query at the same time, each its own server: a busy machine slows both alike.
                times = {name: querying(client, channels, rounds) for name, client in clients.items()}
                for thread in times.values():
                    thread.start()
                for thread in times.values():
                    thread.join()
                plain_mean, polled_mean = statistics.mean(times["plain"].times), statistics.mean(times["polled"].times)
                ratio = ratios[label] = polled_mean / plain_mean
                print(f"   {label}: without polls {plain_mean * 1e3:.1f} ms, with polls {polled_mean * 1e3:.1f} ms "
                      f"(slowest {max(times['polled'].times) * 1e3:.1f} ms): ratio {ratio:.3f}  "
                      f"{verdict(ratio, POLLED_QUERY_TARGET)}")
        finally:
            plain.stop()
            polled.stop()
    return ratios


def write_behind_polls(rounds: int) -> float | None:
    from tolvan_sim import SimulatedInstrument
    from tolvan_sim.frames import decode

    print(f"2. A SCPI set with EPICS polls running (--poll 0.8: a status read every 0.2 s): from the client's "
          f"send to the wire ({rounds} sets; target <= {WRITE_DELAY_TARGET} s each)")
    try:
        import softioc  # noqa: F401
    except ImportError:
        print("   skipped: needs pythonSoftIOC (pip install 'tolvan[epics]')")
        return None
    env = epics_environment()
    with SimulatedInstrument() as sim:
        server = Served("-p", sim.port, "--scpi", "127.0.0.1:0", "--epics", f"BENCH{uuid.uuid4().hex[:6]}:",
                        "--poll", "0.8", "--trace", env=env)
        sent_at = {}
        try:
            client = Client(server.scpi_port)
            time.sleep(1.5)  # the state read after opening is done: only polls now
            shuffle = random.Random(19)
            for step in range(rounds):
                time.sleep(shuffle.uniform(0.0, 0.3))  # any moment of a poll
                mdb = 1000 + 10 * step
                sent_at[mdb] = time.monotonic()
                assert client.query(f"INP2:ATT {mdb}MDB;*OPC?") == "1"
            polls = sum("sent" in line and " 14 36 " in line for line in server.lines)
        finally:
            server.stop()
    on_wire = {}
    for line in server.lines:
        found = re.search(r"(\d+\.\d{6}) \S+ sent ([0-9A-F ]+)$", line)
        if found:
            command = decode(bytes.fromhex(found.group(2)), lambda ch: [])
            if command.name == "set_attenuation" and command.value in sent_at:
                on_wire.setdefault(command.value, float(found.group(1)))
    if len(on_wire) != rounds:
        raise SystemExit(f"found {len(on_wire)} of {rounds} sets in the trace:\n" + "\n".join(server.lines[-20:]))
    delays = [on_wire[mdb] - sent_at[mdb] for mdb in sent_at]
    print(f"   {polls} polls meanwhile; delay median {statistics.median(delays) * 1e3:.1f} ms, "
          f"slowest {max(delays) * 1e3:.1f} ms  {verdict(max(delays), WRITE_DELAY_TARGET)}")
    return max(delays)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="\n".join(__doc__.splitlines()[2:]))
    parser.add_argument("--rounds", type=int, default=30, help="queries and sets measured in each part (default 30)")
    options = parser.parse_args()
    round_trip(options.rounds)
    print()
    write_behind_polls(options.rounds)
    print()
    query_behind_polls(options.rounds)


if __name__ == "__main__":
    main()
