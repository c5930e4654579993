"""tolvan_sim as users' tests meet it: the context manager, its errors, what it reports of the
instrument, the pytest fixtures, and the mock template TOLVANSpec."""

import inspect
import json
import os
import re
import signal
import stat
import subprocess
import sys
import sysconfig
import tempfile
import time
import types
from pathlib import Path
from unittest import mock

import pytest
import serial
from hypothesis import HealthCheck, given, settings, strategies as st

import tolvan
import tolvan_sim.instrument
from .support import SIMULATOR, frame
from tolvan import TOLVAN
from tolvan_sim import (Command, SimulatedInstrument, SimulatorError, SimulatorNotFound, TOLVANSpec,
                        find_simulator)

pytestmark = pytest.mark.skipif(SIMULATOR is None, reason="needs the simulator tolvan-sim")


def ended(pid):
    """Whether no process has this id any more (a child not yet reaped still counts as there)."""
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    return False


def gone(pid):
    """Whether the process has exited: ended, or a zombie that its new parent has not reaped yet."""
    try:
        return ended(pid) or Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


def wait_until(condition, timeout=3.0):
    deadline = time.monotonic() + timeout
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.01)
    return condition()


def program(tmp_path, body, name="fake-sim"):
    """A stand-in for the simulator: a shell script running `body`."""
    path = tmp_path / name
    path.write_text("#!/bin/sh\n" + body + "\n")
    path.chmod(0o755)
    return str(path)


def test_serves_in_the_block_and_stops_cleanly_after_it(tmp_path):
    # Options as a user writes them: ints and paths beside strings; the log given as the option,
    # a file that an earlier session wrote to.
    (tmp_path / "wire.log").write_text("# tolvan-sim log 1\nrx 7B 01 05 07 2E 4A 7D @1.000\n")
    with SimulatedInstrument("--versions", "3,4,5", "--channels", 2, "--log", tmp_path / "wire.log") as sim:
        assert stat.S_ISCHR(os.stat(sim.port).st_mode)
        tl = TOLVAN(sim.port)
        assert tl.open() is True
        assert tl.read_device_version() == {"module_version": 3, "hard_version": 4, "soft_version": 5}
        assert tl.read_current_status(3) is None
        tl.close()
        assert sim.running
    assert not sim.running and sim.process.returncode == 0
    assert sim.process.stdout.closed and sim.process.stdin.closed
    assert sim.stop() == 0  # nothing left to stop
    assert sim.log_path == tmp_path / "wire.log"
    assert sim.received() == [frame("7B 01 05 00 03 7C 7D")]
    assert sim.commands() == [Command("read_device_version", 1)]
    assert sim.refused() == [(frame("7B 03 05 14 36 33 7D"), "no such channel")]
    assert sim.notes("bad") == ["no such channel"]
    assert "stopped" in repr(sim)
    # A line still being written (here: half of one) is read once whole.
    with (tmp_path / "wire.log").open("a") as log:
        log.write(f"{sim._session} rx 7B 01 0")
    assert sim.received() == [frame("7B 01 05 00 03 7C 7D")]


def test_an_error_in_the_block_still_stops_it():
    took = []
    for _ in range(3):
        with pytest.raises(KeyError), SimulatedInstrument() as sim:
            began = time.monotonic()
            raise KeyError("in the block")
        took.append(time.monotonic() - began)
        assert not sim.running
    # Told that its parent stops it, it does not wait to see whether the parent is going (0.1 s, every
    # time): the quickest of three stops shows it, whatever load delays one of them.
    assert min(took) < 0.1, took


def test_one_nobody_stops_ends_with_the_interpreter():
    code = "from tolvan_sim import SimulatedInstrument; sim = SimulatedInstrument(); print(sim.process.pid)"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    pid = int(done.stdout)
    try:
        assert ended(pid)
    finally:
        if not ended(pid):
            os.kill(pid, 9)


