"""The drivers the benchmarks compare, the commands they run, and the in-memory port they run on.

Three drivers: the native module `tolvan`, the Cython build of bench/baseline.py
(bench/cython_build.py) and bench/baseline.py itself as plain Python.
"""

import itertools
import sys
import types
from dataclasses import dataclass
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import baseline  # noqa: E402
import cython_build  # noqa: E402
import tolvan  # noqa: E402

VERSION_REPLY = bytes.fromhex("7B 01 08 00 03 02 32 20 00 7D")
LIST_REPLY = bytes.fromhex("7B 01 0B 07 2E 03 1E 05 D2 05 FF 05 00 7D")
SELECT_REPLY = bytes.fromhex("7B 01 06 14 3A 01 00 7D")
STATUS_REPLY = bytes.fromhex("7B 01 0A 14 36 00 00 01 6E 00 00 7D")
ACTION_REPLY = bytes.fromhex("7B 01 07 14 3C 6E 00 BF 7D")

# command, arguments of a successful call, replies in the order the command reads them (one per pause)
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

# A builtin that takes the 0.2 and returns at once: the pause of the per-command benchmarks.
INSTANT = types.SimpleNamespace(sleep=abs)


@dataclass
class Driver:
    label: str
    module: types.ModuleType
    cls: type

    def on(self, port):
        """A driver instance whose serial port is `port`, as open() would leave it."""
        instance = self.cls("/dev/ttyUSB0")
        instance.ser = port
        return instance


def load(cython_folder=None):
    """The drivers to compare: the module, the Cython build when its folder is given, plain Python."""
    drivers = [Driver("module", tolvan, tolvan.TOLVAN)]
    if cython_folder is not None:
        built = cython_build.load(cython_folder)
        drivers.append(Driver("Cython", built, built.PlainTOLVAN))
    drivers.append(Driver("plain", baseline, baseline.PlainTOLVAN))
    return drivers


def set_pause(drivers, time_module):
    """Point the global `time` of every driver's module at `time_module`."""
    for driver in drivers:
        driver.module.time = time_module


def builtin_port(replies):
    """A port whose write, inWaiting and read are builtins answering with `replies` in turn."""
    sizes = [len(reply) for reply in replies]
    assert len(set(sizes)) == len(sizes)
    return types.SimpleNamespace(
        write=len,
        inWaiting=itertools.cycle(sizes).__next__ if len(sizes) > 1 else replies[0].__len__,
        read={len(reply): reply for reply in replies}.get,
    )
