"""A real instrument's session recorded through `tolvan-sim --relay` and played
back with `--replay`. A second simulator stands in for the real instrument."""

import os
import re
import subprocess
import time
from pathlib import Path

import pytest
import serial

from .support import SIMULATOR, frame, log_lines
from tolvan import TOLVAN

pytestmark = pytest.mark.skipif(SIMULATOR is None, reason="needs the simulator tolvan-sim")

# How late a piece may come on a loaded machine, in ms: far beyond what scheduling adds (a few ms;
# bench/relay_timing.py measures it).
LATE = 1000.0


def session(port):
    """A user's script: what each call returned."""
    tl = TOLVAN(port)
    assert tl.open() is True
    try:
        return [tl.read_device_version(), tl.read_current_status(2), tl.set_optical_length(1550, 2),
                tl.set_attenuation(1500, 2), tl.read_current_status(2)]
    finally:
        tl.close()


def exchanges(log):
    """Each request in a frame log with the pieces sent after it: (request, [(ms, bytes), ...])."""
    found = []
    for line in log_lines(log):
        kind, *words = line.split(" # ")[0].split()
        if kind == "rx":
            found.append((bytes.fromhex(" ".join(words[:-1])), []))
        elif kind == "tx":
            found[-1][1].append((float(words[-1].removeprefix("+")), bytes.fromhex(" ".join(words[:-1]))))
    return found


def test_recorded_session_replays_alike(make_tolvan_sim, tmp_path):
    device = make_tolvan_sim("--versions", "9,8,7", "--wavelengths", "2=1310,1550", "--delay", "40", "--split", "30",
                             log=tmp_path / "device.log")
    recording = tmp_path / "session.log"
    relay = make_tolvan_sim("--relay", device.port, log=recording)
    live = session(relay.port)
    # The device's own replies came through, not a simulation of the relay's.
    assert live[0] == {"module_version": 9, "hard_version": 8, "soft_version": 7}
    assert live[2:] == [True, True, {"dev_work_mode": 0, "optical_length_index": 1, "attenuation": 1500}]
    assert relay.stop() == 0

    replay = make_tolvan_sim("--replay", recording, log=tmp_path / "replay.log")
    assert session(replay.port) == live
    # Status of channel 2 was recorded twice: its last reply again; channel 3 never.
    tl = TOLVAN(replay.port)
    assert tl.open() is True
    assert tl.read_current_status(2) == live[-1]
    assert tl.read_current_status(3) is None
    tl.close()
    assert replay.notes("bad") == ["no reply recorded for this request"]

    recorded, replayed = exchanges(recording), exchanges(tmp_path / "replay.log")
    assert [request for request, _ in replayed[:len(recorded)]] == [request for request, _ in recorded]
    for (_, before), (_, after) in zip(recorded, replayed):
        # Replayed piece by piece as recorded.
        assert [piece for _, piece in before] == [piece for _, piece in after]
        # The device's reply as the relay read it: in its two pieces, or in one where load kept the
        # relay from reading between them.
        assert len(before) in (1, 2), before
        # Recorded after the device's delay (40 ms) and split (30 ms), at most a second late under
        # load (and up to half early: each program's clock starts as the request reaches it).
        assert 20 <= before[0][0] < 40 + LATE and (len(before) == 1 or 35 <= before[1][0] < 70 + LATE), before
        # Replayed at the recorded times (on a loaded machine a few ms early as well as late): a
        # replay that dropped the timing would send at once, before half of it.
        assert all(then / 2 <= now < then + LATE for (then, _), (now, _) in zip(before, after)), (before, after)