@pytest.mark.parametrize("options, said", [
    (["--channels", "0"], "(exit status 2): tolvan-sim: invalid channel count '0'"),
    (["--bogus"], "(exit status 2): tolvan-sim: unknown option '--bogus'"),
    (["--help"], "(exit status 0): Usage: tolvan-sim"),  # it answers, but serves no port
])
def test_options_it_refuses_are_reported_with_its_own_message(options, said):
    with pytest.raises(SimulatorError) as raised:
        SimulatedInstrument(*options)
    assert str(raised.value).startswith(f"tolvan-sim {' '.join(options)} did not start {said}")


def test_where_the_simulator_is_looked_for(monkeypatch, tmp_path):
    # Not in the environment's scripts folder: the first tolvan-sim on PATH, else none.
    monkeypatch.setattr(sysconfig, "get_path", lambda *args: str(tmp_path))
    on_path = tmp_path / "bin"
    on_path.mkdir()
    (on_path / "tolvan-sim").symlink_to(SIMULATOR)
    monkeypatch.setenv("PATH", str(on_path))
    assert find_simulator() == str(on_path / "tolvan-sim")
    with SimulatedInstrument() as sim:
        assert sim.program == str(on_path / "tolvan-sim") and sim.state()[1]["attenuation"] == 0
    monkeypatch.setenv("PATH", str(tmp_path))
    assert find_simulator() is None
    with pytest.raises(SimulatorNotFound, match=f"^tolvan-sim was not found in {tmp_path} nor on PATH: .*"
                                                r"\(pip install \. in a checkout, or its wheel\)$"):
        SimulatedInstrument()
    with pytest.raises(SimulatorNotFound, match="^cannot start .*/absent: No such file or directory$"):
        SimulatedInstrument(program=str(tmp_path / "absent"))
    monkeypatch.setattr(tolvan_sim.instrument, "SUPPORTED", False)
    with pytest.raises(SimulatorNotFound, match="^tolvan-sim is not built on Windows"):
        SimulatedInstrument()


# Every way a start can fail is a SimulatorError, raised within the start time-out (here cut to
# 0.5 s), with nothing left running.
START_FAILURES = {
    "a folder": (lambda tmp: {"program": str(tmp)}, "^cannot start .*: Permission denied$"),
    "not executable": (lambda tmp: {"program": str(tmp / "wire.log")}, "^cannot start .*: Permission denied$"),
    "a first line that never ends": (lambda tmp: {"program": program(tmp, "printf /dev/pts/99; exec sleep 30")},
                                     r"^tolvan-sim reported no port within 0.5 s: '/dev/pts/99'$"),
    "no port but a line": (lambda tmp: {"program": program(tmp, "echo hello; exec sleep 30")},
                           "reported no port within 0.5 s: 'hello'$"),
    "log to standard error": (lambda tmp: {"log": "-"}, r"^log='-' sends the frame log to standard error"),
    "the log option to standard error": (lambda tmp: {"options": ["--log=-"]}, "^log='-' sends"),
    "two logs": (lambda tmp: {"log": tmp / "a.log", "options": ["--log", tmp / "b.log"]}, "given twice"),
    "a state file": (lambda tmp: {"options": ["--state", tmp / "s.json"]}, "gives the simulator its --state itself"),
    "a private folder": (lambda tmp: {"options": [f"--private-dir={tmp}"]}, "its --private-dir itself"),
    "an unwritable log": (lambda tmp: {"log": tmp / "missing" / "wire.log"},
                          "did not start \\(exit status 1\\): tolvan-sim: cannot open log"),
    "a log under a file": (lambda tmp: {"log": tmp / "wire.log" / "x.log"},
                           "did not start \\(exit status 1\\): tolvan-sim: cannot open log"),
    "an option without its value": (lambda tmp: {"options": ["--log"]}, "^tolvan-sim --log did not start "
                                    "\\(exit status 2\\): tolvan-sim: option '--log' needs a value"),
    "a file name that is not UTF-8": (lambda tmp: {"options": ["--replay", tmp / os.fsdecode(b"\xff.log")]},
                                      "did not start \\(exit status 2\\): tolvan-sim: cannot read .*\ufffd.log"),
}


