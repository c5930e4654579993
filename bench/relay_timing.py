"""How faithfully tolvan-sim keeps a device's timing when it relays it and when it replays the recording.

    python bench/relay_timing.py [--rounds N]

A simulator with a 40 ms delay and a 30 ms split stands in for the device; a second relays to it and
records; a third replays that recording. For every piece of every reply, side by side in one run:
the time the relay logged it as a ratio to the time the device logged it (what relaying adds), and
the time the replay sent it as a ratio to the recorded time (what replaying adds). 1.00 is exact;
the tests assert only what holds on a loaded machine (never early, never a second late).
"""

import argparse
import statistics
import tempfile
from pathlib import Path

from tolvan import TOLVAN
from tolvan_sim import SimulatedInstrument


def piece_times(log: Path) -> list[float]:
    """The ms after its request of every piece sent, in the order of the log."""
    times = []
    for line in log.read_text().splitlines():
        if line.startswith("#"):
            continue
        words = line.split(" # ")[0].split()[1:]  # without the session name
        if words and words[0] == "tx":
            times.append(float(words[-1].removeprefix("+")))
    return times


def session(port: str, rounds: int) -> None:
    tl = TOLVAN(port)
    assert tl.open() is True
    try:
        for _ in range(rounds):
            assert tl.read_current_status(1) is not None
    finally:
        tl.close()


def ratios(measured: list[float], reference: list[float]) -> str:
    pairs = [now / then for now, then in zip(measured, reference)]
    return f"median {statistics.median(pairs):.3f}, worst {max(pairs):.3f} (of {len(pairs)} pieces)"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=20, help="status requests in the recorded session")
    rounds = parser.parse_args().rounds
    with tempfile.TemporaryDirectory() as folder:
        logs = Path(folder)
        with SimulatedInstrument("--delay", "40", "--split", "30", log=logs / "device.log") as device:
            with SimulatedInstrument("--relay", device.port, log=logs / "session.log") as relay:
                session(relay.port, rounds)
        with SimulatedInstrument("--replay", logs / "session.log", log=logs / "replay.log") as replay:
            session(replay.port, rounds)
        device_times, recorded, replayed = (piece_times(logs / f"{name}.log")
                                            for name in ("device", "session", "replay"))
    print(f"relayed / device time:    {ratios(recorded, device_times)}")
    print(f"replayed / recorded time: {ratios(replayed, recorded)}")


if __name__ == "__main__":
    main()
