"""Ctrl-C during the pause: KeyboardInterrupt leaves every command, and the driver works on."""

import signal
import sys
import threading
import time
import types

import pytest

import stand_ins as si
import tolvan
from tolvan import TOLVAN

# Every command with its arguments and the reply that makes it succeed.
COMMANDS = [
    ("read_device_version", (), si.VERSION_REPLY, {"module_version": 2, "hard_version": 50, "soft_version": 32}),
    ("read_optical_length", (2,), si.LIST_REPLY, si.WAVELENGTHS),
    ("read_current_status", (2,), si.STATUS_REPLY,
     {"dev_work_mode": 0, "optical_length_index": 1, "attenuation": 1100}),
    ("close_full_screen", (), si.ACTION_REPLY, True),
    ("set_attenuation", (1100, 2), si.ACTION_REPLY, True),
    ("clear_attenuation", (2,), si.ACTION_REPLY, True),
    ("dis_connection", (2,), si.ACTION_REPLY, True),
    ("set_optical_length", (1490, 2), si.LIST_REPLY + si.SELECT_REPLY, True),
]
IDS = [command[0] for command in COMMANDS]


class Interrupting:
    """A pause that lets `allowed` pauses pass, then raises KeyboardInterrupt as Ctrl-C would."""

    def __init__(self, allowed=0):
        self.allowed = allowed
        self.pauses = 0

    def sleep(self, seconds):
        self.pauses += 1
        if self.pauses > self.allowed:
            raise KeyboardInterrupt


def replies_for(name, reply):
    if name == "set_optical_length":
        return [si.LIST_REPLY, si.SELECT_REPLY]
    return [reply]


def works_normally(tl, name, args, reply, result):
    """The same object on a fresh port, and a second object, give the normal result."""
    for driver in (tl, TOLVAN("/dev/ttyUSB1")):
        driver.ser = si.ScriptedPort(*replies_for(name, reply))
        assert getattr(driver, name)(*args) == result


@pytest.mark.parametrize("name, args, reply, result", COMMANDS, ids=IDS)
def test_interrupt_in_the_pause_leaves_the_command(monkeypatch, name, args, reply, result):
    exchanges = 2 if name == "set_optical_length" else 1
    for allowed in range(exchanges):  # set_optical_length: in its list pause, then in its select pause
        pause = Interrupting(allowed)
        monkeypatch.setattr(tolvan, "time", pause)
        tl = TOLVAN("/dev/ttyUSB0")
        tl.ser = si.ScriptedPort(*replies_for(name, reply))
        with pytest.raises(KeyboardInterrupt):
            getattr(tl, name)(*args)
        assert pause.pauses == allowed + 1
        assert len(tl.ser.written) == allowed + 1  # the frame went out; its reply was never read
        assert tl.ser.buffer != b""

        monkeypatch.setattr(tolvan, "time", si.INSTANT)
        works_normally(tl, name, args, reply, result)


@pytest.fixture
def alarm_interrupt():
    """SIGALRM raises KeyboardInterrupt, the way SIGINT's default handler does."""
    if not hasattr(signal, "setitimer") or threading.current_thread() is not threading.main_thread():
        pytest.skip("needs interval timers in the main thread")

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    yield lambda seconds: signal.setitimer(signal.ITIMER_REAL, seconds)
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, previous)


class Recorder(si.ScriptedPort):
    """Notes whether the reply was read, to tell where the interrupt landed."""

    def __init__(self, *replies):
        super().__init__(*replies)
        self.reads = 0

    def inWaiting(self):
        self.reads += 1
        return super().inWaiting()


@pytest.mark.parametrize("name, args, reply, result", COMMANDS, ids=IDS)
def test_a_real_signal_during_the_real_pause(monkeypatch, alarm_interrupt, name, args, reply, result):
    # The real sleep, made 50 times longer (10 s), so that "cut short" is plain on a loaded machine too.
    monkeypatch.setattr(tolvan, "time", types.SimpleNamespace(sleep=lambda seconds: time.sleep(seconds * 50)))
    tl = TOLVAN("/dev/ttyUSB0")
    tl.ser = Recorder(*replies_for(name, reply))
    started = time.monotonic()
    alarm_interrupt(0.05)
    with pytest.raises(KeyboardInterrupt):
        getattr(tl, name)(*args)
    assert time.monotonic() - started < 5  # the sleep did not run to its end
    assert len(tl.ser.written) == 1 and tl.ser.reads == 0

    monkeypatch.setattr(tolvan, "time", si.INSTANT)
    works_normally(tl, name, args, reply, result)


def test_interrupt_from_another_thread_reaches_the_command(monkeypatch):
    # What Ctrl-C does in a terminal: SIGINT to the process, handled in the main thread.
    if threading.current_thread() is not threading.main_thread() or sys.platform == "win32":
        pytest.skip("needs SIGINT delivered to the main thread")
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        monkeypatch.setattr(tolvan, "time", time)
        tl = TOLVAN("/dev/ttyUSB0")
        tl.ser = Recorder(si.STATUS_REPLY)
        timer = threading.Timer(0.05, signal.pthread_kill, (threading.main_thread().ident, signal.SIGINT))
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            tl.read_current_status(2)
        timer.join()
        assert tl.ser.reads == 0
    finally:
        signal.signal(signal.SIGINT, previous)
    monkeypatch.setattr(tolvan, "time", types.SimpleNamespace(sleep=abs))
    works_normally(tl, "read_current_status", (2,), si.STATUS_REPLY,
                   {"dev_work_mode": 0, "optical_length_index": 1, "attenuation": 1100})
