"""Every method, on its success path and each failure path, called many times: nothing grows.

Each case first makes one call and checks that it takes the intended path
(result or exception), then runs a warm-up, measures, runs the full count and
measures again. Live objects (gc), pymalloc blocks and resident memory must
stay within a small bound, and the reference counts of everything the calls
were given must come back to where they were.
"""

import gc
import os
import subprocess
import sys
import types

import pytest

import stand_ins as si
import tolvan
from tolvan import TOLVAN

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")

# A leak of one object per call over the full count is far above these; what
# stays below them is the noise of caches and freelists settling.
MAX_OBJECT_GROWTH = 20
MAX_BLOCK_GROWTH = 200
# Resident memory: the allocator taking one more arena (1 MiB) while the calls run is it settling,
# not a leak, whose growth comes with every call (100 bytes a call over the default count).
MAX_RSS_GROWTH = 2 << 20
# A debug interpreter counts every reference held: the total comes back to where it was.
MAX_REFERENCE_GROWTH = 20
# Under a sanitizer or valgrind freed memory is held back on purpose; their own leak checks stand in.
CHECK_RESIDENT = os.environ.get("TOLVAN_ROBUSTNESS_RSS", "on") != "off"

PAGE = os.sysconf("SC_PAGE_SIZE")
CALLS_FLOOR = 100
WARM_UP = 10_000
TEMPLATES = [value for name, value in vars(TOLVAN).items() if name.startswith("_TOLVAN__CMD_")]

# Ints above the small-int cache, so that a lost or extra reference shows in getrefcount.
BIG_ATTENUATION = 123_450
UNSUPPORTED = 1_550_000
OUT_OF_RANGE = 655_360 * 10  # high byte 2560: pyserial refuses the frame


def shared_singleton(obj):
    """None, bools and cached small ints: their counts move with everything else."""
    return obj is None or isinstance(obj, bool) or (type(obj) is int and -5 <= obj <= 256)


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def footprint():
    gc.collect()
    total_references = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else 0
    return len(gc.get_objects()), sys.getallocatedblocks(), resident_bytes(), total_references


def driver(ser=None):
    tl = TOLVAN("/dev/ttyUSB0")
    if ser is not None:
        tl.ser = ser
    return tl


def repeat(call, outcome, times):
    """Runs call() `times` times; each must give `outcome` (a value, or an exception class)."""
    if isinstance(outcome, type) and issubclass(outcome, BaseException):
        for _ in range(times):
            try:
                call()
            except outcome:
                pass
            else:
                raise AssertionError(f"expected {outcome.__name__}")
    else:
        for _ in range(times):
            if call() != outcome:
                raise AssertionError(f"expected {outcome!r}")


# Each case: (setup, outcome, message). setup(monkeypatch) rebinds what the
# path needs and returns (call, held): the call to repeat and the objects
# whose reference counts must not move. message: a fragment of the exception
# text that proves the path, or None.
CASES = {}


def case(name, outcome, message=None):
    def register(setup):
        CASES[name] = (setup, outcome, message)
        return setup

    return register


# -- the constructor, the checksum pair and the private exchange methods ------------------

@case("__init__ ok", "/dev/ttyUSB0-long")
def _(monkeypatch):
    name = "/dev/ttyUSB0" + "-long"
    return (lambda: TOLVAN(name).port), [name]


@case("__init__ wrong type", TypeError, "Argument 'serial_port'")
def _(monkeypatch):
    name = b"/dev/ttyUSB0"
    return (lambda: TOLVAN(name)), [name]


def checksum_case(label, method, data, outcome, message=None):
    @case(f"__{method} {label}", outcome, message)
    def _(monkeypatch):
        tl = driver()
        bound = getattr(tl, f"_TOLVAN__{method}")
        return (lambda: bound(data)), [tl, data]


for _method, _ok in [("cal_crc", None), ("check_crc", True)]:
    checksum_case("ok", _method, [123, 1, 5, 0, 3, 124, 125], _ok)
    # Elements beyond a machine word take Python's arithmetic; the stored checksum is stale.
    checksum_case("big ints", _method, [10**30, -(10**25), 7, 125], None if _ok is None else False)
    checksum_case("wrong type", _method, (123, 1, 125), TypeError, "Argument 'data'")
    checksum_case("too short", _method, [123], IndexError)
    checksum_case("element not a number", _method, [123, "1", 5, 125], TypeError, "unsupported operand")


