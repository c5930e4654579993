"""The front panel's set beside the same set through SCPI, on one `tolvan serve`, with polls running.

    python bench/panel.py [--rounds N]

`tolvan serve --http --scpi --poll 0.8` keeps the line busy (a status read every 0.2 s on 4
channels) while sets arrive at random moments, in turns: a POST as the page sends it (its
Origin and token), and an INP2:ATT line over a SCPI socket. For each, the time from the
client's send to the set's frame on the wire, read from the server's --trace (time.monotonic(),
the same clock in both processes on Linux and macOS). Target: at most 0.25 s for every panel
set; the ratio of the medians (panel / SCPI) says what the HTTP face adds. Needs aiohttp
(pip install 'tolvan[web]').
"""

from __future__ import annotations

import argparse
import asyncio
import random
import re
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from serve import Client, Served, verdict  # noqa: E402

WRITE_DELAY_TARGET = 0.25


async def sets(panel: str, scpi: Client, rounds: int) -> dict[int, tuple[str, float]]:
    """Sets channel 2 to a distinct value each time, in turns through the panel and SCPI:
    {mdB: (which face, when it was sent)}."""
    import aiohttp

    sent_at: dict[int, tuple[str, float]] = {}
    origin = f"http://{panel}"
    async with aiohttp.ClientSession() as client:
        async with client.ws_connect(f"{origin}/live", origin=origin) as live:
            token = (await live.receive_json())["token"]
        headers = {"Origin": origin, "X-Tolvan-Token": token}
        await asyncio.sleep(1.5)  # the state read after opening is done: only polls now
        shuffle = random.Random(23)
        for step in range(2 * rounds):
            await asyncio.sleep(shuffle.uniform(0.0, 0.3))  # any moment of a poll
            mdb = 1000 + 10 * step
            if step % 2 == 0:
                sent_at[mdb] = ("panel", time.monotonic())
                async with client.post(f"{origin}/channels/2", headers=headers,
                                       json={"action": "attenuation", "value": f"{mdb / 1000:.2f}"}) as response:
                    assert response.status == 200, await response.text()
            else:
                sent_at[mdb] = ("SCPI", time.monotonic())
                assert await asyncio.to_thread(scpi.query, f"INP2:ATT {mdb}MDB;*OPC?") == "1"
    return sent_at


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="\n".join(__doc__.splitlines()[2:]))
    parser.add_argument("--rounds", type=int, default=30, help="sets through each face (default 30)")
    rounds = parser.parse_args().rounds
    try:
        import aiohttp  # noqa: F401
    except ImportError:
        raise SystemExit("bench/panel.py needs aiohttp: pip install 'tolvan[web]'") from None
    from tolvan_sim import SimulatedInstrument
    from tolvan_sim.frames import decode

    print(f"A set with polls running (--poll 0.8: a status read every 0.2 s), panel and SCPI in turns: from the "
          f"client's send to the wire ({rounds} sets each; target <= {WRITE_DELAY_TARGET} s for the panel)")
    with SimulatedInstrument() as sim:
        server = Served("-p", sim.port, "--scpi", "127.0.0.1:0", "--http", "127.0.0.1:0", "--poll", "0.8", "--trace")
        try:
            panel = re.search(r"panel on http://(\S+)/", "\n".join(server.lines)).group(1)  # type: ignore[union-attr]
            sent_at = asyncio.run(sets(panel, Client(server.scpi_port), rounds))
            polls = sum("sent" in line and " 14 36 " in line for line in server.lines)
        finally:
            server.stop()
    on_wire: dict[int, float] = {}
    for line in server.lines:
        found = re.search(r"(\d+\.\d{6}) \S+ sent ([0-9A-F ]+)$", line)
        if found:
            command = decode(bytes.fromhex(found.group(2)), lambda ch: [])
            if command.name == "set_attenuation" and command.value in sent_at:
                on_wire.setdefault(command.value, float(found.group(1)))
    if len(on_wire) != len(sent_at):
        raise SystemExit(f"found {len(on_wire)} of {len(sent_at)} sets in the trace:\n" + "\n".join(server.lines[-20:]))
    delays: dict[str, list[float]] = {"panel": [], "SCPI": []}
    for mdb, (face, sent) in sent_at.items():
        delays[face].append(on_wire[mdb] - sent)
    for face, measured in delays.items():
        print(f"   {face:5}  median {statistics.median(measured) * 1e3:6.1f} ms, slowest {max(measured) * 1e3:6.1f} ms")
    ratio = statistics.median(delays["panel"]) / statistics.median(delays["SCPI"])
    print(f"   {polls} polls meanwhile; panel / SCPI (medians) {ratio:.2f}; slowest panel set "
          f"{max(delays['panel']):.3f} s  {verdict(max(delays['panel']), WRITE_DELAY_TARGET)}")


if __name__ == "__main__":
    main()
