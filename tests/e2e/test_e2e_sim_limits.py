"""The simulator at its limits: a flood of start bytes, a client that stops
reading, a log reader that stalls, wavelength lists as long as a reply can
carry, replies nobody is there to receive, and the edges of its command line."""

import importlib.metadata
import os
import re
import select
import signal
import subprocess
import time

import pytest
import serial

from .support import SIMULATOR, frame, log_lines

STATUS = frame("7B 01 05 14 36 35 7D")
STATUS_REPLY = frame("7B 01 0A 14 36 00 01 00 00 00 2F 7D")


def test_flood_of_start_bytes_then_a_request(sim, tl):
    # Every start byte opens a frame whose length byte is another start byte:
    # each must be dropped at constant cost, and the request behind them found.
    piece, pieces, limit = bytes([0x7B]) * 65536, 32, 3.0
    began = time.monotonic()
    tl.ser.write_timeout = limit
    for _ in range(pieces):  # pyserial copies what is left after each write: keep that small
        tl.ser.write(piece)
    tl.ser.write(STATUS)
    tl.ser.timeout = max(0.0, began + limit - time.monotonic())
    reply = tl.ser.read(len(STATUS_REPLY))
    took = time.monotonic() - began
    assert reply == STATUS_REPLY, f"no status reply {took:.2f} s after the flood began"
    assert sim.received() == [STATUS]
    # Every flood byte is logged as ignored, a run of them to a line, not a
    # line each. (Counted from the text, " XX" a byte: parsing 6 MB of hex
    # would be slow in the sanitizer build.)
    ignored = [(len(line.split(" # ")[0].rsplit(" @", 1)[0]) - len("bad")) // 3
               for line in log_lines(sim.log_path) if line.startswith("bad ")]
    assert sum(ignored) == len(piece) * pieces
    assert len(ignored) < sum(ignored) // 100
    # A run cut short by a pause of the writer (a loaded machine) is an incomplete frame: nothing else.
    assert "bad length byte" in sim.notes("bad") and set(sim.notes("bad")) <= {"bad length byte", "incomplete frame"}


def test_client_that_stops_reading_does_not_delay_a_stop(sim, tl):
    requests = 20_000
    tl.ser.write_timeout = 5
    tl.ser.write(STATUS * requests)  # and never reads a reply
    deadline = time.monotonic() + 60  # (an instrumented simulator on a loaded machine reads them slowly)
    while len(sim.received()) < requests and time.monotonic() < deadline:
        time.sleep(0.1)
    began = time.monotonic()
    sim.process.send_signal(signal.SIGTERM)
    status = sim.process.wait(timeout=5)
    took = time.monotonic() - began
    assert status == 0 and took < 1, f"exit status {status} after {took:.2f} s"
    lines = log_lines(sim.log_path)
    assert lines[-1] == "# stopped by signal"
    # Every time in milliseconds with its three decimals, the leading zeros of the fraction too
    # (+0.048, never +0.48): among tens of thousands of lines, many have such a fraction.
    times = [line.split(" # ")[0].rsplit(" ", 1)[1] for line in lines if not line.startswith("#")]
    assert [time for time in times if not re.fullmatch(r"[@+]\d+\.\d{3}", time)] == []
    assert sum(time[-3] == "0" for time in times) > len(times) // 20
    # Every request was read; what the client did not take was dropped
    # oldest first, and every reply is logged once, sent or lost.
    received, sent, lost = sim.received(), sim.log("tx"), sim.log("lost")
    assert received == [STATUS] * requests
    assert len(sent) + len(lost) == requests
    assert all(STATUS_REPLY.endswith(bytes_lost) for bytes_lost in lost)
    # Oldest first: the replies dropped while the client did not read, then
    # those still waiting for it when the stop came.
    notes = sim.notes("lost")
    dropped = notes.count("output queue full")
    assert 0 < dropped < len(notes)
    assert set(notes[:dropped]) == {"output queue full"}
    assert all(note.startswith("stopped before it went out") for note in notes[dropped:])


def test_reply_with_nobody_on_the_line_is_lost(start_simulator, connect):
    sim = start_simulator("--delay", "200")
    tl = connect(sim.port)
    tl.ser.write(STATUS)
    tl.close()
    time.sleep(0.5)
    assert sim.log("tx") == []
    assert sim.log("lost") == [STATUS_REPLY]
    assert sim.notes("lost") == ["no client on the line"]


