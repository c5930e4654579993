"""The simulator's port as a client sees it (free until opened, raw, reusable), how
the simulator starts and stops, and its command line."""

import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import sysconfig
import time
from pathlib import Path

import pytest

import tolvan
from .support import HAVE_PTYS, SIMULATOR, frame, log_lines
from tolvan import TOLVAN

VERSION = {"module_version": 2, "hard_version": 50, "soft_version": 32}


def holders(path):
    """What the real lsof prints for a path: empty when nobody holds it."""
    return subprocess.run(["lsof", path], capture_output=True, text=True).stdout


@pytest.mark.skipif(shutil.which("lsof") is None, reason="needs lsof")
class TestAvailability:
    def test_free_until_opened_then_free_again(self, sim, capsys):
        assert stat.S_ISCHR(os.stat(sim.port).st_mode)
        assert holders(sim.port) == ""  # the simulator does not hold its serial end
        tl = TOLVAN(sim.port)
        assert tl.check_port_available() is True
        assert tl.open() is True
        assert tl.check_port_available() is False
        assert str(os.getpid()) in holders(sim.port)
        other = TOLVAN(sim.port)
        assert other.open() is False
        assert capsys.readouterr().out.startswith("serial port already opened!")
        tl.close()
        assert tl.check_port_available() is True
        assert holders(sim.port) == ""

    def test_open_and_close_many_times(self, sim):
        tl = TOLVAN(sim.port)
        for attempt in range(5):
            assert tl.check_port_available() is True
            assert tl.open() is True
            assert tl.set_attenuation(100 * (attempt + 1), 2) is True
            assert tl.read_current_status(2)["attenuation"] == 100 * (attempt + 1)
            tl.close()
        assert len(sim.received()) == 10

    def test_another_process_holding_the_port(self, sim):
        holder = subprocess.Popen([sys.executable, "-c",
                                   "import sys, serial; s = serial.Serial(sys.argv[1]); print(flush=True); "
                                   "sys.stdin.read()", sim.port],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        try:
            holder.stdout.readline()
            assert TOLVAN(sim.port).check_port_available() is False
        finally:
            holder.stdin.close()
            holder.wait(timeout=10)
            holder.stdout.close()
        assert TOLVAN(sim.port).check_port_available() is True


class TestRawLine:
    def settings(self, fd):
        import termios
        iflag, oflag, _, lflag, *_ = termios.tcgetattr(fd)
        return bool(lflag & termios.ICANON), bool(lflag & termios.ECHO), bool(oflag & termios.OPOST), \
            bool(iflag & termios.ICRNL)

    def test_raw_for_a_client_that_sets_nothing(self, sim):
        fd = os.open(sim.port, os.O_RDWR | os.O_NOCTTY)
        try:
            assert self.settings(fd) == (False, False, False, False)
            os.write(fd, frame("7B 01 05 00 03 7C 7D"))
            time.sleep(0.2)
            assert os.read(fd, 64) == frame("7B 01 08 00 03 02 32 20 25 7D")
        finally:
            os.close(fd)

    def test_raw_again_after_a_client_left_it_cooked(self, sim):
        import termios
        fd = os.open(sim.port, os.O_RDWR | os.O_NOCTTY)
        cooked = termios.tcgetattr(fd)
        cooked[3] |= termios.ICANON | termios.ECHO
        cooked[1] |= termios.OPOST
        termios.tcsetattr(fd, termios.TCSANOW, cooked)
        os.close(fd)
        time.sleep(0.1)
        fd = os.open(sim.port, os.O_RDWR | os.O_NOCTTY)
        try:
            assert self.settings(fd) == (False, False, False, False)
        finally:
            os.close(fd)


class TestLifetime:
    @pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT])
    def test_stop_signal_exits_cleanly(self, start_simulator, connect, sig):
        sim = start_simulator()
        tl = connect(sim.port)
        assert tl.read_device_version() == VERSION
        assert sim.stop(sig) == 0
        assert log_lines(sim.log_path)[-1] == "# stopped by signal"

    def test_stop_while_a_reply_is_pending(self, start_simulator, connect):
        sim = start_simulator("--delay", "2000")
        connect(sim.port).ser.write(frame("7B 01 05 00 03 7C 7D"))
        time.sleep(0.1)
        began = time.monotonic()
        assert sim.stop() == 0
        assert time.monotonic() - began < 1

    def test_port_path_is_the_first_line(self, sim):
        assert re.fullmatch(r"/dev/\S+", sim.port)
        assert log_lines(sim.log_path)[:3] == ["# tolvan-sim log 2", f"# session {sim._session} pid {sim.process.pid}",
                                               f"# serving on {sim.port}"]


