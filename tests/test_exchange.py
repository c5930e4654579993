"""The request-reply sequence: write, one fixed pause, one read of what has arrived, framing test."""

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