@pytest.mark.parametrize("case", START_FAILURES)
def test_every_start_failure_is_a_simulator_error_in_time(case, tmp_path, monkeypatch):
    monkeypatch.setattr(tolvan_sim.instrument, "START_TIMEOUT", 0.5)
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))  # where its private folder would stay
    (tmp_path / "wire.log").write_text("")
    arguments, message = START_FAILURES[case]
    given = arguments(tmp_path)
    began = time.monotonic()
    with pytest.raises(SimulatorError, match=message) as raised:
        SimulatedInstrument(*given.get("options", []), log=given.get("log"), program=given.get("program"))
    assert time.monotonic() - began < 1.5
    assert type(raised.value) is SimulatorError
    assert not [name for name in os.listdir(tmp_path) if name.startswith("tolvan-sim-")]


def test_a_start_interrupted_leaves_nothing_running(tmp_path, monkeypatch):
    # A test's time-out or Ctrl-C while the simulator starts: its traceback keeps the object.
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))

    def interrupt(*_):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        with pytest.raises(KeyboardInterrupt) as raised:
            SimulatedInstrument(program=program(tmp_path, f"echo $$ > {tmp_path}/pid; exec sleep 30"))
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert raised.value is not None and wait_until(lambda: gone(int((tmp_path / "pid").read_text())))
    assert not [name for name in os.listdir(tmp_path) if name.startswith("tolvan-sim-")]


def test_stop_kills_a_simulator_that_ignores_sigterm(tmp_path, monkeypatch):
    # Killed once the stop time-out has passed, and only once: a stop that waited the time-out
    # again (to reap it, say) would take twice as long. Killing and reaping take milliseconds:
    # half a time-out of margin holds on a loaded machine.
    monkeypatch.setattr(tolvan_sim.instrument, "STOP_TIMEOUT", 1.0)
    sim = SimulatedInstrument(program=program(tmp_path, "trap '' TERM; echo /dev/pts/99; exec sleep 30"))
    assert sim.running
    began = time.monotonic()
    assert sim.stop() == -signal.SIGKILL
    assert 1.0 <= time.monotonic() - began < 1.5
    assert not sim.running and sim.process.stdout.closed and sim.process.stdin.closed


def test_running_is_false_once_the_simulator_died():
    with SimulatedInstrument() as sim:
        os.kill(sim.process.pid, signal.SIGKILL)
        assert wait_until(lambda: not sim.running)
        assert "stopped (-9)" in repr(sim)


ORPHANED = """
import os, signal, sys, time
from tolvan_sim import SimulatedInstrument
sim = SimulatedInstrument(log=sys.argv[2])
print(sim.process.pid, flush=True)
if sys.argv[1] == "os._exit":
    os._exit(0)
time.sleep(60)
"""


@pytest.mark.parametrize("ending", ["os._exit", "SIGKILL", "SIGTERM", "SIGTERM to its process group"])
def test_the_simulator_ends_with_the_process_that_started_it(ending, tmp_path):
    (tmp_path / "tmp").mkdir()
    kept = tmp_path / "kept.log"
    parent = subprocess.Popen([sys.executable, "-c", ORPHANED, ending, kept], stdout=subprocess.PIPE, text=True,
                              env={**os.environ, "TMPDIR": str(tmp_path / "tmp")}, start_new_session=True)
    pid = int(parent.stdout.readline())
    try:
        if ending == "SIGTERM to its process group":  # as timeout(1) and CI runners stop a job
            os.killpg(parent.pid, signal.SIGTERM)
        elif ending != "os._exit":
            parent.send_signal(getattr(signal, ending))
        parent.wait(timeout=10)
        assert wait_until(lambda: gone(pid)), f"tolvan-sim {pid} outlived the process that started it"
        # Its private folder, made in the parent's TMPDIR, goes with it; the log asked for stays.
        assert wait_until(lambda: not any((tmp_path / "tmp").iterdir())), list((tmp_path / "tmp").iterdir())
        assert kept.read_text().startswith("# tolvan-sim log 2\n# session ")
    finally:
        parent.stdout.close()
        if not gone(pid):
            os.kill(pid, signal.SIGKILL)


