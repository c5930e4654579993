"""Misbehaving instrument and line: the driver's documented result for each fault,
no command blocking past its pause, and requests the instrument refuses."""

import json
import subprocess
import sys
import time

import pytest

from .support import MARGIN, PAUSE, frame, timed


VERSION = frame("7B 01 05 00 03 7C 7D")

# Each command with arguments, and what it returns when no good reply comes.
COMMANDS = [
    ("read_device_version", (), None),
    ("read_optical_length", (2,), None),
    ("read_current_status", (2,), None),
    ("set_attenuation", (1100, 2), False),
    ("clear_attenuation", (2,), False),
    ("dis_connection", (2,), False),
    ("close_full_screen", (), False),
]

FAULTS = {
    "late": ("--delay", "300"),
    "split": ("--split", "300"),
    "noise": ("--noise", "3"),
    "dropped": ("--drop-every", "1"),
}


@pytest.mark.parametrize("fault", FAULTS)
@pytest.mark.parametrize("name, args, failed", COMMANDS, ids=[c[0] for c in COMMANDS])
def test_each_fault_gives_the_failure_result(start_simulator, connect, fault, name, args, failed):
    sim = start_simulator(*FAULTS[fault])
    tl = connect(sim.port)
    assert timed(getattr(tl, name), *args) is failed
    assert len(sim.received()) == 1


@pytest.mark.parametrize("fault", FAULTS)
def test_selection_without_a_list_reply(start_simulator, connect, fault):
    sim = start_simulator(*FAULTS[fault])
    tl = connect(sim.port)
    began = time.monotonic()
    with pytest.raises(RuntimeError, match="^device read failed! Please check your connection!$"):
        tl.set_optical_length(1310, 2)
    assert time.monotonic() - began < PAUSE + MARGIN
    assert sim.received() == [frame(2, (0x07, 0x2E))]


class TestLateReplies:
    def test_late_reply_is_taken_by_the_next_command(self, start_simulator, connect):
        # Nothing clears the input before a request: the reply that missed the
        # first pause is what the second command reads.
        sim = start_simulator("--delay", "300", "--versions", "9,8,7")
        tl = connect(sim.port)
        assert timed(tl.read_device_version) is None
        assert timed(tl.read_device_version) == {"module_version": 9, "hard_version": 8, "soft_version": 7}

    def test_delay_within_the_pause_is_harmless(self, start_simulator, connect):
        sim = start_simulator("--delay", "100")
        tl = connect(sim.port)
        assert timed(tl.read_device_version) == {"module_version": 2, "hard_version": 50, "soft_version": 32}
        assert timed(tl.set_attenuation, 1500, 4) is True
        assert timed(tl.read_current_status, 4)["attenuation"] == 1500


class TestSplitReplies:
    def test_gap_within_the_pause_is_harmless(self, start_simulator, connect):
        sim = start_simulator("--split", "50")
        tl = connect(sim.port)
        assert tl.read_optical_length(1) == [1310, 1490, 1550]
        first, second = sim.log("tx")
        assert sim.notes("tx") == ["part 1 of 2", "part 2 of 2, 50 ms later"]
        assert first + second == frame("7B 01 0C 07 2E 03 1E 05 D2 05 0E 06 32 7D")

    def test_late_half_spoils_the_next_reply_too(self, start_simulator, connect):
        sim = start_simulator("--split", "300")
        tl = connect(sim.port)
        assert timed(tl.read_device_version) is None
        # The second half of the version reply now comes first.
        assert timed(tl.read_current_status, 1) is None
        time.sleep(0.4)
        assert tl.ser.in_waiting == 6  # second half of the 12-byte status reply
        # One reply after the other, as an instrument sends them: never interleaved.
        assert b"".join(sim.log("tx")).startswith(frame("7B 01 08 00 03 02 32 20 25 7D"))


class TestDroppedReplies:
    def test_every_third_reply_is_missing(self, start_simulator, connect):
        sim = start_simulator("--drop-every", "3")
        tl = connect(sim.port)
        results = [timed(tl.read_device_version) for _ in range(6)]
        version = {"module_version": 2, "hard_version": 50, "soft_version": 32}
        assert results == [version, version, None, version, version, None]
        assert len(sim.received()) == 6
        assert len(sim.log("drop")) == 2

    def test_state_changes_even_when_the_reply_is_lost(self, start_simulator, connect):
        sim = start_simulator("--drop-every", "2")
        tl = connect(sim.port)
        assert tl.read_device_version() is not None
        assert tl.set_attenuation(2000, 1) is False
        assert tl.read_current_status(1)["attenuation"] == 2000


def test_noise_ahead_of_a_reply_is_read_with_it(start_simulator, connect):
    sim = start_simulator("--noise", "4")
    tl = connect(sim.port)
    assert tl.read_device_version() is None
    assert tl.ser.in_waiting == 0
    assert sim.log("tx") == [bytes(4), frame("7B 01 08 00 03 02 32 20 25 7D")]
    assert sim.notes("tx") == ["noise"]


