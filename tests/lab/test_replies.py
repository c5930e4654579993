"""The reply check, in memory: whatever was waiting before a request and whatever arrives after it
(noise, other commands' replies, late replies, several answers), the driver decodes only the last
frame that answers the request, or gets nothing."""

import logging
import os

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tolvan
from conftest import frame
from tolvan_lab.checked_port import CheckedPort

FAST = settings(max_examples=300, deadline=None, database=None,
                suppress_health_check=[HealthCheck.function_scoped_fixture])


class Line:
    """A pyserial port whose input is scripted: `waiting` is there before the request, `arriving`
    comes in answer to it."""

    def __init__(self, waiting, arriving):
        self.buffer = bytearray(waiting)
        self.arriving = arriving
        self.written = []

    def write(self, data):
        self.written.append(bytes(data))
        self.buffer += self.arriving
        self.arriving = b""
        return len(data)

    @property
    def in_waiting(self):
        return len(self.buffer)

    def read(self, size):
        data = bytes(self.buffer[:size])
        del self.buffer[:size]
        return data


# Each command as the driver sends it: its call, its channel and command bytes, and what the driver
# makes of a reply that answers it.
COMMANDS = {
    "read_device_version": ((), 1, b"\x00\x03", lambda p: {"module_version": p[0], "hard_version": p[1],
                                                           "soft_version": p[2]}),
    "read_optical_length": ((2,), 2, b"\x07\x2e",
                            lambda p: [p[1 + 2 * i] + (p[2 + 2 * i] << 8) for i in range(p[0])]),
    "read_current_status": ((3,), 3, b"\x14\x36", lambda p: {"dev_work_mode": p[0], "optical_length_index": p[2],
                                                            "attenuation": (p[3] + (p[4] << 8)) * 10}),
    "set_attenuation": ((1100, 4), 4, b"\x14\x3c", lambda p: True),
    "dis_connection": ((1,), 1, b"\x14\x34", lambda p: True),
}
FAILED = {"read_device_version": None, "read_optical_length": None, "read_current_status": None,
          "set_attenuation": False, "dis_connection": False}


def payloads(command):
    """Payloads that make a well-formed answer to `command`."""
    if command == b"\x00\x03":
        return st.binary(min_size=3, max_size=3)
    if command == b"\x07\x2e":
        return st.lists(st.integers(0, 0xFFFF), max_size=6).map(
            lambda nms: bytes([len(nms)]) + b"".join(nm.to_bytes(2, "little") for nm in nms))
    if command == b"\x14\x36":
        return st.binary(min_size=5, max_size=7)
    return st.binary(max_size=2)


# The replies the driver decodes at fixed offsets: a version of 3 bytes, a list of 1 + 2N, a status of 5 or more.
SHAPED = {b"\x00\x03": lambda p: len(p) == 3, b"\x07\x2e": lambda p: len(p) >= 1 and len(p) == 1 + 2 * p[0],
          b"\x14\x36": lambda p: len(p) >= 5}
any_command = st.sampled_from([b"\x00\x03", b"\x07\x2e", b"\x14\x36", b"\x14\x3c", b"\x14\x34", b"\x14\x3a"])
noise = st.binary(max_size=6).map(lambda data: data.replace(b"\x7b", b""))  # no frame can start in it


@st.composite
def line_pieces(draw, name, with_answers):
    """Noise, frames for any channel and command (some answering `name`'s request), and maybe a
    frame cut short at the end; and the answers among them, in order."""
    _, channel, command, _ = COMMANDS[name]
    pieces, answers = [], []
    for _ in range(draw(st.integers(0, 4))):
        pieces.append(draw(noise))
        if with_answers and draw(st.booleans()):
            payload = draw(payloads(command))
            pieces.append(frame(channel, command, payload))
            answers.append(payload)
        elif draw(st.booleans()):
            other = draw(st.tuples(st.integers(0, 5), any_command).filter(lambda o: o != (channel, command)))
            pieces.append(frame(*other, draw(payloads(other[1]))))
        else:  # for this request, but not an answer: a wrong checksum, or too short to decode
            spoilt = bytearray(frame(channel, command, draw(payloads(command))))
            spoilt[-2] ^= draw(st.integers(1, 255))
            short = frame(channel, command, draw(st.binary(max_size=4).filter(lambda p: not SHAPED.get(command, bool)(p))))
            pieces.append(bytes(spoilt) if command not in SHAPED or draw(st.booleans()) else short)
    if draw(st.booleans()):  # the start of a frame still arriving
        pieces.append(frame(channel, command, draw(payloads(command)))[:draw(st.integers(1, 6))])
    return b"".join(pieces), answers


