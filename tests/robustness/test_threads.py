"""Eight threads, eight objects, eight in-memory instruments, a few seconds: no crash.

The templates are shared by every object, so frames and results may mix
between threads; the driver says so and asks callers to issue one command at a
time. What this proves is that mixing never corrupts memory and never gives a
result or an exception that the commands do not document.
"""

import random
import sys
import threading
import time
import types

import stand_ins as si
import tolvan
from tolvan import TOLVAN

THREADS = 8

ANSWERS = {
    (0x00, 0x03): si.VERSION_REPLY,
    (0x07, 0x2E): si.LIST_REPLY,
    (0x14, 0x36): si.STATUS_REPLY,
    (0x14, 0x3A): si.SELECT_REPLY,
}


class Instrument:
    """Answers each frame by its command bytes, as the device would, whatever the frame's channel."""

    def __init__(self):
        self.waiting = b""

    def write(self, data):
        frame = bytes(data)
        self.waiting += ANSWERS.get((frame[3], frame[4]), si.ACTION_REPLY)
        return len(frame)

    def inWaiting(self):
        return len(self.waiting)

    def read(self, size):
        data, self.waiting = self.waiting[:size], self.waiting[size:]
        return data


def is_version(result):
    return result is None or (type(result) is dict and list(result) == ["module_version", "hard_version",
                                                                         "soft_version"])


def is_list(result):
    return result is None or (type(result) is list and all(type(item) is int for item in result))


def is_status(result):
    return result is None or (type(result) is dict and list(result) == ["dev_work_mode", "optical_length_index",
                                                                        "attenuation"])


def is_bool(result):
    return type(result) is bool


# Documented exceptions: set_optical_length's, when the list it read belonged to another thread's frame.
DOCUMENTED = {
    RuntimeError: "device read failed! Please check your connection!",
    ValueError: "the length: ",
}


def commands(tl, rng):
    ch = rng.randint(1, 8)
    return [
        (lambda: tl.read_device_version(), is_version),
        (lambda: tl.read_optical_length(ch), is_list),
        (lambda: tl.set_optical_length(rng.choice(si.WAVELENGTHS), ch), is_bool),
        (lambda: tl.read_current_status(ch), is_status),
        (lambda: tl.close_full_screen(), is_bool),
        (lambda: tl.set_attenuation(rng.randint(0, 655350), ch), is_bool),
        (lambda: tl.clear_attenuation(ch), is_bool),
        (lambda: tl.dis_connection(ch), is_bool),
        (lambda: tl._TOLVAN__cal_crc(list(TOLVAN._TOLVAN__CMD_SET_ATTENUATION)), lambda result: result is None),
        (lambda: tl._TOLVAN__check_crc(list(TOLVAN._TOLVAN__CMD_DIS_CONNECT)), is_bool),
    ]


def worker(seed, deadline, tally, problems):
    rng = random.Random(seed)
    tl = TOLVAN(f"/dev/ttyUSB{seed}")
    tl.ser = Instrument()
    done = 0
    try:
        while time.monotonic() < deadline:
            call, valid = rng.choice(commands(tl, rng))
            try:
                result = call()
            except tuple(DOCUMENTED) as error:
                if not str(error).startswith(DOCUMENTED[type(error)]):
                    problems.append(repr(error))
                    return
                tl.ser = Instrument()  # drop whatever reply is left over
            else:
                if not valid(result):
                    problems.append(f"undocumented result {result!r}")
                    return
            done += 1
    except BaseException as error:  # anything else is a finding, reported below
        problems.append(repr(error))
    finally:
        tally[seed] = done


def test_eight_threads_on_eight_objects(monkeypatch):
    real_sleep = time.sleep
    # The pause gives the interpreter lock away at once, and the switch interval is
    # tiny: threads interleave inside commands as often as they can.
    monkeypatch.setattr(tolvan, "time", types.SimpleNamespace(sleep=lambda seconds: real_sleep(0)))
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    tally, problems = {}, []
    deadline = time.monotonic() + si.THREAD_SECONDS
    threads = [threading.Thread(target=worker, args=(seed, deadline, tally, problems)) for seed in range(THREADS)]
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(si.THREAD_SECONDS + 60)
    finally:
        sys.setswitchinterval(interval)

    assert not any(thread.is_alive() for thread in threads)
    assert problems == []
    assert sorted(tally) == list(range(THREADS))
    assert all(count > 0 for count in tally.values()), tally

    # One thread again, one command at a time: exact results.
    tl = TOLVAN("/dev/ttyUSB0")
    tl.ser = Instrument()
    assert tl.read_optical_length(2) == si.WAVELENGTHS
    assert tl.set_optical_length(1490, 2) is True
    assert tl.read_current_status(2) == {"dev_work_mode": 0, "optical_length_index": 1, "attenuation": 1100}
    assert tl.set_attenuation(1100, 2) is True
    assert TOLVAN._TOLVAN__CMD_SET_ATTENUATION == [123, 2, 7, 20, 60, 110, 0, 190, 125]
