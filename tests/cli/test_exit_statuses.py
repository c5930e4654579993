"""Exit statuses: 1 no reply or output failed, 2 usage, 3 port, 128 + N a signal; with --json, one
document on stdout (none for usage)."""

import os
import re
import signal
import subprocess
import sys
import time

import pytest
import serial

from .conftest import STRICT_UTF8, Run, command, environment, needs_simulator

ACCEPTED = "0 to 655.34 dB in steps of 0.01 dB"

# Refused before any port is looked at: argument values the instrument cannot take, and no port.
USAGE = [
    (["set", "1.234"], "finer than the instrument's step of 0.01 dB"),
    (["set", "655.35"], "at or above 655.35 dB"),
    (["set", "65535mdB"], "finer than the instrument's step"),
    (["set", "-1"], "'-1': attenuation -1 dB is negative"),
    (["set", "3.5 volts"], ACCEPTED),
    (["set", "0." + "0" * 50 + "1"], ACCEPTED),
    (["sweep", "--from", "0", "--to", "1", "--step", "0"], "not a step: '0' (accepted: 0.01 to"),
    (["sweep", "--from", "0", "--to", "1", "--step", "1" + "0" * 5000], "not a step: '1000"),
    (["sweep", "--from", "1", "--to", "0", "--step", "-0.5"], "runs downwards when --to is below --from"),
    (["sweep", "--from", "0", "--to", "1"], "--step"),
    (["info", "--channels", "4-1"], "runs backwards"),
    (["status", "--ch", "256"], "1 to 255"),
    (["info", "--channels", "1,0"], "not a channel list"),
    (["wavelength", "0"], "not a wavelength"),
    (["status"], "give -p PORT (such as -p /dev/ttyUSB0 or -p COM3), set the environment variable TOLVAN_PORT, or try the simulator with --sim"),
    (["-p", "COM3", "--sim", "status"], "either -p/--port or --sim"),
    (["--sim-options", "--delay '250", "status"], "No closing quotation"),
    ([], "give a command word"),
]


@pytest.mark.parametrize(("args", "says"), USAGE, ids=[" ".join(a) or "nothing" for a, _ in USAGE])
def test_usage_errors_exit_2_with_nothing_on_stdout(tolvan, args, says):
    run = tolvan("--json", *args)
    assert (run.status, run.out) == (2, ""), run
    assert says in run.err, run


@needs_simulator
@pytest.mark.parametrize(("args", "says"), [
    (["wavelength", "1555", "--ch", "2"], "channel 2 does not support 1555 nm; it supports 1310, 1490, 1550"),
    (["sweep", "--from", "0", "--to", "1", "--step", "0.5", "--plot", "plot.pdf"], "must end in .png or .svg"),
    (["sweep", "--from", "0", "--to", "1", "--step", "0.5", "--csv", "no/such/folder.csv"], "cannot write"),
    (["sweep", "--from", "0", "--to", "1", "--step", "0.5", "--csv", "s.svg", "--plot", "./s.svg"], "name the same file"),
    (["sweep", "--from", "0", "--to", "1", "--step", "0.5", "--dwell", "1e10"], "not a dwell: '1e10'"),
    (["sweep", "--from", "0", "--to", "1", "--step", "0.5", "--dwell", "inf"], "not a dwell: 'inf'"),
    (["sweep", "--from", "0", "--to", "1", "--step", "0.5", "--dwell", "nan"], "not a dwell: 'nan'"),
])
def test_values_refused_after_the_port_is_known_exit_2(tolvan, instrument, args, says):
    sim = instrument()
    run = tolvan("-p", sim.port, "--json", *args)
    assert (run.status, run.out) == (2, ""), run
    assert says in run.err, run
    # Nothing is set: a refused sweep sends nothing, the wavelength only asks for the channel's list.
    assert {frame[3:5] for frame in sim.received()} <= {bytes([0x07, 0x2E])}, sim.received()


