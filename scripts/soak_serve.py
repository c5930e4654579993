"""Soak test of `tolvan serve` against tolvan-sim (not part of the test command: it runs for minutes).

    python scripts/soak_serve.py [--minutes 10] [--no-epics]

Round after round until the time is up, 32 SCPI clients connect at once and send 1,000
commands in total (two sets to one query, on channels shared by four clients each), pipelined,
then *OPC? and SYST:ERR?, and disconnect. After each round the simulator's frame log must hold
each client's sets exactly once and in the order the client sent them, and every client's error
queue must be empty. Meanwhile the server's resident memory is sampled every 10 s (Linux:
/proc/PID/status). With pythonSoftIOC installed the EPICS face runs too, polling every 2 s.

Exits 1 when a set was lost, doubled or reordered, when a client saw an error, or when the
server's memory in the last third of the run exceeds that of the first third (after the first
round) by more than 2 MiB.
"""

from __future__ import annotations

import argparse
import os
import re
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time
import uuid

CLIENTS = 32
COMMANDS = 1000
CHANNELS = 8
GROWTH_LIMIT_KIB = 2048


def rss_kib(pid: int) -> int | None:
    try:
        with open(f"/proc/{pid}/status") as status:
            found = re.search(r"VmRSS:\s+(\d+) kB", status.read())
    except OSError:
        return None
    return int(found.group(1)) if found else None


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


def client(port: int, number: int, lines: list[str], queries: int, problems: list[str]) -> None:
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=600) as sock:
            sock.sendall(("\n".join(lines) + "\n*OPC?\nSYST:ERR?\n").encode())
            answers = sock.makefile("rb").readline
            got = [answers().decode().rstrip("\n") for _ in range(queries + 2)]
    except OSError as error:
        problems.append(f"client {number}: {error}")
        return
    if got[-2:] != ["1", '0,"No error"']:
        problems.append(f"client {number}: ended with {got[-2:]}")
    if not all(re.fullmatch(r"\d+\.\d\d", answer) for answer in got[:-2]):
        problems.append(f"client {number}: answers {got[:-2]}")


def one_round(port: int, sim, problems: list[str]) -> float:
    """One round of 1,000 commands from 32 clients; checks the sets against the simulator's log."""
    before = len(sim.commands())
    sent: dict[int, list[int]] = {}
    threads = []
    for number in range(CLIENTS):
        ch = number % CHANNELS + 1
        count = COMMANDS // CLIENTS + (number < COMMANDS % CLIENTS)
        lines, queries = [], 0
        sent[number] = []
        for step in range(count):
            if step % 3 == 2:
                lines.append(f"INP{ch}:ATT?")
                queries += 1
            else:
                mdb = (number * 40 + step) * 10  # tells the client and its step apart
                sent[number].append(mdb)
                lines.append(f"INP{ch}:ATT {mdb}MDB")
        threads.append(threading.Thread(target=client, args=(port, number, lines, queries, problems)))
    began = time.monotonic()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    took = time.monotonic() - began
    arrived = [c.value for c in sim.commands()[before:] if c.name == "set_attenuation"]
    for number, values in sent.items():
        mine = [value for value in arrived if isinstance(value, int) and value // 400 == number]
        if mine != values:
            problems.append(f"client {number}: sent {values}, the instrument received {mine}")
    return took


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="\n".join(__doc__.splitlines()[2:]))
    parser.add_argument("--minutes", type=float, default=10.0, help="how long to run (default 10)")
    parser.add_argument("--no-epics", action="store_true", help="the SCPI face only")
    options = parser.parse_args()
    from tolvan_sim import SimulatedInstrument

    epics = not options.no_epics
    if epics:
        try:
            import softioc  # noqa: F401
        except ImportError:
            print("soak: no pythonSoftIOC: the SCPI face only")
            epics = False
    env = {**os.environ, "EPICS_CAS_INTF_ADDR_LIST": "127.0.0.1", "EPICS_CA_SERVER_PORT": str(free_port()),
           "EPICS_CA_REPEATER_PORT": str(free_port()), "EPICS_PVAS_INTF_ADDR_LIST": "127.0.0.1",
           "EPICS_PVA_SERVER_PORT": str(free_port()), "EPICS_PVA_BROADCAST_PORT": str(free_port())}
    problems: list[str] = []
    samples: list[tuple[float, int]] = []
    with SimulatedInstrument("--channels", str(CHANNELS)) as sim:
        faces = ["--scpi", "127.0.0.1:0"] + (["--epics", f"SOAK{uuid.uuid4().hex[:6]}:"] if epics else [])
        server = subprocess.Popen([sys.executable, "-m", "tolvan_cli", "serve", "-p", sim.port, "--channels",
                                   str(CHANNELS), *faces], env=env, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        assert server.stderr is not None
        log: list[str] = []
        for line in server.stderr:
            log.append(line)
            if "serving " in line:
                break
        found = re.search(r"SCPI on 127\.0\.0\.1:(\d+)", "".join(log))
        if not found:
            print("".join(log))
            return 1
        threading.Thread(target=lambda: log.extend(server.stderr or []), daemon=True).start()
        port = int(found.group(1))
        began = time.monotonic()
        stop = threading.Event()

        def sample() -> None:
            while not stop.wait(10):
                rss = rss_kib(server.pid)
                if rss is not None:
                    samples.append((time.monotonic() - began, rss))

        threading.Thread(target=sample, daemon=True).start()
        rounds = 0
        first_round_end = 0.0
        print(f"soak: {CLIENTS} clients, {COMMANDS} commands a round, {options.minutes:g} min, "
              f"{'SCPI and EPICS' if epics else 'SCPI'}; server pid {server.pid}", flush=True)
        while time.monotonic() - began < options.minutes * 60:
            took = one_round(port, sim, problems)
            rounds += 1
            first_round_end = first_round_end or time.monotonic() - began
            print(f"soak: round {rounds}: {took:.1f} s, resident {rss_kib(server.pid)} KiB, "
                  f"{len(problems)} problems", flush=True)
            if problems:
                break
        stop.set()
        server.send_signal(signal.SIGTERM)
        status = server.wait(30)
    for problem in problems[:20]:
        print(f"soak: {problem}")
    settled = [rss for at, rss in samples if at > first_round_end]
    third = max(len(settled) // 3, 1)
    early, late = statistics.median(settled[:third] or [0]), statistics.median(settled[-third:] or [0])
    print(f"soak: {rounds} rounds, {rounds * COMMANDS} commands; server exit status {status}; resident memory "
          f"(KiB, every 10 s after the first round): first third {early:.0f}, last third {late:.0f}, "
          f"lowest {min(settled, default=0)}, highest {max(settled, default=0)}")
    grew = late - early > GROWTH_LIMIT_KIB
    if grew:
        print(f"soak: the server's memory grew by {late - early:.0f} KiB")
    return 1 if problems or grew or status != 0 else 0


if __name__ == "__main__":
    sys.exit(main())
