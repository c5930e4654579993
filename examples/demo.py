"""A tour of the tolvan driver: the basic usage, then every device command.

    python examples/demo.py [PORT] [--channels N]

With PORT (such as /dev/ttyUSB0 or COM3) the tour runs against the instrument
there. Without it, it starts the simulated instrument `tolvan-sim` (installed
with the package on Linux and macOS) on a pseudo-terminal, runs against that,
and stops it at the end. The tour reads the version and each channel's
wavelengths, selects the longest wavelength of each channel, sets an
attenuation and reads it back, clears it, and prints one table.
"""

import argparse
import contextlib
import sys

from simulator import running_simulator
from tolvan import TOLVAN

# For the simulator this demo starts: channel 2 offers other wavelengths than
# the rest, so that the table shows lists that differ per channel.
SIMULATOR_OPTIONS = ["--wavelengths", "2=1310,1490,1535"]


def db(mdb):
    return "no reply" if mdb is None else f"{mdb / 1000:.2f}"


def basic_usage(tl):
    """The module's own usage example, step by step."""
    print("\nBasic usage (as in help(tolvan)):")
    dev_ver = tl.read_device_version()
    print(f"  tl.read_device_version()  -> {dev_ver}")
    print(f"  tl.set_attenuation(1100, 1) -> {tl.set_attenuation(1100, 1)}   # channel 1 to 1.1 dB")
    return dev_ver is not None


def tour_channel(tl, ch):
    """Runs every channel command on one channel; returns the table row."""
    row = {"ch": str(ch)}
    wavelengths = tl.read_optical_length(ch)
    row["wavelengths (nm)"] = "no reply" if wavelengths is None else ",".join(map(str, wavelengths)) or "none"

    if wavelengths:
        chosen = max(wavelengths)
        selected = tl.set_optical_length(chosen, ch)
        status = tl.read_current_status(ch)
        position = None if status is None else status["optical_length_index"]
        shown = wavelengths[position] if position is not None and position < len(wavelengths) else "?"
        row["selected"] = f"{chosen} {'ok' if selected else 'failed'} (reads {shown})"
    else:
        row["selected"] = "-"

    wanted = 1250 * ch  # 1.25 dB per channel number
    row["set (dB)"] = f"{db(wanted)} {'ok' if tl.set_attenuation(wanted, ch) else 'failed'}"
    status = tl.read_current_status(ch)
    row["reads (dB)"] = db(None if status is None else status["attenuation"])

    cleared = tl.clear_attenuation(ch)
    status = tl.read_current_status(ch)
    row["after clear (dB)"] = f"{db(None if status is None else status['attenuation'])}" + ("" if cleared else " (failed)")
    return row


def print_table(rows):
    columns = list(rows[0])
    widths = [max(len(column), *(len(row[column]) for row in rows)) for column in columns]
    lines = [columns, ["-" * width for width in widths], *([row[column] for column in columns] for row in rows)]
    for cells in lines:
        print(("  " + "  ".join(cell.ljust(width) for cell, width in zip(cells, widths))).rstrip())


def tour(port, channels):
    tl = TOLVAN(port)
    if not tl.open():
        print(f"demo: cannot open {port}")
        return 1
    try:
        if not basic_usage(tl):
            print(f"demo: no reply from the instrument on {port}")
            return 1
        print(f"\nChannels 1 to {channels} (each command waits 0.2 s for its reply):")
        print_table([tour_channel(tl, ch) for ch in range(1, channels + 1)])
        print(f"\nclose_full_screen() -> {tl.close_full_screen()}")
        print(f"dis_connection(1)   -> {tl.dis_connection(1)}   # a disconnected channel blocks the light:")
        status = tl.read_current_status(1)
        print(f"read_current_status(1) -> {status}")
        print(f"clear_attenuation(1) -> {tl.clear_attenuation(1)}   # connected again at 0 dB")
    finally:
        tl.close()
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(description="Tour of the tolvan driver, on a port or on the simulator.")
    parser.add_argument("port", nargs="?", help="serial port of the instrument (default: start tolvan-sim)")
    parser.add_argument("--channels", type=int, default=4, help="channels to visit (default 4)")
    args = parser.parse_args(argv)
    if args.channels < 1:
        parser.error("--channels must be at least 1")

    with contextlib.ExitStack() as stack:
        port = args.port or stack.enter_context(
            running_simulator(SIMULATOR_OPTIONS, "demo", "a PORT, such as COM3"))
        return tour(port, args.channels)


if __name__ == "__main__":
    sys.exit(main())