@case("__read bytes waiting", si.STATUS_REPLY)
def _(monkeypatch):
    tl = driver(si.port(si.STATUS_REPLY))
    return tl._TOLVAN__read, [tl, tl.ser, si.STATUS_REPLY]


@case("__read nothing waiting", None)
def _(monkeypatch):
    tl = driver(si.port(None))
    return tl._TOLVAN__read, [tl, tl.ser]


@case("__read read fails", si.PortFault)
def _(monkeypatch):
    tl = driver(si.port(si.STATUS_REPLY, read_fault=True))
    return tl._TOLVAN__read, [tl, tl.ser]


@case("__read never opened", AttributeError, "ser")
def _(monkeypatch):
    tl = driver()
    return tl._TOLVAN__read, [tl]


@case("__write_and_read ok", None)
def _(monkeypatch):
    tl, cmd = driver(), b"\x7b\x7d"
    return (lambda: tl._TOLVAN__write_and_read(cmd)), [tl, cmd]


@case("__write_and_read wrong type", TypeError, "Argument 'cmd'")
def _(monkeypatch):
    tl, cmd = driver(), bytearray(b"\x7b\x7d")
    return (lambda: tl._TOLVAN__write_and_read(cmd)), [tl, cmd]


# -- device commands: success, argument error, failed reply, short reply, and a fault -------
# -- raised by write, by read and by the pause ------------------------------------------------

COMMANDS = {
    # name: (arguments, good reply, result, short framed reply, failure result)
    "read_device_version": ((), si.VERSION_REPLY, {"module_version": 2, "hard_version": 50, "soft_version": 32},
                            bytes.fromhex("7B 01 08 00 03 02 32 7D"), None),
    "read_optical_length": ((2,), si.LIST_REPLY, si.WAVELENGTHS, bytes.fromhex("7B 01 0B 07 2E 03 1E 05 00 7D"), None),
    "read_current_status": ((2,), si.STATUS_REPLY,
                            {"dev_work_mode": 0, "optical_length_index": 1, "attenuation": 1100},
                            bytes.fromhex("7B 01 0A 14 36 00 00 01 6E 7D"), None),
    "close_full_screen": ((), si.ACTION_REPLY, True, bytes.fromhex("7B"), False),
    "set_attenuation": ((BIG_ATTENUATION, 2), si.ACTION_REPLY, True, bytes.fromhex("7B"), False),
    "clear_attenuation": ((2,), si.ACTION_REPLY, True, bytes.fromhex("7B"), False),
    "dis_connection": ((2,), si.ACTION_REPLY, True, bytes.fromhex("7B"), False),
}

WRONG_ARGUMENTS = {
    "read_device_version": ((1,), "takes exactly 1 positional argument"),
    "close_full_screen": ((1,), "takes exactly 1 positional argument"),
    "read_optical_length": ((True,), "Argument 'ch'"),
    "read_current_status": ((2.0,), "Argument 'ch'"),
    "set_attenuation": ((1100.0, 2), "Argument 'attenuation'"),
    "clear_attenuation": ((None,), "Argument 'ch'"),
    "dis_connection": (("2",), "Argument 'ch'"),
}


def replies_of(ser):
    """The reply objects a stand-in port hands out, to watch their reference counts."""
    table = getattr(ser.read, "__self__", None)
    return list(table.values()) if isinstance(table, dict) else []


def command_case(name, args, make_port, outcome, message=None, pause=si.INSTANT, label=None):
    @case(f"{name} {label}", outcome, message)
    def _(monkeypatch):
        monkeypatch.setattr(tolvan, "time", pause)
        tl = driver(make_port())
        bound = getattr(tl, name)
        return (lambda: bound(*args)), [tl, tl.ser, pause, *replies_of(tl.ser), *args]