def test_simulators_sharing_a_log_each_read_their_own_part(tmp_path):
    # Two at the same time, their requests in turns and then in floods that they log at once, and a
    # third on the same file after the first has stopped.
    shared = tmp_path / "shared.log"
    status = [frame("7B 01 05 14 36 35 7D"), frame("7B 02 05 14 36 34 7D")]
    first, second = SimulatedInstrument(log=shared), SimulatedInstrument(log=shared)
    with serial.Serial(first.port, timeout=5) as one, serial.Serial(second.port, timeout=5) as two:
        for _ in range(3):
            for line, request in ((one, status[0]), (two, status[1])):
                line.write(request)
                assert len(line.read(12)) == 12
        for line, request in ((one, status[0]), (two, status[1])):
            line.write(request * 2000)
        assert len(one.read(12 * 2000)) == len(two.read(12 * 2000)) == 12 * 2000
    assert first.stop() == 0
    with SimulatedInstrument(log=shared) as third:
        tl = TOLVAN(third.port)
        assert tl.open() and tl.set_attenuation(1234, 2)
        tl.close()
    assert second.stop() == 0
    assert first.commands() == [Command("read_current_status", 1)] * 2003 and first.refused() == []
    assert second.commands() == [Command("read_current_status", 2)] * 2003 and second.refused() == []
    assert third.commands() == [Command("set_attenuation", 2, 1230)]
    # Every line appended whole: a session's header, or an event or a frame of one of the three,
    # whose lines take turns in the file.
    sims = (first, second, third)
    headers = {"# tolvan-sim log 2", *(f"# session {sim._session} pid {sim.process.pid}" for sim in sims)}
    line_of = re.compile(r"(\S+) (# .+|(rx|tx) [0-9A-F]{2}( [0-9A-F]{2})+ [@+]\d+\.\d{3})")
    names = [line_of.fullmatch(line) for line in shared.read_text().splitlines() if line not in headers]
    assert all(found and found[1] in {sim._session for sim in sims} for found in names)
    assert sum(before[1] != after[1] for before, after in zip(names, names[1:])) >= 6


# A signal that lands while stop() runs, at a chosen moment: SIGTERM ends the process there (the
# default action), Ctrl-C raises KeyboardInterrupt there and the script calls stop() again.
INTERRUPTED_STOP = """
import json, os, signal, subprocess, sys
from tolvan import TOLVAN
from tolvan_sim import SimulatedInstrument
moment, name = sys.argv[1:]
sim = SimulatedInstrument()
tl = TOLVAN(sim.port)
assert tl.open() and tl.set_attenuation(1234, 2)
tl.close()
owner, method = (subprocess.Popen, "send_signal") if moment == "told to stop" else (SimulatedInstrument, "_read_state")
original = getattr(owner, method)
def then_interrupted(*args):
    setattr(owner, method, original)
    result = original(*args)
    os.kill(os.getpid(), getattr(signal, name))
    return result
setattr(owner, method, then_interrupted)
print(sim.process.pid, flush=True)
try:
    sim.stop()
except KeyboardInterrupt:
    print(json.dumps([sim.stop(), sim.state()[2]["attenuation"], [c.name for c in sim.commands()]]))
"""


@pytest.mark.parametrize("moment", ["told to stop", "reading what it left"])
@pytest.mark.parametrize("sig", ["SIGTERM", "SIGINT"])
def test_a_signal_during_stop_leaves_no_private_folder(tmp_path, moment, sig):
    (tmp_path / "tmp").mkdir()
    done = subprocess.run([sys.executable, "-c", INTERRUPTED_STOP, moment, sig], capture_output=True, text=True,
                          env={**os.environ, "TMPDIR": str(tmp_path / "tmp")}, timeout=60)
    pid, *after = done.stdout.splitlines()
    try:
        if sig == "SIGTERM":
            assert done.returncode == -signal.SIGTERM and after == [], done
        else:  # stop() again finished the work, and what the simulator left was still read
            assert done.returncode == 0 and json.loads(after[0]) == [0, 1230, ["set_attenuation"]], done
        assert wait_until(lambda: gone(int(pid)))
        assert wait_until(lambda: not any((tmp_path / "tmp").iterdir())), list((tmp_path / "tmp").iterdir())
    finally:
        if not gone(int(pid)):
            os.kill(int(pid), signal.SIGKILL)


