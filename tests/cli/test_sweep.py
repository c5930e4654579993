"""The sweep's CSV as it is written, its plot, and Ctrl-C in the middle of it."""

import importlib.util
import os
import re
import signal
import subprocess
import time

import pytest
from tolvan import TOLVAN

from .conftest import command, environment, needs_simulator

pytestmark = needs_simulator


def rows(path):
    lines = path.read_text().splitlines(keepends=True)
    assert lines[0] == "time_s,set_db,read_db,ok\n"
    assert all(line.endswith("\n") and line.count(",") == 3 for line in lines)  # no half-written row
    return [line.rstrip("\n").split(",") for line in lines[1:]]


def test_csv_rows_as_the_instrument_answered(tolvan, instrument, tmp_path):
    # Every 3rd request unanswered: step 2's set, step 3's read-back.
    sim = instrument("--drop-every", "3")
    run = tolvan("-p", sim.port, "sweep", "--from", "0", "--to", "0.5", "--step", "0.2", "--ch", "2", "--csv", "s.csv")
    assert run.status == 1 and "2 of 3 steps did not read back as set (first at 0.20 dB)" in run.err, run
    table = rows(tmp_path / "s.csv")
    assert [row[1:] for row in table] == [["0.00", "0.00", "true"], ["0.20", "0.20", "false"], ["0.40", "", "false"]]
    times = [float(row[0]) for row in table]
    assert times == sorted(times) and times[0] >= 0.4  # a set and a read-back of 0.2 s each
    assert "0.40 dB           -  no  (no status reply)" in run.out, run
    assert "step/s" not in run.err, run  # no progress bar where standard error is not a terminal


@pytest.mark.parametrize("columns, width", [(100, 100), (0, 80)])  # 0: a terminal that reports no width
def test_progress_bar_on_a_terminal(instrument, tmp_path, columns, width):
    import fcntl, pty, struct, termios  # POSIX only, as the simulator

    primary, secondary = pty.openpty()
    fcntl.ioctl(secondary, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    process = subprocess.Popen(command("-p", instrument().port, "sweep", "--from", "0", "--to", "0.1", "--step", "0.1"),
                               cwd=tmp_path, env=environment(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=secondary)
    os.close(secondary)
    shown = b""
    with open(primary, "rb", buffering=0) as terminal:
        try:  # read as it comes, until the command's end closes the terminal (EOF, or EIO on Linux)
            while chunk := terminal.read(4096):
                shown += chunk
        except OSError:
            pass
    out, _ = process.communicate(timeout=60)
    assert process.returncode == 0 and b"2 of 2 steps" in out, out
    assert b"channel 1:" in shown and b"0/2 [" in shown and b"step/s" in shown, shown
    # The bar itself, between the percentage and the count, as wide as the terminal (tqdm may
    # leave its last column free).
    drawn = [line for line in shown.decode().replace("\r", "\n").splitlines() if "%|" in line]
    assert drawn and all(width - 1 <= len(line) <= width for line in drawn), shown


def test_plot_or_how_to_get_it(tolvan, instrument, tmp_path):
    sim = instrument()
    run = tolvan("-p", sim.port, "sweep", "--from", "0", "--to", "0.1", "--step", "0.1", "--plot", "s.svg")
    if importlib.util.find_spec("matplotlib") is None:
        assert run.status == 2 and "pip install matplotlib" in run.err, run
        assert sim.received() == []
    else:
        assert run.status == 0, run
        assert "<svg" in (tmp_path / "s.svg").read_text()


@pytest.mark.parametrize(("through", "dwell", "sig"), [("-p", "0", signal.SIGINT), ("--sim", "5", signal.SIGINT),
                                                      ("-p", "0", signal.SIGTERM)])
def test_ctrl_c_closes_the_port_keeps_the_csv_and_says_where_it_was_left(instrument, tmp_path, through, dwell, sig):
    port = instrument().port if through == "-p" else None
    args = ["-p", port] if port else ["--sim"]
    process = subprocess.Popen(command(*args, "sweep", "--from", "0", "--to", "20", "--step", "0.1", "--csv", "s.csv",
                                       "--dwell", dwell, "--json"), cwd=tmp_path, env=environment(), stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 30
        while len((tmp_path / "s.csv").read_text().splitlines() if (tmp_path / "s.csv").exists() else []) < 2:
            assert time.monotonic() < deadline and process.poll() is None, process.communicate()
            time.sleep(0.05)
        process.send_signal(sig)
        out, err = process.communicate(timeout=30)
    finally:
        process.kill()
    assert process.returncode == (130 if sig == signal.SIGINT else 128 + sig), err  # 143 for SIGTERM
    table = rows(tmp_path / "s.csv")
    done = [{"set_db": float(row[1]), "read_db": float(row[2]), "ok": True} for row in table]
    doc = __import__("json").loads(out)
    assert doc["steps"] == done and doc["error"].startswith("interrupted")
    last, after = table[-1][1], f"{float(table[-1][1]) + 0.1:.2f}"
    if dwell != "0":  # interrupted in the dwell of the last row's step
        assert f"channel 1 attenuation left at {last} dB" in err
    else:  # while setting the next step or reading it back
        left = re.search(r"channel 1 attenuation (left at|unknown \(stopped while setting) ([\d.]+) dB", err)
        assert left and left[2] in (last, after), err
    if port:
        reopened = TOLVAN(port)  # closed: free for the next program
        assert reopened.open() is True
        reopened.close()
    else:
        pid = int(re.search(r"started the simulated instrument \(tolvan-sim, pid (\d+)\)", err)[1])
        with pytest.raises(ProcessLookupError):  # stopped, and reaped
            os.kill(pid, 0)