@needs_simulator
@pytest.mark.parametrize(("args", "calls", "doc"), [
    (["status", "--ch", "3"], "read_optical_length(ch=3), read_current_status(ch=3)",
     {"channel": 3, "wavelength_nm": None, "attenuation_db": None, "connected": None}),
    (["status", "--ch", "255"], "read_optical_length(ch=255), read_current_status(ch=255)",  # 255: still a channel
     {"channel": 255, "wavelength_nm": None, "attenuation_db": None, "connected": None}),
    (["info", "--channels", "2"], "read_device_version(), read_optical_length(ch=2), read_current_status(ch=2)",
     {"version": None, "channels": [{"channel": 2, "wavelengths_nm": None, "wavelength_nm": None,
                                     "attenuation_db": None, "connected": None}]}),
    (["set", "2"], "set_attenuation(2000, ch=1)", {"channel": 1, "attenuation_db": 2.0, "ok": False}),
    (["disconnect", "--ch", "4"], "dis_connection(ch=4)", {"channel": 4, "ok": False}),
    (["wavelength", "1550"], "read_optical_length(ch=1)", {"channel": 1, "wavelength_nm": 1550, "ok": False}),
    (["sweep", "--from", "0", "--to", "0", "--step", "1"], "steps did not read back as set (first at 0.00 dB: no reply to set)",
     {"channel": 1, "steps": [{"set_db": 0.0, "read_db": None, "ok": False, "note": "no reply to set"}]}),
])
def test_no_reply_exits_1_naming_the_command(tolvan, instrument, args, calls, doc):
    port = instrument("--drop-every", "1").port
    run = tolvan("-p", port, *args, "--json", "--trace")
    assert run.status == 1, run
    assert calls in run.err and "Troubleshooting" in run.err, run
    got = run.doc
    for step in got.get("steps", []):
        assert step.pop("time_s") > 0
    assert got == {**doc, "error": got["error"]} and calls in got["error"]
    # --trace: each request, and that nothing answered it.
    sent = re.findall(r"^trace +[\d.]+ s \S+ sent +7B", run.err, re.MULTILINE)
    unanswered = re.findall(r"^trace +[\d.]+ s \S+ received nothing \(no answer within 1 s\)$", run.err, re.MULTILINE)
    assert len(sent) == len(unanswered) >= 1, run
    if args[0] in ("set", "disconnect", "sweep"):  # a command that changes the channel says what is known
        assert re.search(r"channel \d attenuation unknown \(no reply while \w+", run.err), run


@needs_simulator
def test_a_port_that_cannot_be_opened_exits_3(tolvan, instrument, tmp_path):
    # A name that is not UTF-8, in a locale that writes UTF-8 strictly: shown escaped everywhere,
    # in the driver's quoted line too, and the document holds no lone surrogate.
    missing = tolvan("-p", os.fsencode(tmp_path) + b"/ttyUSB\xff", "--json", "info", env=STRICT_UTF8)
    assert missing.status == 3, missing
    assert "no such port: is the adapter plugged in?" in missing.err and "tolvan ports" in missing.err, missing
    # The document stands on its own: it quotes the driver's own line.
    assert missing.doc == {"error": missing.err.removeprefix("tolvan info: ").rstrip("\n")}
    assert "Cannot open serial port" in missing.doc["error"] and "No such file or directory" in missing.doc["error"]
    assert missing.doc["error"].count("ttyUSB\\xff") == 3 and "\\u" not in missing.out, missing

    sim = instrument()
    (tmp_path / "last.csv").write_text("the last sweep's rows\n")
    with serial.Serial(sim.port):  # another program holds the port
        held = tolvan("-p", sim.port, "sweep", "--from", "1", "--to", "2", "--step", "1", "--csv", "last.csv")
    assert (held.status, held.out) == (3, ""), held
    assert (tmp_path / "last.csv").read_text() == "the last sweep's rows\n"  # kept: the sweep never began
    assert f"cannot open {sim.port}: " in held.err and f"(pid {os.getpid()}) holds it" in held.err, held
    assert sim.received() == []


