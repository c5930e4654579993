"""The drivers the benchmarks compare, the commands they run, and the in-memory port they run on.

Three drivers: the native module `tolvan`, the Cython build of bench/baseline.py
(bench/cython_build.py) and bench/baseline.py itself as plain Python.
"""

import importlib.util
import itertools
import types

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


LABELS = ("module", "Cython", "plain")


class Driver:
    def __init__(self, label, module, cls):
        self.label, self.module, self.cls = label, module, cls

    def on(self, port):
        """A driver instance whose serial port is `port`, as open() would leave it."""
        instance = self.cls("/dev/ttyUSB0")
        instance.ser = port
        return instance


def _load_extension(name, path):
    """The extension module at `path`, apart from any module of the same name in sys.modules."""
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def load(cython_extension=None, labels=LABELS):
    """The drivers to compare, in the order of `labels`; the Cython build only when its path is given.

    Each driver's module is imported here, when asked for, so that a process that measures one
    driver has run nothing of the others (see bench/per_call.py).
    """
    drivers = []
    for label in labels:
        if label == "module":
            import tolvan

            drivers.append(Driver(label, tolvan, tolvan.TOLVAN))
        elif label == "Cython" and cython_extension is not None:
            built = _load_extension("baseline", cython_extension)
            drivers.append(Driver(label, built, built.PlainTOLVAN))
        elif label == "plain":
            import baseline

            drivers.append(Driver(label, baseline, baseline.PlainTOLVAN))
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
