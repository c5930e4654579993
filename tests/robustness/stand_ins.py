"""In-memory stand-ins for the robustness checks, and the knobs that size them.

The ports here are cheap on purpose: most of their methods are builtins bound
to fixed data, so that a loop of 20,000 commands measures the driver and not
the stand-in, and so that a stand-in keeps no state that could grow.
"""

import os
import types

import serial

import tolvan
# The suite's in-memory port: each write is answered by the next scripted reply.
from conftest import FakePort as ScriptedPort

# How many calls a leak check makes per method and path, and how long the
# thread check runs. Sanitizer and valgrind runs make them smaller; the
# default is what the test command runs.
CALLS = int(os.environ.get("TOLVAN_ROBUSTNESS_CALLS", "20000"))
THREAD_SECONDS = float(os.environ.get("TOLVAN_ROBUSTNESS_SECONDS", "3"))
FUZZ_EXAMPLES = int(os.environ.get("TOLVAN_FUZZ_EXAMPLES", "120"))

# Replies as the instrument sends them.
VERSION_REPLY = bytes.fromhex("7B 01 08 00 03 02 32 20 00 7D")
LIST_REPLY = bytes.fromhex("7B 01 0B 07 2E 03 1E 05 D2 05 FF 05 00 7D")  # [1310, 1490, 1535]
SELECT_REPLY = bytes.fromhex("7B 01 06 14 3A 01 00 7D")
STATUS_REPLY = bytes.fromhex("7B 01 0A 14 36 00 00 01 6E 00 00 7D")  # mode 0, position 1, 1100 mdB
ACTION_REPLY = bytes.fromhex("7B 01 07 14 3C 6E 00 BF 7D")
WAVELENGTHS = [1310, 1490, 1535]


TEMPLATE_NAMES = [name for name in vars(tolvan.TOLVAN) if name.startswith("_TOLVAN__CMD_")]


class PortFault(serial.SerialException):
    """What a port raises when the device goes away mid-command."""


def _fault(*_args):
    raise PortFault("device gone")


def port(reply=None, *, write=bytes, read_fault=False):
    """A port that answers every command with `reply` (None: silence).

    Its write converts the frame as pyserial does (an element outside 0..255
    raises ValueError); `write=_fault` makes it raise instead. With
    read_fault, the reply is announced but reading it raises.
    """
    if reply is None:
        return types.SimpleNamespace(write=write, inWaiting=int, read=_fault, close=int)
    return types.SimpleNamespace(
        write=write,
        inWaiting=reply.__len__,
        read=_fault if read_fault else {len(reply): reply}.get,
        close=int,
    )


def two_reply_port(first, second, *, write=bytes):
    """A port whose replies alternate between `first` and `second` (of different lengths)."""
    import itertools

    assert len(first) != len(second)
    return types.SimpleNamespace(
        write=write,
        inWaiting=itertools.cycle([len(first), len(second)]).__next__,
        read={len(first): first, len(second): second}.get,
        close=int,
    )


def write_fault_on(size):
    """A write that sends frames, except a frame of `size` bytes, which fails."""

    def write(data):
        if len(data) == size:
            raise PortFault("device gone")
        return bytes(data)

    return write


# Pauses that return at once (a builtin taking the 0.2), and one that fails.
INSTANT = types.SimpleNamespace(sleep=abs)
FAILING = types.SimpleNamespace(sleep=_fault)


class Sink:
    """A standard output that forgets what it is given."""

    write = staticmethod(len)

    @staticmethod
    def flush():
        pass


class Completed:
    """What subprocess.run returns, with lsof's standard output."""

    def __init__(self, stdout):
        self.stdout = stdout


def fake_subprocess(stdout=b"", *, fault=None):
    """A subprocess module whose run answers like lsof (or raises a new `fault()`)."""
    done = Completed(stdout)

    def run(args, stdout=None, stderr=None):
        if fault is not None:
            raise fault()
        return done

    return types.SimpleNamespace(run=run, PIPE=-1)


def fake_platform(name):
    return types.SimpleNamespace(system=name.__str__)


class FakeSerialPort:
    """What serial.Serial returns: closes without touching anything."""

    def __init__(self, *args, **kwargs):
        pass

    close = int


def fake_serial(opener=FakeSerialPort):
    return types.SimpleNamespace(Serial=opener, SerialException=serial.SerialException)


def refusing_opener(*args, **kwargs):
    raise serial.SerialException(f"could not open port {args[0]}")


def broken_opener(*args, **kwargs):
    raise ValueError("bad settings")


def set_globals(monkeypatch, **names):
    """Rebinds module globals of tolvan (time, serial, platform, subprocess) for one test."""
    for name, value in names.items():
        monkeypatch.setattr(tolvan, name, value)