for _name, (_args, _good, _result, _short, _failed) in COMMANDS.items():
    command_case(_name, _args, lambda good=_good: si.port(good), _result, label="ok")
    command_case(_name, WRONG_ARGUMENTS[_name][0], lambda good=_good: si.port(good), TypeError,
                 WRONG_ARGUMENTS[_name][1], label="wrong argument")
    command_case(_name, _args, lambda: si.port(None), _failed, label="no reply")
    command_case(_name, _args, lambda: si.port(bytes.fromhex("00 7B 01 7D 00")), _failed, label="unframed reply")
    command_case(_name, _args, lambda short=_short: si.port(short), _failed, label="short reply")
    command_case(_name, _args, lambda good=_good: si.port(good, write=si._fault), si.PortFault, label="write fails")
    command_case(_name, _args, lambda good=_good: si.port(good, read_fault=True), si.PortFault, label="read fails")
    command_case(_name, _args, lambda good=_good: si.port(good), si.PortFault, pause=si.FAILING,
                 label="pause fails")

command_case("set_attenuation", (OUT_OF_RANGE, 2), lambda: si.port(si.ACTION_REPLY), ValueError,
             "range", label="value beyond the frame")
command_case("dis_connection", (300,), lambda: si.port(si.ACTION_REPLY), ValueError, "range",
             label="channel beyond the frame")
command_case("read_optical_length", (2,), lambda: si.port(bytes.fromhex("7B 01 05 07 2E 00 00 7D")), [],
             label="empty list")

# set_optical_length: two exchanges, the list then the selection.
SET_ARGS = (1490, 2)
command_case("set_optical_length", SET_ARGS, lambda: si.two_reply_port(si.LIST_REPLY, si.SELECT_REPLY), True,
             label="ok")
command_case("set_optical_length", (1490.0, 2), lambda: si.port(si.LIST_REPLY), TypeError, "Argument 'length'",
             label="wrong argument")
command_case("set_optical_length", SET_ARGS, lambda: si.port(None), RuntimeError, "device read failed",
             label="no list reply")
command_case("set_optical_length", SET_ARGS, lambda: si.port(COMMANDS["read_optical_length"][3]), RuntimeError,
             "device read failed", label="short list reply")
command_case("set_optical_length", (UNSUPPORTED, 2), lambda: si.port(si.LIST_REPLY), ValueError,
             "no supported yet", label="unsupported wavelength")
command_case("set_optical_length", SET_ARGS, lambda: si.two_reply_port(si.LIST_REPLY, b"\x7b"), False,
             label="failed select reply")
command_case("set_optical_length", SET_ARGS, lambda: si.port(si.LIST_REPLY, write=si._fault), si.PortFault,
             label="list write fails")
command_case("set_optical_length", SET_ARGS,
             lambda: si.port(si.LIST_REPLY, write=si.write_fault_on(8)), si.PortFault,
             label="select write fails")
command_case("set_optical_length", SET_ARGS, lambda: si.port(si.LIST_REPLY, read_fault=True), si.PortFault,
             label="read fails")
command_case("set_optical_length", SET_ARGS, lambda: si.port(si.LIST_REPLY), si.PortFault, pause=si.FAILING,
             label="pause fails")


# -- port handling, through stand-ins for platform, subprocess and serial ---------------------

def port_case(label, method, outcome, message=None, *, system="Linux", lsof=b"", lsof_fault=None,
              opener=si.FakeSerialPort, opened=None):
    @case(f"{method} {label}", outcome, message)
    def _(monkeypatch):
        si.set_globals(monkeypatch, platform=si.fake_platform(system),
                       subprocess=si.fake_subprocess(lsof, fault=lsof_fault), serial=si.fake_serial(opener))
        sink = si.Sink()
        monkeypatch.setattr(sys, "stdout", sink)
        tl = driver(opened)
        bound = getattr(tl, method)
        return bound, [tl, sink]


port_case("lsof: free", "check_port_available", True)
port_case("lsof: held", "check_port_available", False, lsof=b"python 1 root 3u CHR /dev/ttyUSB0\n")
port_case("lsof: missing", "check_port_available", False,
          lsof_fault=lambda: FileNotFoundError(2, "No such file or directory"))