def test_device_that_vanishes_mid_session(make_tolvan_sim, connect, tmp_path):
    device = make_tolvan_sim()
    relay = make_tolvan_sim("--relay", device.port, "--drop-every", "2", log=tmp_path / "relay.log")
    tl = connect(relay.port)
    assert tl.read_device_version() == {"module_version": 2, "hard_version": 50, "soft_version": 32}
    assert tl.read_device_version() is None  # the relay's own fault, on top of the device
    device.stop()
    assert relay.process.wait(timeout=5) == 1
    # As when the instrument is unplugged: the port fails under the driver.
    with pytest.raises(OSError):
        tl.read_device_version()
    assert log_lines(relay.log_path)[-1].startswith(f"# device {device.port} vanished: ")
    assert len(relay.log("drop")) == 1


def test_device_that_vanishes_while_nobody_reads_standard_error(make_tolvan_sim, connect):
    # The log (--log -) has filled the pipe: saying that the device vanished must not wait for room.
    device = make_tolvan_sim()
    read_end, write_end = os.pipe()
    os.set_blocking(write_end, False)
    try:
        while os.write(write_end, b"x" * 4096):
            pass
    except BlockingIOError:
        os.set_blocking(write_end, True)  # as a parent's pipe is
    relay = subprocess.Popen([SIMULATOR, "--relay", device.port, "--log", "-"], stdout=subprocess.PIPE,
                             stderr=write_end)
    os.close(write_end)
    try:
        tl = connect(relay.stdout.readline().decode().strip())
        assert tl.read_device_version() == {"module_version": 2, "hard_version": 50, "soft_version": 32}
        device.stop()
        assert relay.wait(timeout=3) == 1
    finally:
        relay.kill()
        relay.wait()
        relay.stdout.close()
        os.close(read_end)


def run(*args):
    return subprocess.run([SIMULATOR, *args], capture_output=True, text=True, timeout=10)


@pytest.mark.parametrize("make, reason", [
    (lambda path: None, "No such file or directory"),
    (lambda path: path.write_text("not a serial line"), "as a serial line: Inappropriate ioctl for device"),
], ids=["missing", "not-a-tty"])
def test_device_that_cannot_be_opened(tmp_path, make, reason):
    device = tmp_path / "ttyUSB9"
    make(device)
    result = run("--relay", str(device))
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr.startswith("tolvan-sim: cannot ") and str(device) in result.stderr and reason in result.stderr


GOOD_STATUS = "7B 01 0A 14 36 00 01 00 00 00 2F 7D"
GOOD = ("# tolvan-sim log 1\n# serving on /dev/pts/9\n"
        "rx 7B 01 05 00 03 7C 7D @10.250\ntx 7B 01 08 00 03 09 08 07 59 7D +5.084 # part 1 of 1\n")
GOOD_2 = "# tolvan-sim log 2\n# session aaaaaaaa pid 1\naaaaaaaa rx 7B 01 05 00 03 7C 7D @10.250\n"


@pytest.mark.parametrize("text, line, reason", [
    (GOOD[:-1], 4, "cut short: the last line does not end"),
    (GOOD.replace("7C 7D @", "7C 7G @"), 3, "'7G' is not a byte in two hex digits"),
    (GOOD.replace(" +5.084", ""), 4, "no time at the end of the frame"),
    (GOOD.replace("+5.084", "+5,084"), 4, "bad time '+5,084'"),
    (GOOD.replace("+5.084", "+5.0840000000000000000000"), 4, "bad time '+5.084000"),
    (GOOD.replace("tx ", "xx "), 4, "unknown kind of line 'xx'"),
    (GOOD.replace("tx ", "x" * 100_000 + " "), 4, "unknown kind of line 'xxxxx"),
    (GOOD.replace("7C 7D @", "7C \0\x1b @"), 3, "'\\x00\\x1B' is not a byte in two hex digits"),
    (GOOD.replace("\nrx", "\nrx  7B"), 3, "neither a frame nor a comment"),
    (GOOD.replace("log 1", "log 3"), 1, "written in log format 3, newer than this tolvan-sim reads (2)"),
    (GOOD + GOOD.replace("log 1", "log 3"), 5, "written in log format 3"),
    (GOOD.split("\n", 1)[1], 1, "not a tolvan-sim log"),
    ("", 1, "empty file"),
    (GOOD.split("rx")[0], 2, "no request recorded"),
    (GOOD + "# 3 log lines dropped: the log's reader did not keep up\n", 5, "lines are missing here"),
    (GOOD_2 + "aaaaaaaa # 3 log lines dropped: the log's reader did not keep up\n", 4, "lines are missing here"),
    (GOOD_2.replace("pid 1", "pid x"), 2, "bad session line '# session aaaaaaaa pid x'"),
    (GOOD_2.replace("aaaaaaaa rx", "bbbbbbbb rx"), 3, "the session 'bbbbbbbb' did not begin before this line"),
    (GOOD_2.replace("aaaaaaaa rx", "rx"), 3, "a frame line without the name of its session"),
], ids=["truncated", "hex", "no-time", "bad-time", "long-decimals", "kind", "long-line",
        "control-bytes", "two-blanks", "newer", "newer-later", "no-version",
        "empty", "no-request", "lines-dropped", "lines-dropped-2", "bad-session", "no-session", "no-name"])
