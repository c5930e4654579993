"""What tolvan_lab adds per command over the bare driver call, measured side by side in one run.

    python bench/lab_overhead.py [--rounds N] [--sim-rounds N]

1. In memory: the driver on an in-memory port that answers at once, with the pause removed,
   called bare and through the layer's CheckedPort (the reply check, the frame log's level test)
   plus the Attenuator's own work (the process lock, retries bookkeeping, dB). The difference is the
   layer's own cost per command, without the 0.2 s pause and the line hiding it.
2. On the simulator (tolvan-sim on a pseudo-terminal): read_current_status through a bare
   TOLVAN and Channel.status() through an Attenuator, rounds interleaved on two simulators; the
   median of each and their difference. The pause dominates, so this shows the layer costs
   nothing a user can see on the line.

Target: at most 0.5 ms per command (both figures).
"""

import argparse
import statistics
import sys
import time
import types
from time import perf_counter

import tolvan
from tolvan import TOLVAN
from tolvan_lab import Attenuator
from tolvan_lab.checked_port import CheckedPort

TARGET_MS = 0.5


def reply(body_hex):
    body = bytes.fromhex(body_hex)
    return body + bytes([-sum(body) & 0xFF, 0x7D])


STATUS = reply("7B 01 0A 14 36 00 01 00 6E 00")  # channel 1 at 1.10 dB
LIST = reply("7B 01 0C 07 2E 03 1E 05 D2 05 0E 06")  # 1310, 1490, 1550


class Answering:
    """An in-memory port: each request is answered at once with the reply given for its command bytes."""

    def __init__(self):
        self.buffer = bytearray()

    def write(self, data):
        request = bytes(data)
        self.buffer += {b"\x14\x36": STATUS, b"\x07\x2e": LIST}[request[3:5]]
        return len(request)

    @property
    def in_waiting(self):
        return len(self.buffer)

    def inWaiting(self):
        return len(self.buffer)

    def read(self, size):
        data = bytes(self.buffer[:size])
        del self.buffer[:size]
        return data


def in_memory(rounds):
    saved = tolvan.time
    tolvan.time = types.SimpleNamespace(sleep=lambda seconds: None)
    try:
        bare = TOLVAN("bench")
        bare.ser = Answering()
        att = Attenuator("bench")
        att._driver = TOLVAN("bench")  # as open() leaves it, without a port to open
        att._checked = att._driver.ser = CheckedPort(Answering(), "bench", att.reply_timeout)
        channel = att[1]
        channel.status()  # the list, read once
        bare_times, layer_times = [], []
        for _ in range(rounds):  # interleaved, so that both see the same machine
            began = perf_counter()
            for _ in range(100):
                bare.read_current_status(1)
            bare_times.append((perf_counter() - began) / 100)
            began = perf_counter()
            for _ in range(100):
                channel.status()
            layer_times.append((perf_counter() - began) / 100)
    finally:
        tolvan.time = saved
    return statistics.median(bare_times), statistics.median(layer_times)


def on_the_simulator(rounds):
    from tolvan_sim import SimulatedInstrument

    with SimulatedInstrument() as first, SimulatedInstrument() as second:
        bare = TOLVAN(first.port)
        assert bare.open()
        try:
            with Attenuator(second.port) as att:
                channel = att[1]
                channel.status()
                bare_times, layer_times = [], []
                for _ in range(rounds):
                    began = perf_counter()
                    assert bare.read_current_status(1) is not None
                    bare_times.append(perf_counter() - began)
                    began = perf_counter()
                    channel.status()
                    layer_times.append(perf_counter() - began)
        finally:
            bare.close()
    return statistics.median(bare_times), statistics.median(layer_times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=200, help="in-memory rounds of 100 calls (default 200)")
    parser.add_argument("--sim-rounds", type=int, default=25, help="rounds on the simulator (default 25; 0.4 s each)")
    args = parser.parse_args()
    failed = False
    bare, layer = in_memory(args.rounds)
    added = (layer - bare) * 1000
    print(f"in memory:     bare {bare * 1e6:8.1f} us   through tolvan_lab {layer * 1e6:8.1f} us   "
          f"added {added * 1000:7.1f} us per command")
    failed |= added > TARGET_MS
    if args.sim_rounds:
        bare, layer = on_the_simulator(args.sim_rounds)
        added = (layer - bare) * 1000
        print(f"on the line:   bare {bare * 1000:8.2f} ms   through tolvan_lab {layer * 1000:8.2f} ms   "
              f"added {added:7.3f} ms per command (ratio {layer / bare:.4f})")
        failed |= added > TARGET_MS
    print(f"target: at most {TARGET_MS} ms added per command: {'MISSED' if failed else 'met'}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
