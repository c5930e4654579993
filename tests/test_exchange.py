"""The request-reply sequence: write, one fixed pause, one read of what has arrived, framing test."""

import subprocess
import sys

import pytest

import tolvan
from conftest import FakePort, frame
from tolvan import TOLVAN


def test_read_takes_exactly_what_is_waiting(driver):
    assert driver._TOLVAN__read() is None
    driver.ser.buffer += bytes(range(10))
    reads = []
    original = driver.ser.read
    driver.ser.read = lambda size: reads.append(size) or original(size)
    assert driver._TOLVAN__read() == bytes(range(10))
    assert reads == [10]


def test_read_does_not_call_read_when_nothing_waits(driver):
    driver.ser.read = lambda size: pytest.fail("read called with nothing waiting")
    assert driver._TOLVAN__read() is None


def test_write_and_read_touches_nothing():
    tl = TOLVAN("COM3")                  # no port at all
    assert tl._TOLVAN__write_and_read(b"") is None
    assert tl._TOLVAN__write_and_read(cmd=b"\x7b\x7d") is None


def test_each_command_writes_the_template_itself_then_pauses_once(driver, pauses):
    written = []
    driver.ser.write = written.append
    driver.close_full_screen()
    assert written == [TOLVAN._TOLVAN__CMD_CLOSE_FULLSCREEN]
    assert written[0] is TOLVAN._TOLVAN__CMD_CLOSE_FULLSCREEN   # the list object, not a copy
    assert pauses == [0.2] and type(pauses[0]) is float


def test_pause_is_looked_up_in_the_module_at_every_call(driver, monkeypatch):
    calls = []

    class Clock:
        @staticmethod
        def sleep(seconds):
            calls.append(seconds)

    monkeypatch.setattr(tolvan, "time", Clock)
    driver.close_full_screen()
    assert calls == [0.2]


@pytest.mark.parametrize(
    "reply, framed",
    [
        (None, False),
        (frame("7B"), False),
        (frame("7D"), False),
        (frame("7B 7D"), True),
        (frame("7B 00 00 7D"), True),
        (frame("7B 01 02 03 04 05 FF 7D"), True),   # checksum never examined
        (frame("00 7B 7D"), False),
        (frame("7B 7D 00"), False),
    ],
)
def test_framing_test_decides_action_results(driver, reply, framed):
    driver.ser.replies = [reply]
    assert driver.close_full_screen() is framed


def test_leftover_bytes_come_first_in_the_next_read(driver):
    driver.ser.buffer += frame("7D")
    driver.ser.replies = [frame("7B 01 05 00 05 7A 7D")]
    assert driver.close_full_screen() is False          # read starts with the stray 7D
    driver.ser.buffer += frame("7B 01 05 00 05 7A 7D")  # a whole late reply
    driver.ser.replies = [frame("7B 01 05 00 05 7A 7D")]
    assert driver.close_full_screen() is True
    assert driver.ser.buffer == b""


def test_port_errors_reach_the_caller_unchanged(driver):
    class Broken(FakePort):
        def inWaiting(self):
            raise OSError("device gone")

    driver.ser = Broken()
    with pytest.raises(OSError, match="device gone"):
        driver.dis_connection(2)
    assert TOLVAN._TOLVAN__CMD_DIS_CONNECT == [123, 2, 7, 20, 52, 255, 255, 54, 125]


def test_pause_errors_reach_the_caller(driver, monkeypatch):
    class Interrupting:
        @staticmethod
        def sleep(seconds):
            raise KeyboardInterrupt

    monkeypatch.setattr(tolvan, "time", Interrupting)
    with pytest.raises(KeyboardInterrupt):
        driver.read_current_status()
    monkeypatch.delattr(tolvan, "time")
    with pytest.raises(NameError, match="name 'time' is not defined"):
        driver.read_current_status()


def test_read_asks_the_port_it_holds_after_counting(driver):
    """inWaiting() may replace the port (a reconnect): the bytes are read from the new one."""
    replacement = FakePort()
    replacement.buffer += frame("7B 7D")
    driver.ser.buffer += frame("7B 00 7D")
    driver.ser.inWaiting = lambda: setattr(driver, "ser", replacement) or 3
    assert driver._TOLVAN__read() == frame("7B 7D")


@pytest.mark.parametrize("name", ["read_device_version", "close_full_screen"])
def test_the_port_is_looked_up_before_the_template_written_to_it(name):
    """As self.ser.write(self.__CMD_...) evaluates: with neither there, the error names ser."""
    looked_up = []

    class Unopened(TOLVAN):
        def __getattribute__(self, attribute):
            looked_up.append(attribute)
            raise AttributeError(attribute)

    with pytest.raises(AttributeError, match="^ser$"):
        getattr(TOLVAN, name)(Unopened("COM3"))
    assert looked_up == ["ser"]


REENTERING_PORT = """
import sys, types, tolvan
sys.path.insert(0, "robustness")
import python_rules
tolvan.time = python_rules.time = types.SimpleNamespace(sleep=abs)
sys.setrecursionlimit({limit})
for name, args in {commands!r}:
    depths = []
    for driver_class in (tolvan.TOLVAN, python_rules.TOLVAN):
        tl, entered = driver_class("/dev/ttyUSB0"), []
        tl.ser = types.SimpleNamespace(write=lambda frame: entered.append(1) or getattr(tl, name)(*args), inWaiting=int)
        try:
            getattr(tl, name)(*args)
        except RecursionError:
            depths.append(len(entered))
    print(name, *depths, flush=True)
"""
COMMANDS = [("read_device_version", ()), ("read_optical_length", ()), ("set_optical_length", (1490,)),
            ("read_current_status", ()), ("close_full_screen", ()), ("set_attenuation", (1100,)),
            ("clear_attenuation", ()), ("dis_connection", ())]


@pytest.mark.spawns
@pytest.mark.parametrize("limit", [1000, 5000, 10000])
def test_a_port_that_reenters_its_command_ends_in_recursion_error(limit):
    """Each re-entry uses up as much of the recursion limit as in the same command written in Python
    (one level more at most, for the first call), so that the C stack is never what runs out.
    (From 3.12 on, C calls count against a limit of their own, and only the error is compared.)"""
    code = REENTERING_PORT.format(limit=limit, commands=COMMANDS)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stderr) == (0, "")
    depths = {name: [int(depth) for depth in depths] for name, *depths in map(str.split, done.stdout.splitlines())}
    assert list(depths) == [name for name, _ in COMMANDS]
    for name, (module_depth, python_depth) in depths.items():
        assert module_depth > 0, name
        if sys.version_info < (3, 12):
            assert module_depth <= python_depth + 1, name