port_case("lsof: interrupted", "check_port_available", KeyboardInterrupt, lsof_fault=KeyboardInterrupt)
port_case("probe: free", "check_port_available", True, system="Windows")
port_case("probe: refused", "check_port_available", False, system="Windows", opener=si.refusing_opener)
port_case("probe: other error", "check_port_available", ValueError, "bad settings", system="Windows",
          opener=si.broken_opener)
port_case("opens", "open", True)
port_case("port taken", "open", False, lsof=b"python 1 root 3u CHR /dev/ttyUSB0\n")
port_case("refused", "open", False, opener=si.refusing_opener)
port_case("other error", "open", False, opener=si.broken_opener)
port_case("interrupted", "open", KeyboardInterrupt, lsof_fault=KeyboardInterrupt)
port_case("ok", "close", None, opened=si.port(None))
port_case("never opened", "close", AttributeError, "ser")
port_case("close fails", "close", si.PortFault, opened=types.SimpleNamespace(close=si._fault))


def first_outcome(call, outcome, message):
    """One call, checked exactly: the path the case claims."""
    if isinstance(outcome, type) and issubclass(outcome, BaseException):
        with pytest.raises(outcome) as raised:
            call()
        if message is not None:
            assert message in str(raised.value)
    else:
        assert call() == outcome


@pytest.mark.parametrize("name", list(CASES))
def test_repeated_calls_leave_nothing_behind(monkeypatch, name):
    setup, outcome, message = CASES[name]
    call, held = setup(monkeypatch)
    first_outcome(call, outcome, message)

    # Long enough for the allocator to settle (resident memory moves in arenas), whatever the count.
    warm_up = max(CALLS_FLOOR, min(si.CALLS, WARM_UP))
    repeat(call, outcome, warm_up)
    held = [obj for obj in held + TEMPLATES if not shared_singleton(obj)]
    objects, blocks, resident, total = footprint()
    references = [sys.getrefcount(obj) for obj in held]
    repeat(call, outcome, si.CALLS)
    objects_after, blocks_after, resident_after, total_after = footprint()

    assert objects_after - objects <= MAX_OBJECT_GROWTH, "live objects grew"
    assert blocks_after - blocks <= MAX_BLOCK_GROWTH, "allocated blocks grew"
    if CHECK_RESIDENT:
        assert resident_after - resident <= MAX_RSS_GROWTH, "resident memory grew"
    assert [sys.getrefcount(obj) for obj in held] == references, "reference counts moved"
    assert total_after - total <= MAX_REFERENCE_GROWTH, "the interpreter's reference total grew"
    first_outcome(call, outcome, message)



def test_every_method_has_a_case():
    covered = {name.split()[0] for name in CASES}
    methods = {name.replace("_TOLVAN", "") for name, value in vars(TOLVAN).items() if callable(value)}
    assert methods <= covered, methods - covered


def test_import_again_after_removal_from_sys_modules_leaves_nothing_behind():
    # `del sys.modules["tolvan"]; import tolvan` gives the same module back each time; the
    # import system re-runs create and exec on it, and that must not cost a block per round.
    code = """
import gc, sys
import tolvan
def rounds(count):
    for _ in range(count):
        del sys.modules["tolvan"]
        import tolvan as again
        assert again is tolvan
rounds(200)
gc.collect()
objects, blocks = len(gc.get_objects()), sys.getallocatedblocks()
rounds(%d)
gc.collect()
print(len(gc.get_objects()) - objects, sys.getallocatedblocks() - blocks)
""" % max(CALLS_FLOOR, si.CALLS // 20)
    # Without setuptools' distutils import hook, which every import passes through and which leaves
    # blocks behind of its own (as many as the bound, in an environment with many packages), and
    # with one hash seed, so that the count measures the module, the same way each run.
    env = {**os.environ, "SETUPTOOLS_USE_DISTUTILS": "stdlib", "PYTHONHASHSEED": "0"}
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300, env=env)
    assert done.returncode == 0, done.stderr
    objects, blocks = map(int, done.stdout.split())
    assert objects <= MAX_OBJECT_GROWTH
    assert blocks <= MAX_BLOCK_GROWTH