def test_replay_refuses_a_file_it_cannot_read(tmp_path, text, line, reason):
    recording = tmp_path / "session.log"
    recording.write_text(text)
    result = run("--replay", str(recording))
    assert (result.returncode, result.stdout) == (2, ""), result.stderr
    assert result.stderr.startswith(f"tolvan-sim: {recording}:{line}: {reason}")
    # One short line, whatever the file holds.
    assert result.stderr.count("\n") == 1 and len(result.stderr) < len(str(recording)) + 250


# Recordings of a version request answered in two pieces (7B 01 08 00 03, then 09 08 07 61 7D), then of a
# second session that sent 00 00 before its first request, a status request; in each log format.
TWO_SESSIONS = {
    # Blank lines and Windows' line ends (a recording checked out with core.autocrlf); one session after
    # the other.
    "format 1": b"# tolvan-sim log 1\r\n\r\nrx 7B 01 05 00 03 7C 7D @1.0\r\n  \r\n"
                b"tx 7B 01 08 00 03 +5.0 # edited\r\ntx 09 08 07 61 7D +6.0\r\n\r\n"
                b"# tolvan-sim log 1\ntx 00 00 +1.0 # before any request\n"
                b"rx 7B 01 05 14 36 35 7D @2.0\ntx 7B 01 0A 14 36 00 01 00 00 00 2F 7D +5.0\n",
    # Two sessions at the same time, their lines in turns; a name used again for a later session.
    "format 2": b"# tolvan-sim log 2\n# session aaaaaaaa pid 10\naaaaaaaa # serving on /dev/pts/1\n"
                b"aaaaaaaa rx 7B 01 05 00 03 7C 7D @1.0\n# tolvan-sim log 2\n# session bbbbbbbb pid 11\n"
                b"bbbbbbbb tx 00 00 +1.0 # before any request\naaaaaaaa tx 7B 01 08 00 03 +5.0\n"
                b"bbbbbbbb rx 7B 01 05 14 36 35 7D @2.0\naaaaaaaa tx 09 08 07 61 7D +6.0\n"
                b"bbbbbbbb tx 7B 01 0A 14 36 00 01 00 00 00 2F 7D +5.0\n"
                b"# tolvan-sim log 2\n# session aaaaaaaa pid 12\naaaaaaaa tx 00 00 +1.0\n",
}


@pytest.mark.parametrize("form", TWO_SESSIONS)
def test_replay_of_several_sessions(make_tolvan_sim, connect, tmp_path, form):
    # Each piece goes to the request of its own session; --split's gap is wider than the one between
    # the pieces, whose halves must still not interleave.
    recording = tmp_path / "session.log"
    recording.write_bytes(TWO_SESSIONS[form])
    sim = make_tolvan_sim("--replay", recording, "--split", "20")
    tl = connect(sim.port)
    assert tl.read_device_version() == {"module_version": 9, "hard_version": 8, "soft_version": 7}
    assert tl.read_current_status(1) == {"dev_work_mode": 0, "optical_length_index": 0, "attenuation": 0}
    assert b"".join(sim.log("tx")) == bytes.fromhex("7B 01 08 00 03 09 08 07 61 7D") + bytes.fromhex(GOOD_STATUS)