FORKED = """
import atexit, json, os, sys
from tolvan import TOLVAN
from tolvan_sim import SimulatedInstrument, SimulatorError
sim = SimulatedInstrument()
tl = TOLVAN(sim.port)
assert tl.open() and tl.set_attenuation(1234, 2)
tl.close()
child = os.fork()
if child == 0:
    try:
        sim.stop()
    except SimulatorError as error:
        print(error, flush=True)
    # What a normal exit does first: the finalisers of the copies of every object. (Then os._exit: the
    # interpreter's own end in a forked child is what a sanitizer build reports, locks that the fork left.)
    atexit._run_exitfuncs()
    os._exit(0)
os.waitpid(child, 0)
print(json.dumps([sim.running, sim.state()[2]["attenuation"], [c.name for c in sim.commands()], sim.stop()]))
"""


def test_a_forked_child_leaves_the_simulator_to_its_parent():
    done = subprocess.run([sys.executable, "-c", FORKED], capture_output=True, text=True, timeout=60)
    *refusal, report = done.stdout.splitlines() or [""]
    assert report.startswith("[") and json.loads(report) == [True, 1230, ["set_attenuation"], 0], done
    assert refusal[0].startswith("this simulator was started by process ") and refusal[0].endswith("forked from it)")


# One model of the instrument, three channels (channel 2 with its own list), checked against
# what the simulator reports after each driver call, and the calls against commands().
LISTS = {1: [1310, 1490, 1550], 2: [1310, 1550], 3: [1310, 1490, 1550]}
channels = st.integers(1, 3)
CALLS = st.lists(st.one_of(
    st.tuples(st.just("set_attenuation"), st.integers(0, 655359), channels),
    st.tuples(st.just("clear_attenuation"), channels),
    st.tuples(st.just("dis_connection"), channels),
    channels.flatmap(lambda ch: st.tuples(st.just("set_optical_length"), st.sampled_from(LISTS[ch]), st.just(ch))),
    st.tuples(st.just("read_current_status"), channels),
    st.tuples(st.sampled_from(["read_device_version", "close_full_screen"])),
), max_size=8)


def expected(call, model):
    """What `call` makes of the model, and the commands the instrument receives for it."""
    name, *args = call
    if name == "set_attenuation":
        value, ch = args
        model[ch].update(attenuation=int(value / 10) * 10, connected=True)
        return [Command(name, ch, int(value / 10) * 10)]
    if name == "clear_attenuation":
        model[args[0]].update(attenuation=0, connected=True)
    elif name == "dis_connection":
        model[args[0]].update(attenuation=None, connected=False)
    elif name == "set_optical_length":
        length, ch = args
        model[ch]["wavelength_index"] = LISTS[ch].index(length)
        return [Command("read_optical_length", ch, None), Command(name, ch, length)]
    return [Command(name, args[0] if args else 1, None)]


@pytest.fixture
def quick_pause(monkeypatch):
    """The driver's pause, cut short once a reply is waiting on the port of `quick_pause.driver`, and
    long enough for a loaded machine (these tests send only requests that are answered)."""
    def pause(seconds):
        deadline = time.monotonic() + max(seconds, 5.0)
        while pause.driver.ser.in_waiting == 0 and time.monotonic() < deadline:
            time.sleep(0.001)
        time.sleep(0.002)  # the rest of a reply that is arriving
    monkeypatch.setattr(tolvan, "time", types.SimpleNamespace(sleep=pause))
    return pause


