"""Benchmarks of tolvan, each printed as ratios of two things measured side by side in one run.

    python bench/run.py [--quick] [--only overhead,e2e,import]

1. Overhead per command, everything but the pause: the native driver and the
   plain-Python driver of bench/baseline.py on the same in-memory port (its
   methods are builtins) with a pause that returns at once. Ratio native/plain;
   target 0.2 or less.
2. End to end against the simulator tolvan-sim on a pseudo-terminal: the time
   of each command as a ratio to its pauses (0.2 s, twice for
   set_optical_length, which reads the list first). Target 1.02 or less.
3. `import tolvan` in a fresh interpreter as a ratio to importing pyserial,
   platform and subprocess alone (which tolvan imports too). Target 1.1 or less.
"""

import argparse
import itertools
import os
import platform
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
import timeit
import types
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import baseline  # noqa: E402
import tolvan  # noqa: E402

PAUSE = 0.2
OVERHEAD_TARGET = 0.2
E2E_TARGET = 1.02
IMPORT_TARGET = 1.1

VERSION_REPLY = bytes.fromhex("7B 01 08 00 03 02 32 20 00 7D")
LIST_REPLY = bytes.fromhex("7B 01 0B 07 2E 03 1E 05 D2 05 FF 05 00 7D")
SELECT_REPLY = bytes.fromhex("7B 01 06 14 3A 01 00 7D")
STATUS_REPLY = bytes.fromhex("7B 01 0A 14 36 00 00 01 6E 00 00 7D")
ACTION_REPLY = bytes.fromhex("7B 01 07 14 3C 6E 00 BF 7D")

# command, arguments, replies in the order the command reads them
COMMANDS = [
    ("read_device_version", (), [VERSION_REPLY]),
    ("read_optical_length", (2,), [LIST_REPLY]),
    ("set_optical_length", (1490, 2), [LIST_REPLY, SELECT_REPLY]),
    ("read_current_status", (2,), [STATUS_REPLY]),
    ("close_full_screen", (), [ACTION_REPLY]),
    ("set_attenuation", (1100, 2), [ACTION_REPLY]),
    ("clear_attenuation", (2,), [ACTION_REPLY]),
    ("dis_connection", (2,), [ACTION_REPLY]),
]


def verdict(ratio, target):
    return "ok" if ratio <= target else "MISSED"


# -- the yardstick ---------------------------------------------------------------------------

class RecordingPort:
    """Answers each write with the next scripted reply; keeps what was written."""

    def __init__(self, *replies):
        self.replies, self.waiting, self.written = list(replies), b"", []

    def write(self, data):
        self.written.append(bytes(data))
        self.waiting += self.replies.pop(0) if self.replies else b""

    def inWaiting(self):
        return len(self.waiting)

    def read(self, size):
        data, self.waiting = self.waiting[:size], self.waiting[size:]
        return data


def outcome(call, *args):
    try:
        return "result", call(*args)
    except Exception as error:  # the comparison is of exceptions too
        return type(error).__name__, str(error)


def check_baseline(rounds):
    """The plain driver must do what the module does: same frames, same results, same errors."""
    import random

    generator = random.Random(2024)
    instant = types.SimpleNamespace(sleep=abs)
    tolvan.time = baseline.time = instant

    def reply():
        body = bytes(generator.randrange(256) for _ in range(generator.randrange(20)))
        if generator.random() < 0.1:
            return body
        count = generator.randrange(5)
        pairs = bytes(generator.randrange(256) for _ in range(2 * count + generator.randrange(-2, 3)))
        return bytes([0x7B, 1, 2, 3, 4, count]) + pairs + bytes([0x7D]) if generator.random() < 0.5 else \
            b"\x7b" + body + b"\x7d"

    for _ in range(rounds):
        name, args, _ = generator.choice(COMMANDS)
        if name == "set_optical_length":
            args = (generator.choice([1310, 1490, 1535, generator.randrange(65536)]), generator.randrange(1, 9))
        replies = (reply(), reply())
        seen = []
        for driver in (tolvan.TOLVAN("/dev/ttyUSB0"), baseline.PlainTOLVAN("/dev/ttyUSB0")):
            driver.ser = RecordingPort(*replies)
            seen.append((outcome(getattr(driver, name), *args), driver.ser.written))
        if seen[0] != seen[1]:
            raise SystemExit(f"bench/baseline.py differs from the module: {name}{args} on {replies}: {seen}")
    print(f"bench/baseline.py agrees with the module on {rounds:,} random exchanges\n")


# -- 1. overhead ---------------------------------------------------------------------------

def builtin_port(replies):
    """A port whose write, inWaiting and read are builtins answering with `replies` in turn."""
    sizes = [len(reply) for reply in replies]
    assert len(set(sizes)) == len(sizes)
    return types.SimpleNamespace(
        write=len,
        inWaiting=itertools.cycle(sizes).__next__ if len(sizes) > 1 else replies[0].__len__,
        read={len(reply): reply for reply in replies}.get,
    )


def per_call(call, args, number, repeat):
    timer = timeit.Timer("call(" + ", ".join(f"a{i}" for i in range(len(args))) + ")",
                         globals={"call": call, **{f"a{i}": arg for i, arg in enumerate(args)}})
    return [seconds / number for seconds in timer.repeat(repeat=repeat, number=number)]