class TestRefusedRequests:
    @pytest.mark.parametrize("sent, reason", [
        (frame("7B 01 05 00 03 7D 7D"), "bad checksum"),
        (frame("7B 01 05 00 03 7C 7E"), "no end byte"),
        (frame("7B 01 40 00 03 7C 7D"), "bad length byte"),
        (frame(5, (0x14, 0x36)), "no such channel"),
        (frame(0, (0x14, 0x36)), "no such channel"),
        (frame(1, (0x12, 0x34)), "unknown command"),
        (frame(1, (0x14, 0x3A), [3]), "no wavelength at that position"),
        (frame(1, (0x14, 0x34), [0x12, 0x34]), "neither clear nor disconnect"),
        (frame(1, (0x14, 0x3C), [0x10]), "payload must be two bytes"),
        (frame(1, (0x00, 0x03), [0x10]), "unexpected payload"),
    ], ids=["checksum", "end", "length", "channel5", "channel0", "command", "position", "clear-payload",
            "short-payload", "extra-payload"])
    def test_no_reply_and_logged(self, sim, tl, sent, reason):
        tl.ser.write(sent)
        deadline = time.monotonic() + 5  # until the simulator has judged it, however loaded the machine
        while not sim.log("bad") and time.monotonic() < deadline:
            time.sleep(0.01)
        time.sleep(PAUSE)
        assert tl.ser.in_waiting == 0
        assert sim.log("bad") == [sent]
        assert sim.notes("bad") == [reason]
        assert sim.received() == []
        # The instrument goes on answering.
        assert tl.read_device_version() is not None

    def test_refused_requests_change_nothing(self, sim, tl):
        tl.set_attenuation(1200, 1)
        tl.ser.write(frame(1, (0x14, 0x34), [0x12, 0x34]))
        tl.ser.write(frame(1, (0x14, 0x3A), [7]))
        assert tl.read_current_status(1) == {"dev_work_mode": 0, "optical_length_index": 0, "attenuation": 1200}

    # A false start whose length byte is plausible (7B 01 07: a frame of 9 bytes) has no end byte where
    # that length puts it: only its own bytes go, and both requests behind it are answered.
    @pytest.mark.parametrize("garbage", ["00 55 7D", "7B 01 09", "7B 01 07"],
                             ids=["no-start", "longer-than-any-request", "false-start"])
    def test_garbage_before_requests(self, sim, tl, garbage):
        status = frame(1, (0x14, 0x36))
        tl.ser.write(frame(garbage) + VERSION + status)
        answers = frame("7B 01 08 00 03 02 32 20 25 7D") + frame("7B 01 0A 14 36 00 01 00 00 00 2F 7D")
        tl.ser.timeout = 5  # both answers, however long a loaded machine takes, and nothing else
        assert tl.ser.read(len(answers)) == answers
        time.sleep(PAUSE)
        assert tl.ser.in_waiting == 0
        assert sim.log("bad") == [frame(garbage)]
        assert sim.received() == [VERSION, status]

    def test_unfinished_frame_is_given_up(self, sim, tl):
        tl.ser.write(frame("7B 01 05 00"))
        time.sleep(0.1)
        assert tl.read_device_version() == {"module_version": 2, "hard_version": 50, "soft_version": 32}
        assert sim.notes("bad") == ["incomplete frame"]

    def test_channel_beyond_the_configured_count(self, start_simulator, connect):
        sim = start_simulator("--channels", "2")
        tl = connect(sim.port)
        assert timed(tl.read_current_status, 2) is not None
        assert timed(tl.read_current_status, 3) is None
        assert timed(tl.read_optical_length, 3) is None
        assert timed(tl.set_attenuation, 100, 3) is False
        assert sim.notes("bad") == ["no such channel"] * 3


VANISHING_SESSION = r"""
import json, sys, time, serial, tolvan
tl = tolvan.TOLVAN(sys.argv[1])
outcomes = [tl.open(), repr(tl.read_current_status(9)), repr(tl.read_device_version()), tl.set_attenuation(1100, 2)]
for call in (lambda: tl.read_current_status(2), tl.read_device_version, tl.close_full_screen):
    began = time.monotonic()
    try:
        outcomes.append(repr(call()))
    except Exception as error:
        outcomes.append([type(error).__name__, isinstance(error, OSError),
                         isinstance(error, serial.SerialException)])
    outcomes.append(time.monotonic() - began)
print(json.dumps(outcomes))
"""


def test_instrument_vanishing_mid_session(start_simulator):
    # In a child interpreter: whatever the driver does with a port that
    # disappears under it, it must not take the interpreter down.
    # A refused request (no channel 9) is not one of the two it answers.
    sim = start_simulator("--exit-after", "2")
    child = subprocess.run([sys.executable, "-c", VANISHING_SESSION, sim.port],
                           capture_output=True, text=True, timeout=60)
    assert child.returncode == 0, child.stderr
    outcomes = json.loads(child.stdout)
    assert outcomes[:4] == [True, "None", repr({"module_version": 2, "hard_version": 50, "soft_version": 32}), True]
    # The third request reached the instrument, which went away without a
    # reply: asking the port what has arrived fails (pyserial passes the
    # system's error on as it is), and later writes fail in pyserial.
    third, fourth, fifth = outcomes[4::2]
    assert third == ["OSError", True, False]
    assert fourth == ["SerialException", True, True]
    assert fifth == ["SerialException", True, True]
    assert all(took < PAUSE + MARGIN for took in outcomes[5::2])
    assert sim.process.wait(timeout=5) == 0
    assert len(sim.received()) == 3
    assert len(sim.log("tx")) == 2
    assert sim.notes("bad") == ["no such channel"]