@settings(max_examples=15, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(calls=CALLS)
def test_commands_and_state_follow_the_driver(quick_pause, calls):
    model = {ch: {"attenuation": 0, "connected": True, "wavelength_index": 0, "wavelengths": LISTS[ch]}
             for ch in LISTS}
    sent = []
    with SimulatedInstrument("--channels", "3", "--delay", "0", "--wavelengths", "2=1310,1550") as sim:
        quick_pause.driver = tl = TOLVAN(sim.port)
        assert tl.open()
        for call in calls:
            sent += expected(call, model)
            getattr(tl, call[0])(*call[1:])
            # The simulator publishes its state before it replies: current once the call returned.
            assert sim.state() == model, call
        tl.close()
        assert sim.commands() == sent
    # Still there after the stop, and the private log and state are gone.
    assert sim.commands() == sent and sim.state() == model and sim.refused() == []
    assert not os.path.exists(sim._private)


def test_a_replay_lists_its_commands_but_holds_no_state(quick_pause, tmp_path):
    def session(sim):
        quick_pause.driver = tl = TOLVAN(sim.port)
        assert tl.open() and tl.set_optical_length(1490, 2) and tl.set_optical_length(1310, 2)
        assert tl.set_attenuation(1234, 2)
        tl.close()
        return sim.commands()

    with SimulatedInstrument("--delay", "0", log=tmp_path / "session.log") as recording:
        recorded = session(recording)
    assert [command for command in recorded if command.name != "read_optical_length"] == [
        Command("set_optical_length", 2, 1490), Command("set_optical_length", 2, 1310), Command("set_attenuation", 2, 1230)]
    with SimulatedInstrument("--replay", tmp_path / "session.log") as replay:
        # The wavelength list is the recording's: no position can be told in nm, not even the
        # first (position 0, one past the empty list).
        assert session(replay) == [command._replace(value=None) if command.name == "set_optical_length" else command
                                   for command in recorded]
        with pytest.raises(SimulatorError, match="with --relay or --replay the simulator models no instrument"):
            replay.state()


# A user's test session: every simulator the fixtures start is stopped when its test ends,
# whether the test passed, failed or stopped the simulator itself.
USER_TESTS = """
import json, os, signal
import pytest
import tolvan_sim.instrument
from tolvan import TOLVAN

STARTED = []
DRIVERS = []

@pytest.fixture(autouse=True)
def report_after_the_fixtures_ended(request):
    # Autouse: set up before the simulator fixtures, so torn down after them.
    STARTED.clear()
    DRIVERS.clear()
    yield
    with open(os.environ["REPORT"], "a") as report:
        report.write(json.dumps([request.node.name, [[s.process.pid, s.running] for s in STARTED]]) + "\\n")
        report.write(json.dumps(["drivers open", [tl.ser.is_open if isinstance(tl, TOLVAN) else tl.is_open
                                                  for tl in DRIVERS]]) + "\\n")

def test_driver(tolvan_driver, tolvan_sim):
    STARTED.append(tolvan_sim)
    DRIVERS.append(tolvan_driver)
    assert tolvan_driver.port == tolvan_sim.port and tolvan_driver.ser.is_open
    assert tolvan_driver.set_attenuation(1234, 2) and tolvan_sim.state()[2]["attenuation"] == 1230

def test_attenuator(tolvan_attenuator, tolvan_sim):
    STARTED.append(tolvan_sim)
    DRIVERS.append(tolvan_attenuator)
    assert tolvan_attenuator.is_open and tolvan_attenuator.port == tolvan_sim.port
    tolvan_attenuator[3].attenuation = 1.5
    assert tolvan_sim.state()[3]["attenuation"] == 1500

def test_default(tolvan_sim):
    STARTED.append(tolvan_sim)
    assert TOLVAN(tolvan_sim.port).open()

def test_factory(make_tolvan_sim, tolvan_sim):
    STARTED.extend([tolvan_sim, make_tolvan_sim("--channels", "2", "--wavelengths", "2=1310,1550"),
                    make_tolvan_sim()])
    tl = TOLVAN(STARTED[1].port)
    assert tl.open() and tl.read_optical_length(2) == [1310, 1550]

def test_failing(make_tolvan_sim):
    STARTED.extend([make_tolvan_sim(), make_tolvan_sim()])
    assert False, "fails on purpose"

def test_stopped_by_the_test(make_tolvan_sim):
    STARTED.append(make_tolvan_sim())
    assert STARTED[0].stop(signal.SIGINT) == 0

@pytest.fixture
def no_pseudo_terminals(monkeypatch):
    monkeypatch.setattr(tolvan_sim.instrument, "SUPPORTED", False)

def test_without_pseudo_terminals(no_pseudo_terminals, tolvan_sim):
    raise AssertionError("not reached: the fixture skips")
"""


def test_fixtures_stop_every_simulator_at_the_end_of_its_test(tmp_path):
    (tmp_path / "test_user.py").write_text(USER_TESTS)
    report = tmp_path / "report.jsonl"
    env = {**os.environ, "REPORT": str(report)}
    env.pop("PYTHONPATH", None)
    done = subprocess.run([sys.executable, "-m", "pytest", "-q", "-rs", "-p", "no:cacheprovider", "test_user.py"],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
    summary = done.stdout.splitlines()[-1]
    assert summary.startswith("1 failed, 5 passed, 1 skipped"), done.stdout + done.stderr
    assert "fails on purpose" in done.stdout
    assert "tolvan-sim needs pseudo-terminals: it is built on Linux and macOS only" in done.stdout
    lines = [json.loads(line) for line in report.read_text().splitlines()]
    assert [opened for name, opened in lines if name == "drivers open"] == [[False], [False]] + [[]] * 5
    tests = {name: started for name, started in lines if name != "drivers open"}
    assert {name: len(started) for name, started in tests.items()} == {
        "test_driver": 1, "test_attenuator": 1, "test_default": 1, "test_factory": 3, "test_failing": 2,
        "test_stopped_by_the_test": 1, "test_without_pseudo_terminals": 0}
    assert [running for started in tests.values() for _, running in started] == [False] * 9
    assert all(ended(pid) for started in tests.values() for pid, _ in started)


# TOLVANSpec: the driver's methods as Python functions, so that mocks check calls as they do
# for a class written in Python.
def test_the_mock_template_has_every_method_of_the_driver_as_it_is():
    details = ("__name__", "__doc__", "__defaults__", "__annotations__")
    for name, real in vars(TOLVAN).items():
        if callable(real):
            template = getattr(TOLVANSpec, name)
            assert inspect.isfunction(template) and inspect.signature(template) == inspect.signature(real)
            assert [getattr(template, d) for d in details] == [getattr(real, d) for d in details], name


@pytest.mark.parametrize("name, args, kwargs", [
    ("set_attenuation", (1100, 2, 3), {}),          # too many arguments
    ("set_attenuation", (1100,), {"chan": 2}),      # unknown keyword
    ("set_attenuation", (), {"ch": 2}),             # the attenuation missing
    ("set_optical_length", (1310, 2), {"ch": 2}),   # ch twice
    ("read_device_version", (1,), {}),
])
def test_mocks_made_from_the_template_refuse_what_the_driver_refuses(name, args, kwargs):
    with pytest.raises(TypeError):
        getattr(TOLVAN("/dev/null"), name)(*args, **kwargs)
    with pytest.raises(TypeError):
        getattr(mock.create_autospec(TOLVANSpec, instance=True), name)(*args, **kwargs)
    with mock.patch.object(TOLVAN, name, autospec=getattr(TOLVANSpec, name)), pytest.raises(TypeError):
        getattr(TOLVAN("/dev/null"), name)(*args, **kwargs)


def test_a_patched_method_records_the_object_it_was_called_on():
    with mock.patch.object(TOLVAN, "set_attenuation", autospec=TOLVANSpec.set_attenuation) as patched:
        patched.return_value = True
        tl = TOLVAN("/dev/null")
        assert tl.set_attenuation(1100, ch=2) is True
    patched.assert_called_once_with(tl, 1100, ch=2)


def test_the_plugin_imports_nothing_of_its_own_until_a_name_is_used():
    # pytest imports the plugin in every session of an environment where tolvan is installed.
    show = "print(sorted(name for name in sys.modules if name.startswith('tolvan')))"
    code = f"import sys, tolvan_sim.plugin; {show}; tolvan_sim.Command; {show}; tolvan_sim.TOLVANSpec; {show}"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.stdout.splitlines() == [
        "['tolvan_sim', 'tolvan_sim.plugin']", "['tolvan_sim', 'tolvan_sim.frames', 'tolvan_sim.plugin']",
        "['tolvan', 'tolvan_sim', 'tolvan_sim.doubles', 'tolvan_sim.frames', 'tolvan_sim.plugin']"], done.stderr