def peak_memory(pid):
    """The largest resident set the process has had, in bytes."""
    status = Path(f"/proc/{pid}/status").read_text()
    return int(re.search(r"^VmHWM:\s+(\d+) kB$", status, re.M).group(1)) * 1024


def arrivals(line, count, since):
    """The next `count` bytes on `line` (fewer if they stop coming), and when each came, in ms after `since`."""
    got, times = b"", []
    while len(got) < count and (byte := line.read(1)):
        got += byte
        times.append((time.monotonic() - since) * 1000)
    return got, times


# A sanitizer's or valgrind's build holds freed memory back, and runs slower, on purpose.
INSTRUMENTED = os.environ.get("TOLVAN_ROBUSTNESS_RSS", "on") == "off"


@pytest.mark.skipif(not Path("/proc/self/status").exists(), reason="reads the peak memory in /proc")
def test_replay_of_a_large_recording_in_one_byte_pieces(make_tolvan_sim, tmp_path):
    # A device that sends its replies a byte at a time, recorded for long: status replies in twelve
    # pieces 10 ms apart, many times, then a version request answered by a million pieces.
    status_request, status_reply = bytes.fromhex("7B 01 05 14 36 35 7D"), bytes.fromhex(GOOD_STATUS)
    pieces = "".join(f"tx {byte:02X} +{5 + 10 * i}.000\n" for i, byte in enumerate(status_reply))
    recording = tmp_path / "large.log"
    recording.write_text("# tolvan-sim log 1\n" + f"rx 7B 01 05 14 36 35 7D @1.000\n{pieces}" * 20_000 +
                         "rx 7B 01 05 00 03 7C 7D @2.000\n" + "tx 00 +5.000\n" * 1_000_000)
    (tmp_path / "small.log").write_text(GOOD)
    size = recording.stat().st_size
    small = make_tolvan_sim("--replay", tmp_path / "small.log")
    sim = make_tolvan_sim("--replay", recording)
    # Held packed, about the size of the file at most (it was seven times that, an object a piece).
    grown = peak_memory(sim.process.pid) - peak_memory(small.process.pid)
    assert INSTRUMENTED or grown < size, f"{grown / size:.2f} times the size of the recording"
    with serial.Serial(sim.port, timeout=2) as line:
        # Each piece at its recorded time.
        sent = time.monotonic()  # before the write, so that load cannot make a piece seem early
        line.write(status_request)
        got, times = arrivals(line, len(status_reply), sent)
        assert got == status_reply
        assert all((5 + 10 * i) / 2 <= took < 5 + 10 * i + LATE for i, took in enumerate(times)), times
        # The flood's first piece at once, and a stop at once in the middle of it (sending the rest,
        # a million writes, would take many seconds).
        sent = time.monotonic()
        line.write(frame("7B 01 05 00 03 7C 7D"))
        got, times = arrivals(line, 1000, sent)
        assert got == bytes(1000) and times[0] < 5 + LATE, times[0]
        began = time.monotonic()
        assert sim.stop() == 0
        assert time.monotonic() - began < 1.0


@pytest.mark.parametrize("size, reason", [
    (None, "No such file or directory"),
    (300 << 20, "larger than 256 MiB, more than a recording holds"),  # sparse: no disk taken
], ids=["missing", "too-large"])
def test_replay_of_a_file_it_cannot_take(tmp_path, size, reason):
    recording = tmp_path / "session.log"
    if size is not None:
        with recording.open("wb") as file:
            file.truncate(size)
    result = run("--replay", str(recording))
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr == f"tolvan-sim: cannot read {recording}: {reason}\n"