@FAST
@given(data=st.data(), name=st.sampled_from(sorted(COMMANDS)))
def test_the_driver_decodes_only_the_last_answer_that_arrived_after_the_request(pauses, data, name):
    args, _, _, decode = COMMANDS[name]
    waiting, _ = data.draw(line_pieces(name, with_answers=True), "waiting")  # answers from before: stale
    arriving, answers = data.draw(line_pieces(name, with_answers=True), "arriving")
    driver = tolvan.TOLVAN("COM3")
    line = Line(waiting, arriving)
    driver.ser = CheckedPort(line, "COM3", reply_timeout=0)
    result = getattr(driver, name)(*args)
    assert result == (decode(answers[-1]) if answers else FAILED[name])
    assert line.buffer == b""  # the rest was read, and is logged as discarded


class PipeLine(Line):
    """A Line read as a POSIX port is: straight from a non-blocking file descriptor (a pipe's)."""

    def __init__(self, waiting, arriving):
        super().__init__(b"", arriving)
        self.reader, self.writer = os.pipe()
        os.set_blocking(self.reader, False)
        os.write(self.writer, waiting)

    def write(self, data):
        os.write(self.writer, self.arriving)
        self.arriving = b""
        return len(data)

    def fileno(self):
        return self.reader


@pytest.mark.parametrize("line", [Line, PipeLine])
def test_what_waits_before_a_request_is_never_its_answer_and_is_logged(pauses, line, caplog):
    # The previous command's list reply, arriving after its pause, waits when the status is asked;
    # so does a status reply behind more noise than one read takes.
    late_list = bytes.fromhex("7B 01 0C 07 2E 03 1E 05 D2 05 0E 06 32 7D")
    late_status = bytes(5000) + frame(1, b"\x14\x36", bytes.fromhex("00 01 00 6E 00"))
    driver = tolvan.TOLVAN("COM3")
    caplog.set_level(logging.DEBUG, "tolvan_lab.frames")
    for waiting in (late_list, late_status):
        caplog.clear()
        port = line(waiting, b"")
        driver.ser = CheckedPort(port, "COM3", reply_timeout=0)
        assert driver.read_current_status(1) is None  # the bare driver decodes the list as 14.90 dB
        if line is PipeLine:
            os.close(port.reader), os.close(port.writer)
        # Nothing vanishes without a trace: the log shows every byte that was discarded, and why.
        before = [r for r in caplog.records if r.tolvan_why.startswith("arrived before the request")]
        assert b"".join(r.tolvan_frame for r in before) == waiting


class ScriptedLine(Line):
    """A Line whose every write brings the next piece of a script (b"" for silence)."""

    def __init__(self, *script):
        super().__init__(b"", b"")
        self.script = list(script)

    def write(self, data):
        self.written.append(bytes(data))
        self.buffer += self.script.pop(0)
        return len(data)


def test_after_a_silence_nothing_is_trusted_until_the_line_is_proved_in_step(pauses):
    status_1 = frame(1, b"\x14\x36", bytes.fromhex("00 01 00 00 00"))  # 0 dB
    status_2 = frame(2, b"\x14\x36", bytes.fromhex("00 01 00 F4 01"))  # 5 dB
    version = frame(1, b"\x00\x03", b"\x02\x32\x20")
    # What each request that goes out brings: silence, or late replies ahead of its own answer.
    line = ScriptedLine(b"", status_1 + status_2, b"", frame(1, b"\x14\x3c") + version, b"")
    checked = CheckedPort(line, "COM3", reply_timeout=0)
    driver = tolvan.TOLVAN("COM3")
    driver.ser = checked
    assert driver.read_current_status(1) is None and not checked.in_step  # its reply comes later
    assert driver.set_attenuation(500, 1) is False  # withheld: nothing that changes the instrument goes out
    assert driver.read_current_status(1) is None  # withheld: the late 0 dB would be taken for its answer
    assert len(line.written) == 1
    # A read that no owed reply can be taken for: the late status before its answer is discarded.
    assert driver.read_current_status(2)["attenuation"] == 5000 and checked.in_step
    assert driver.set_attenuation(500, 1) is False and not checked.in_step  # sent, unanswered
    assert driver.set_attenuation(500, 1) is False and len(line.written) == 3  # withheld again
    # The set's acknowledgement comes late, ahead of the version's answer: it confirms nothing.
    assert driver.read_device_version() == {"module_version": 2, "hard_version": 50, "soft_version": 32}
    assert checked.in_step and driver.set_attenuation(500, 1) is False and len(line.written) == 5