@needs_simulator
def test_the_port_vanishing_mid_command_exits_1(tolvan):
    # The instrument answers one request, then goes away as if unplugged.
    run = tolvan("--sim-options=--exit-after 1", "sweep", "--from", "1", "--to", "2", "--step", "1", "--json")
    assert run.status == 1, run
    assert "failed during read_current_status(ch=1): " in run.doc["error"] and "unplugged" in run.doc["error"], run
    assert run.doc["error"].endswith("channel 1 attenuation left at 1.00 dB")  # its set was answered


def finished(process, timeout=60):
    out, err = process.communicate(timeout=timeout)
    return Run(subprocess.CompletedProcess(process.args, process.returncode, out, err))


@needs_simulator
def test_many_commands_at_once_on_one_port_one_wins(instrument, tmp_path):
    """Started together, each tries to open the port: one holds it through its sweep's dwell, every
    other exits 3 and sends nothing (two openers on one line would read each other's replies)."""
    sim = instrument()
    sweep = ["sweep", "--from", "0.5", "--to", "0.5", "--step", "1", "--dwell", "4"]
    processes = [subprocess.Popen(command("-p", sim.port, "--json", *sweep), cwd=tmp_path, env=environment(),
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                 for _ in range(6)]
    runs = [finished(process) for process in processes]
    assert sorted(run.status for run in runs) == [0] + [3] * 5, runs
    assert all("holds it" in run.doc["error"] for run in runs if run.status == 3), runs
    assert [frame[3:5] for frame in sim.received()] == [b"\x14\x3c", b"\x14\x36"]  # the one sweep's set and read


# A signal at any moment of a command: one JSON document, no traceback, and a line that says what
# the instrument was left at as the instrument itself holds it. The replies come 0.3 s after each
# request; the signal goes `after` seconds after the port opened (the trace's "opened" line), or
# (after=None) as soon as the simulator of --sim has started, while the port is being opened, or
# (after="parsing") while the command line is read (the value's parser imports decimal: held up).
SIGNALS = [
    (["set", "3.25"], signal.SIGTERM, "parsing"),
    (["set", "3.25"], signal.SIGINT, "parsing"),
    (["set", "3.25"], signal.SIGTERM, None),
    (["sweep", "--from", "0.25", "--to", "1", "--step", "0.25"], signal.SIGINT, None),
    (["set", "3.25"], signal.SIGINT, 0.0),  # probably just after the request went out
    (["set", "3.25"], signal.SIGTERM, 0.15),  # waiting for the reply
    (["set", "3.25"], signal.SIGINT, 0.29),
    (["set", "3.25"], signal.SIGTERM, 0.3),  # about when the reply comes
    (["set", "3.25"], signal.SIGINT, 0.31),  # closing the port, reporting: late
    (["set", "3.25"], signal.SIGTERM, 0.32),
    (["sweep", "--from", "0.25", "--to", "1", "--step", "0.25"], signal.SIGINT, 0.45),  # reading back step 1
    (["sweep", "--from", "0.25", "--to", "1", "--step", "0.25"], signal.SIGINT, 0.75),  # setting step 2
    (["sweep", "--from", "0.25", "--to", "1", "--step", "0.25"], signal.SIGTERM, 0.8),
    (["clear"], getattr(signal, "SIGHUP", signal.SIGTERM), 0.1),  # SIGHUP: POSIX, as the simulator
]


@needs_simulator
@pytest.mark.parametrize(("args", "sig", "after"), SIGNALS,
                         ids=[f"{a[0]}-{s.name}-{t}" for a, s, t in SIGNALS])
def test_a_signal_at_any_moment_says_what_the_instrument_was_left_at(instrument, tmp_path, args, sig, after):
    sim = instrument("--delay", "300") if after is not None else None
    port = ["-p", sim.port] if sim else ["--sim-options=--delay 300"]
    if args == ["clear"]:  # something for the clear to change
        subprocess.run(command(*port, "set", "2"), env=environment(), capture_output=True, timeout=60)
    before = sim.state()[1]["attenuation"] if sim else 0
    taken = len(sim.received()) if sim else 0
    env, mark = environment(), " opened" if sim else "started the simulated instrument"
    if after == "parsing":
        (tmp_path / "slow").mkdir()
        (tmp_path / "slow" / "decimal.py").write_text("import sys, time\nprint('importing decimal', file=sys.stderr, "
                                                      "flush=True)\ntime.sleep(30)\n")
        env, mark, after = environment(PYTHONPATH=str(tmp_path / "slow")), "importing decimal", 0
    process = subprocess.Popen(command(*port, "--json", "--trace", *args), cwd=tmp_path, env=env,
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        trace = ""
        while mark not in trace:
            line = process.stderr.readline()
            assert line, finished(process)
            trace += line
        time.sleep(after or 0)
        process.send_signal(sig)
        run = finished(process)
    finally:
        process.kill()
    run.err = trace + run.err
    assert "Traceback" not in run.err and "Exception ignored" not in run.err, run
    doc = run.doc  # one document, whatever the moment
    sent = len(re.findall(r"^trace .* sent ", run.err, re.MULTILINE))
    if sim:  # what the command sent may still be on its way to the simulator (a loaded machine): wait for it
        deadline = time.monotonic() + 10
        while len(sim.received()) < taken + sent and time.monotonic() < deadline:
            time.sleep(0.02)
    now = sim.state()[1]["attenuation"] if sim else 0 if not sent else None  # None: unknown, the simulator is gone
    if run.status == 0:  # the signal came once the outcome was settled: it stands
        assert "error" not in doc and now != before, run
        return
    assert run.status == 128 + sig and doc["error"].startswith("interrupted; "), run
    left = doc["error"].removeprefix("interrupted; ").removeprefix("port closed; ")
    assert re.search(rf"^tolvan( {args[0]})?: {re.escape(doc['error'])}$", run.err, re.MULTILINE), run
    if now is None:  # sent through a simulator that is gone: what it holds is not known here
        assert "attenuation" in left, run
    elif now == before:  # the change never reached the instrument: said so, or said to be unknown
        assert (left == "nothing was sent to the instrument" or args[0] == "sweep" and "unknown" not in left
                or re.fullmatch(r"channel 1 attenuation unknown \(stopped while (setting [\d.]+ dB|clearing it)\)",
                                left)), run
    else:  # it did: named as done, or as unknown while it was under way; never the value before it
        value = "0.00" if args[0] == "clear" else f"{now / 1000:.2f}"
        assert left in (f"channel 1 attenuation set to {value} dB", f"channel 1 attenuation left at {value} dB",
                        "channel 1 attenuation cleared", f"channel 1 attenuation unknown (stopped while setting "
                        f"{value} dB)", "channel 1 attenuation unknown (stopped while clearing it)"), run


def full_file_size(limit, close_stdout=False):
    """For the child: files it writes may not grow beyond `limit` bytes (a full disk, for one file);
    with `close_stdout`, it starts with no standard output at all (`>&-` in a shell)."""
    def apply():
        import resource

        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
        if close_stdout:
            os.close(1)
    return apply


# Standard output or the CSV failing: exit 1, the file named, the port closed, where the
# attenuation was left; no traceback, and no second failure when Python flushes at exit.
SWEEP = ["sweep", "--from", "0.25", "--to", "0.5", "--step", "0.25"]
OUTPUT_FAILURES = [
    ("closed", ["--json", "info", "--channels", "1"],
     "cannot write the JSON document: standard output was closed; port closed; this command changes no attenuation"),
    ("closed", ["--json", *SWEEP],
     "cannot write the JSON document: standard output was closed; port closed; channel 1 attenuation left at 0.50 dB"),
    ("closed", SWEEP, "stopped, standard output was closed; port closed; nothing was sent to the instrument"),
    ("full", ["--json", "status"], "cannot write the JSON document: No space left on device; port closed; "
                                   "this command changes no attenuation"),
    ("full", ["info"], "cannot write standard output: No space left on device; port closed; "
                       "this command changes no attenuation"),
    ("csv", ["--json", *SWEEP, "--csv", "s.csv"], "cannot write s.csv: File too large; port closed; "
                                                  "channel 1 attenuation left at 0.50 dB"),
    ("full", ["--help"], "cannot write the help: No space left on device"),  # argparse's own print says 0
    ("closed", ["set", "--help"], "cannot write the help: standard output was closed"),
    ("full", ["--version"], "cannot write the version: No space left on device"),
    # started with standard output closed: the same as a reader that has gone
    ("none", ["--json", "set", "2"], "cannot write the JSON document: standard output was closed; port closed; "
                                     "channel 1 attenuation set to 2.00 dB"),
    ("none", ["info"], "stopped, standard output was closed; port closed; this command changes no attenuation"),
    ("none", ["--version"], "cannot write the version: standard output was closed"),
]


@needs_simulator
@pytest.mark.skipif(sys.platform == "win32", reason="/dev/full and file size limits are POSIX")
@pytest.mark.parametrize(("stdout", "args", "says"), OUTPUT_FAILURES, ids=[f"{o}-{' '.join(a)}" for o, a, _ in OUTPUT_FAILURES])
def test_output_that_cannot_be_written_exits_1_naming_it(instrument, tmp_path, stdout, args, says):
    sim = instrument()
    read_end, write_end = os.pipe()
    os.close(read_end)  # the reader of standard output has gone
    full = os.open("/dev/full", os.O_WRONLY)
    target = {"closed": write_end, "full": full, "csv": subprocess.PIPE, "none": subprocess.DEVNULL}[stdout]
    # No bytecode written: under the size limit it would be cut short, in a cache other processes read.
    process = subprocess.Popen(command("-p", sim.port, *args), cwd=tmp_path,
                               env=environment(PYTHONDONTWRITEBYTECODE="1"), stdout=target,
                               stdin=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                               preexec_fn=full_file_size(len("time_s,set_db,read_db,ok,note\n") + 30,
                                                         close_stdout=stdout == "none"))
    os.close(write_end)
    os.close(full)
    run = finished(process)
    assert run.status == 1, run
    word = next((arg for arg in args if not arg.startswith("-")), None)
    assert run.err.endswith(f"tolvan{f' {word}' if word else ''}: {says}\n"), run
    assert "Traceback" not in run.err and "Exception ignored" not in run.err, run
    if stdout == "csv":  # the document still comes, with the rows that were written
        assert run.doc["error"] == says and len(run.doc["steps"]) == 2, run
        assert (tmp_path / "s.csv").read_text().count("\n") == 2  # the header and the first step
    with serial.Serial(sim.port, exclusive=True):  # closed, and free for the next program
        pass


@needs_simulator
@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
def test_serve_exits_as_its_help_says_when_stopped(tolvan, sig):
    """The statuses `tolvan serve --help` gives are the ones it exits with (it is stopped by design)."""
    helped = " ".join(tolvan("serve", "--help").out.split())
    said = re.search(r"exit status: (\d+) stopped by Ctrl-C, SIGTERM or SIGHUP once serving", helped)
    assert said, helped
    process = subprocess.Popen(command("serve", "--sim", "--scpi", "127.0.0.1:0"), env=environment(),
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        while "serving" not in (line := process.stderr.readline()):
            assert line, finished(process)
        process.send_signal(sig)
        run = finished(process)
    finally:
        process.kill()
    assert run.status == int(said[1]), run
