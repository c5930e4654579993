"""The sweep's CSV as it is written, its plot, and Ctrl-C in the middle of it."""

import json
import os
import re
import signal
import struct
import subprocess
import time
import xml.etree.ElementTree as ElementTree

import pytest
from conftest import frame
from tolvan import TOLVAN

from .conftest import command, environment, needs_simulator

pytestmark = needs_simulator


def rows(path):
    lines = path.read_text().splitlines(keepends=True)
    assert lines[0] == "time_s,set_db,read_db,ok,note\n"
    assert all(line.endswith("\n") and line.count(",") == 4 for line in lines)  # no half-written row
    return [line.rstrip("\n").split(",") for line in lines[1:]]


def test_csv_rows_as_the_instrument_answered(tolvan, instrument, tmp_path):
    # Every 4th request unanswered: step 2's read-back, then (after the version read that proves the
    # line in step) step 4's set, which took effect all the same: its read-back shows it.
    sim = instrument("--drop-every", "4")
    run = tolvan("-p", sim.port, "sweep", "--from", "0", "--to", "0.6", "--step", "0.2", "--ch", "2", "--csv", "s.csv",
                 "--json")
    assert run.status == 1 and "2 of 4 steps did not read back as set (first at 0.20 dB: no reply to read)" in run.err, run
    table = rows(tmp_path / "s.csv")
    assert [row[1:] for row in table] == [["0.00", "0.00", "true", ""], ["0.20", "", "false", "no reply to read"],
                                          ["0.40", "0.40", "true", ""], ["0.60", "0.60", "false", "no reply to set"]]
    times = [float(row[0]) for row in table]
    assert times == sorted(times) and times[0] >= 0.4  # a set and a read-back of 0.2 s each
    # The document holds what the CSV holds.
    assert run.doc["steps"] == [{"time_s": float(t), "set_db": float(s), "read_db": float(r) if r else None,
                                 "ok": ok == "true", "note": note or None} for t, s, r, ok, note in table]
    text = tolvan("-p", instrument("--drop-every", "3").port, "sweep", "--from", "0", "--to", "0.6", "--step", "0.2")
    assert re.search(r"0\.40 dB +- +no +\(no reply to read\)\n", text.out), text
    assert "step/s" not in text.err, text  # no progress bar where standard error is not a terminal
    # An instrument (a recording) that holds 0.30 dB when told 0.20 dB.
    recording = tmp_path / "differs.log"
    exchanges = [(frame(1, b"\x14\x3C", [20, 0]), frame(1, b"\x14\x3C")),
                 (frame(1, b"\x14\x36"), frame(1, b"\x14\x36", [0, 1, 0, 30, 0]))]
    recording.write_text("# tolvan-sim log 1\n" + "".join(
        f"rx {request.hex(' ').upper()} @{100 * i}.000\ntx {reply.hex(' ').upper()} +5.000\n"
        for i, (request, reply) in enumerate(exchanges)))
    differs = tolvan("-p", instrument("--replay", recording).port, "sweep", "--from", "0.2", "--to", "0.2", "--step", "1",
                     "--csv", "d.csv")
    assert differs.status == 1 and "(first at 0.20 dB: read differs)" in differs.err, differs
    assert [row[1:] for row in rows(tmp_path / "d.csv")] == [["0.20", "0.30", "false", "read differs"]]


def test_readings_shown_as_the_steps_the_instrument_holds(tolvan, instrument, tmp_path):
    # 1.13, 0.57 and 0.29 dB are floats just below their steps (0.29 is 0.28999...): each is shown
    # as the step itself, in the text and in the CSV.
    run = tolvan("-p", instrument().port, "sweep", "--from", "1.13", "--to", "0.29", "--step", "0.28", "--csv", "s.csv")
    shown = ["1.13", "0.85", "0.57", "0.29"]
    assert run.status == 0, run
    assert re.findall(r"^ +[\d.]+ +([\d.]+) dB +([\d.]+) dB +yes$", run.out, re.MULTILINE) == [(v, v) for v in shown], run
    assert [row[1:] for row in rows(tmp_path / "s.csv")] == [[v, v, "true", ""] for v in shown]


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


def test_plot_drawn_or_how_to_get_it(tolvan, instrument, tmp_path):
    # Without matplotlib (hidden from the command by one that cannot be imported): refused, nothing sent.
    hidden = tmp_path / "hidden" / "matplotlib"
    hidden.mkdir(parents=True)
    (hidden / "__init__.py").write_text("raise ImportError('hidden by the test')\n")
    sim = instrument()
    refused = tolvan("-p", sim.port, "sweep", "--from", "0", "--to", "0.1", "--step", "0.1", "--plot", "s.svg",
                     env={"PYTHONPATH": hidden.parent})
    assert refused.status == 2 and "pip install matplotlib" in refused.err and "hidden by the test" in refused.err
    assert sim.received() == [] and not (tmp_path / "s.svg").exists()
    image = pytest.importorskip("matplotlib.image", reason="the plot extra (matplotlib) draws the plot")
    # Drawn: a PNG, and an SVG where every 3rd request is unanswered, so that steps fail both ways.
    png_run = tolvan("-p", instrument().port, "sweep", "--from", "0", "--to", "0.1", "--step", "0.1", "--plot", "s.png")
    assert png_run.status == 0 and "plot: s.png" in png_run.out, png_run
    run = tolvan("-p", instrument("--drop-every", "3").port, "--json", "sweep", "--from", "0", "--to", "0.5", "--step",
                 "0.1", "--plot", "s.svg")
    assert run.status == 1 and "could not draw" not in run.err, run
    notes = [step["note"] for step in run.doc["steps"]]
    assert set(notes) == {None, "no reply to set", "no reply to read"}, notes
    with open(tmp_path / "s.png", "rb") as png:
        assert png.read(8) == b"\x89PNG\r\n\x1a\n" and struct.unpack(">4x4sII", png.read(16)) == (b"IHDR", 600, 450)
    assert image.imread(tmp_path / "s.png").shape[:2] == (450, 600)  # readable, as stated
    groups = {element.get("id"): element for element in ElementTree.parse(tmp_path / "s.svg").iter()
              if element.tag.endswith("}g")}
    marks = {gid: len([e for e in groups[gid].iter() if e.tag.endswith("}use")]) for gid in ("read-back", "failed", "unread")}
    # One mark per step: read back as set, failed with a value read (its set unanswered), nothing read.
    assert marks == {"read-back": notes.count(None), "failed": notes.count("no reply to set"),
                     "unread": notes.count("no reply to read")}, marks
    assert any(e.tag.endswith("}path") and "stroke-dasharray" in e.get("style", "") for e in groups["ideal"].iter())
    assert 'stroke: #ff0000' in ElementTree.tostring(groups["failed"], encoding="unicode")  # failed steps in red


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
    done = [{"time_s": float(row[0]), "set_db": float(row[1]), "read_db": float(row[2]), "ok": True, "note": None}
            for row in table]
    doc = json.loads(out)
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