def overhead(quick):
    instant = types.SimpleNamespace(sleep=abs)  # a builtin: takes the 0.2, returns at once
    tolvan.time = instant
    baseline.time = instant
    number, repeat = (20_000, 5) if quick else (100_000, 9)
    print(f"1. Overhead per command: in-memory port of builtins, instant pause "
          f"(best of {repeat} x {number:,} calls; target native/plain <= {OVERHEAD_TARGET})")
    print(f"   {'command':<22}{'native us':>10}{'plain us':>10}{'native/plain':>14}")
    ratios = {}
    for name, args, replies in COMMANDS:
        native = tolvan.TOLVAN("/dev/ttyUSB0")
        plain = baseline.PlainTOLVAN("/dev/ttyUSB0")
        native.ser, plain.ser = builtin_port(replies), builtin_port(replies)
        native_call, plain_call = getattr(native, name), getattr(plain, name)
        result = native_call(*args)
        assert result == plain_call(*args) and result not in (None, False), name  # the success path
        native_times, plain_times = [], []
        for _ in range(repeat):  # interleaved, so that both see the same machine
            native_times += per_call(native_call, args, number, 1)
            plain_times += per_call(plain_call, args, number, 1)
        best_native, best_plain = min(native_times), min(plain_times)
        ratio = best_native / best_plain
        ratios[name] = ratio
        print(f"   {name:<22}{best_native * 1e6:>10.3f}{best_plain * 1e6:>10.3f}{ratio:>14.2f}  "
              f"{verdict(ratio, OVERHEAD_TARGET)}")
    return ratios


# -- 2. end to end ---------------------------------------------------------------------------

def find_simulator():
    for folder in (Path(sys.executable).parent, Path(sysconfig.get_path("scripts"))):
        candidate = folder / "tolvan-sim"
        if candidate.is_file() and os.access(candidate, os.X_OK):
            return str(candidate)
    return shutil.which("tolvan-sim")


def end_to_end(quick):
    import select

    tolvan.time = time  # the real 0.2 s pause
    simulator = find_simulator()
    rounds = 3 if quick else 10
    print(f"2. End to end against tolvan-sim: time per command / its pauses "
          f"(median of {rounds}; target <= {E2E_TARGET})")
    if simulator is None or sys.platform == "win32":
        print("   skipped: tolvan-sim not found (pip install . puts it beside the interpreter)")
        return {}
    process = subprocess.Popen([simulator], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    ratios = {}
    try:
        ready, _, _ = select.select([process.stdout], [], [], 10)
        port = process.stdout.readline().strip() if ready else ""
        if not port.startswith("/"):
            raise RuntimeError(f"tolvan-sim reported no port: {port!r}")
        tl = tolvan.TOLVAN(port)
        if not tl.open():
            raise RuntimeError(f"could not open {port}")
        try:
            print(f"   {'command':<22}{'pauses':>7}{'median ms':>11}{'ratio':>8}")
            lengths = tl.read_optical_length(1)
            for name, args, replies in COMMANDS:
                if name == "set_optical_length":
                    args = (lengths[1], 1)
                call = getattr(tl, name)
                assert call(*args) not in (None, False), name
                took = []
                for _ in range(rounds):
                    began = time.perf_counter()
                    call(*args)
                    took.append(time.perf_counter() - began)
                pauses = len(replies)
                ratio = statistics.median(took) / (PAUSE * pauses)
                ratios[name] = ratio
                print(f"   {name:<22}{pauses:>7}{statistics.median(took) * 1e3:>11.2f}{ratio:>8.4f}  "
                      f"{verdict(ratio, E2E_TARGET)}")
        finally:
            tl.close()
    finally:
        process.terminate()
        process.wait(timeout=10)
    return ratios


# -- 3. import time --------------------------------------------------------------------------

def import_seconds(statement, cwd):
    code = f"import time as _t\n_s = _t.perf_counter()\n{statement}\nprint(_t.perf_counter() - _s)"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=cwd, check=True)
    return float(done.stdout)


def import_time(quick):
    rounds = 15 if quick else 60
    print(f"3. Import time in a fresh interpreter (median of {rounds} pairs; target <= {IMPORT_TARGET})")
    with tempfile.TemporaryDirectory() as cwd:
        module, alone = [], []
        for _ in range(rounds):  # interleaved
            module.append(import_seconds("import tolvan", cwd))
            alone.append(import_seconds("import serial, platform, subprocess", cwd))
    # Each round's pair taken together, so that a busy moment weighs on both sides alike.
    ratio = statistics.median(m / a for m, a in zip(module, alone))
    print(f"   import tolvan {statistics.median(module) * 1e3:.2f} ms; "
          f"import serial, platform, subprocess {statistics.median(alone) * 1e3:.2f} ms; "
          f"ratio {ratio:.3f}  {verdict(ratio, IMPORT_TARGET)}")
    return ratio


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds: a rough figure in seconds")
    parser.add_argument("--only", default="overhead,e2e,import", help="comma-separated parts to run")
    options = parser.parse_args()
    parts = set(options.only.split(","))
    print(f"tolvan {getattr(tolvan, '__file__', '')}\nPython {platform.python_version()} on "
          f"{platform.system()} {platform.machine()}, {os.cpu_count()} cores\n")
    check_baseline(300 if options.quick else 3000)
    if "overhead" in parts:
        overhead(options.quick)
        print()
    if "e2e" in parts:
        end_to_end(options.quick)
        print()
    if "import" in parts:
        import_time(options.quick)


if __name__ == "__main__":
    main()