def test_longest_wavelength_list_is_served_whole_again_and_again(start_simulator, connect):
    wavelengths = [1200 + 3 * i for i in range(124)]
    # A later list for every channel replaces the per-channel ones before it;
    # a value may follow "=".
    sim = start_simulator("--wavelengths", "3=1310", "--wavelengths=1490,1550",
                          "--wavelengths", "2=" + ",".join(map(str, wavelengths)))
    tl = connect(sim.port)
    assert tl.read_optical_length(2) == wavelengths
    assert tl.read_optical_length(3) == [1490, 1550]
    # A client that reads what it asked for is never short of room: replies
    # that went out free their place in the output queue, many times its size.
    reply = sim.log("tx")[0]
    batch, batches = 32, 20
    assert len(reply) == 256 and batch * batches * len(reply) > 2 * 64 * 1024
    tl.ser.timeout = 2
    for _ in range(batches):
        tl.ser.write(sim.received()[0] * batch)
        assert tl.ser.read(len(reply) * batch) == reply * batch
    assert sim.log("lost") == []


@pytest.mark.parametrize("reader, sig", [("stderr", signal.SIGTERM), ("fifo", signal.SIGINT)])
def test_log_reader_that_stalls_holds_nothing_up(tmp_path, reader, sig):
    # A standard-error pipe nobody reads, or a FIFO whose reader sleeps: the
    # simulator goes on answering, drops the lines the reader cannot take,
    # tells how many once it catches up, and stops at once when asked.
    if reader == "fifo":
        os.mkfifo(tmp_path / "log")
        log = os.open(tmp_path / "log", os.O_RDONLY | os.O_NONBLOCK)
        sim = subprocess.Popen([SIMULATOR, "--log", tmp_path / "log"], stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, text=True)
    else:
        sim = subprocess.Popen([SIMULATOR, "--log", "-"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True)
        log = sim.stderr.fileno()
    try:
        with serial.Serial(sim.stdout.readline().strip(), timeout=2) as line:
            def flood(requests=3000, batch=100):
                for _ in range(requests // batch):
                    line.write(STATUS * batch)
                    assert line.read(len(STATUS_REPLY) * batch) == STATUS_REPLY * batch

            flood()
            text, deadline = b"", time.monotonic() + 5
            while b" log lines dropped" not in text and time.monotonic() < deadline:
                if select.select([log], [], [], 0.1)[0]:
                    text += os.read(log, 1 << 16)
            lines = text.decode().splitlines()
            assert lines[0] == "# tolvan-sim log 2" and lines[1].startswith("# session ")
            dropped = [line for line in lines if line.endswith(" log lines dropped: the log's reader did not keep up")]
            assert len(dropped) == 1
            # Every line is either there or counted: two comments, a request and a reply each.
            assert len(lines) - 2 + int(dropped[0].split()[2]) == 2 + 2 * 3000
            flood()
            began = time.monotonic()
            sim.send_signal(sig)
            assert sim.wait(timeout=5) == 0 and time.monotonic() - began < 1
    finally:
        if sim.poll() is None:
            sim.kill()
            sim.wait()
        sim.stdout.close()
        if reader == "fifo":
            os.close(log)
        else:
            sim.stderr.close()


def test_hangup_stops_it_like_the_other_stop_signals(sim):
    assert sim.stop(signal.SIGHUP) == 0
    assert log_lines(sim.log_path)[-1] == "# stopped by signal"


def command_line(*args):
    return subprocess.run([SIMULATOR, *args], capture_output=True, text=True, timeout=10)


@pytest.mark.skipif(SIMULATOR is None, reason="needs the simulator tolvan-sim")
class TestCommandLineEdges:
    def test_version_is_the_package_version(self):
        result = command_line("--version")
        assert (result.returncode, result.stderr) == (0, "")
        assert result.stdout == f"tolvan-sim {importlib.metadata.version('tolvan')}\n"

    @pytest.mark.parametrize("args, message", [
        (["--wavelengths", ",".join(["1310"] * 125)], "--wavelengths lists 125 wavelengths for a channel; a list reply holds at most 124"),
        (["--wavelengths", "3=" + ",".join(["1550"] * 200)], "--wavelengths lists 200 wavelengths"),
        (["--vers", "1,2,3"], "unknown option '--vers'"),
        (["--chan=2"], "unknown option '--chan'"),
        (["-xy"], "unknown option '-xy'"),
        (["--help=1"], "option '--help' takes no value"),
        (["--version=2"], "option '--version' takes no value"),
        (["--relay", "/dev/null", "--channels", "2"],
         "--channels describes the simulated instrument: it has no effect with --relay"),
        (["--wavelengths=1310", "--replay", "x.log"], "--wavelengths describes the simulated instrument"),
        (["--replay", "x.log", "--relay", "/dev/null"], "--relay and --replay exclude each other"),
        (["--replay="], "option '--replay' needs a file name"),
    ], ids=["125-wavelengths", "200-on-one-channel", "abbreviation", "abbreviation-with-value", "short-options",
            "help-with-value", "version-with-value", "relay-with-channels", "replay-with-wavelengths", "both",
            "replay-without-file"])
    def test_refused(self, args, message):
        result = command_line(*args)
        assert (result.returncode, result.stdout) == (2, "")
        assert f"tolvan-sim: {message}" in result.stderr