def run_simulator(*args):
    return subprocess.run([SIMULATOR, *args], capture_output=True, text=True, timeout=10)


@pytest.mark.skipif(SIMULATOR is None, reason="needs the simulator tolvan-sim")
class TestCommandLine:
    OPTIONS = {"--channels", "--wavelengths", "--versions", "--delay", "--split", "--drop-every", "--noise",
               "--exit-after", "--relay", "--replay", "--log", "--session", "--state", "--stop-on-stdin-close",
               "--private-dir", "--help", "--version"}

    def test_help_and_the_readme_document_every_option(self):
        result = run_simulator("--help")
        assert result.returncode == 0 and result.stderr == ""
        documented = set(re.findall(r"^  (--[a-z-]+)", result.stdout, re.MULTILINE))
        assert documented == self.OPTIONS
        assert max(map(len, result.stdout.splitlines())) <= 79
        readme = Path(__file__).resolve().parents[2] / "README.md"
        if readme.exists():  # the options table of its Simulator section
            table = readme.read_text(encoding="utf-8").split("\n## Simulator\n", 1)[1].split("\n### ", 1)[0]
            assert set(re.findall(r"^\| `(--[a-z-]+)", table, re.MULTILINE)) == self.OPTIONS

    @pytest.mark.parametrize("args, message", [
        (["--bogus"], "unknown option '--bogus'"),
        (["--delay"], "option '--delay' needs a value"),
        (["--channels", "0"], "invalid channel count '0'"),
        (["--channels", "4x"], "invalid channel count '4x'"),
        (["--wavelengths", "5=1310"], "names channel 5 but there are only 4 channels"),
        (["--wavelengths", "1310,70000"], "invalid wavelength '70000'"),
        (["--versions", "1,2"], "--versions takes three numbers"),
        (["--versions", "1,2,256"], "invalid version '256'"),
        (["--noise", "-1"], "invalid noise byte count '-1'"),
        (["extra"], "unexpected argument 'extra'"),
        (["--session", "run 1"], "--session takes 8 to 32 letters, digits, '-' or '_', not 'run 1'"),
    ])
    def test_refused_command_lines(self, args, message):
        result = run_simulator(*args)
        assert result.returncode == 2
        assert result.stdout == ""
        assert message in result.stderr

    def test_unwritable_log(self, tmp_path):
        result = run_simulator("--log", str(tmp_path / "missing" / "wire.log"))
        assert result.returncode == 1
        assert "cannot open log" in result.stderr

    def test_a_parent_that_cannot_read_the_path_is_not_left_a_simulator(self):
        reader, writer = os.pipe()
        os.close(reader)
        try:
            result = subprocess.run([SIMULATOR], stdout=writer, stderr=subprocess.PIPE, text=True, timeout=10)
        finally:
            os.close(writer)
        assert (result.returncode, result.stderr) == (1, "tolvan-sim: cannot print the serial end's path: Broken pipe\n")


@pytest.mark.skipif(not HAVE_PTYS, reason="the simulator is built where there are pseudo-terminals")
def test_simulator_installed_with_the_package():
    # Where the package is installed into this environment, the simulator
    # comes with it; without this the tests above would only skip.
    if not tolvan.__file__.startswith(sys.prefix):
        pytest.skip("tolvan is not installed into this environment")
    scripts = sysconfig.get_path("scripts")
    assert SIMULATOR is not None and os.path.dirname(SIMULATOR) == scripts
