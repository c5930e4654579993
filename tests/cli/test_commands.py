"""Every command against the simulator, through --sim, through -p PORT and through a port name
that is not UTF-8, and the JSON it prints; late and split replies never shown as values."""

import importlib.metadata
import os
import platform
import re
import shutil
import subprocess
import sys

import pytest
import serial
import tolvan as driver

from .conftest import STRICT_UTF8, command, environment, needs_simulator

VERSION = {"module_version": 2, "hard_version": 50, "soft_version": 32}
LIST = [1310, 1490, 1550]


def channel(ch, nm=1310, db=0.0, connected=True, listed=True):
    state = {"channel": ch, "wavelength_nm": nm, "attenuation_db": db, "connected": connected}
    return {**state, "wavelengths_nm": LIST} if listed else state


# Each command on an instrument as it starts (4 channels, 1310/1490/1550 nm, 0 dB): the JSON
# document, and a line of the text output (where PORT stands for the port's name as shown).
FRESH = [
    (["info", "--channels", "3,1-3"], {"version": VERSION, "channels": [channel(3), channel(1), channel(2)]},
     r"instrument on PORT: module version 2, hardware 50, software 32\n(.*\n)+2 +1310 1490 1550 +1310 nm +0\.00 dB "
     r"+connected\n$"),
    (["status", "--ch", "2"], channel(2, listed=False), r"channel 2: 1310 nm, 0\.00 dB, connected"),
    (["set", "3.25dB", "--ch", "2"], {"channel": 2, "attenuation_db": 3.25, "ok": True},
     r"channel 2: attenuation set to 3\.25 dB"),
    (["clear", "--ch", "3"], {"channel": 3, "ok": True}, r"channel 3: attenuation cleared"),
    (["disconnect"], {"channel": 1, "ok": True}, r"channel 1: disconnected"),
    (["wavelength", "1550", "--ch", "4"], {"channel": 4, "wavelength_nm": 1550, "ok": True},
     r"channel 4: wavelength 1550 nm selected"),
    (["sweep", "--from", "1.05", "--to", "0", "--step", "0.35"],
     {"channel": 1, "steps": [{"set_db": v, "read_db": v, "ok": True, "note": None} for v in (1.05, 0.7, 0.35, 0.0)]},
     r"0\.35 dB +0\.35 dB +yes\n.*0\.00 dB +0\.00 dB +yes\n4 of 4 steps read back as set"),
]


def without_times(doc):
    """The document with each sweep step's time_s taken out, after checking that they run forward."""
    times = [step.pop("time_s") for step in doc.get("steps", [])]
    assert times == sorted(times) and all(time > 0 for time in times), times
    return doc


@needs_simulator
@pytest.mark.parametrize("through", ["--sim", "-p", "-p non-UTF-8"])
@pytest.mark.parametrize(("args", "doc", "text"), FRESH, ids=[row[0][0] for row in FRESH])
def test_each_command_on_a_fresh_instrument(tolvan, instrument, tmp_path, through, args, doc, text):
    env = None
    if through == "--sim":  # --json before the command word, and the text output after it
        port, shown_port = ["--sim"], r"/dev/\S+"
    else:
        port, shown_port = ["-p", instrument().port], None
        if through == "-p non-UTF-8":  # a link whose name is not UTF-8, in a locale that writes UTF-8 strictly
            link = os.fsencode(tmp_path) + b"/tty\xff"
            os.symlink(port[1], link)
            port, shown_port, env = ["-p", link], re.escape(f"{tmp_path}/tty\\xff"), STRICT_UTF8
    texts = [tolvan(*port, *args, env=env)] if shown_port else []
    run = tolvan(*port, *args, "--json", env=env) if through != "--sim" else tolvan("--json", *port, *args)
    assert run.status == 0, run
    assert without_times(run.doc) == doc
    for shown in texts:
        assert shown.status == 0, shown
        assert re.search(text.replace("PORT", shown_port), shown.out), shown


# Replies after the driver's 0.2 s pause, or in two parts: a late reply is never taken for the
# answer to the next request (a late wavelength list read as a status showed 14.90 dB).
LATE = [(), ("--delay", "250"), ("--delay", "400"), ("--split", "150"), ("--delay", "150", "--split", "120")]


@needs_simulator
@pytest.mark.parametrize("faults", LATE, ids=[" ".join(f) or "prompt" for f in LATE])
def test_commands_change_the_instrument_as_status_and_info_then_show(tolvan, instrument, faults):
    """One instrument, the port given by TOLVAN_PORT; each command's effect seen by the next."""
    sim = instrument("--wavelengths", "2=1310,1490", *faults)
    env = {"TOLVAN_PORT": sim.port}
    steps = [
        (["set", "12340mdB", "--ch", "2"], None),
        (["status", "--ch", "2"], channel(2, db=12.34, listed=False)),
        (["disconnect", "--ch", "2"], None),
        (["status", "--ch", "2"], channel(2, db=None, connected=False, listed=False)),  # 655.35 dB
        (["wavelength", "1490", "--ch", "2"], None),
        (["clear", "--ch", "2"], None),
        (["info", "--channels", "2"], {"version": VERSION, "channels": [{**channel(2, nm=1490), "wavelengths_nm": [1310, 1490]}]}),
    ]
    for args, doc in steps:
        run = tolvan("--json", *args, env=env)
        assert run.status == 0, (args, run)
        if doc is not None:
            assert run.doc == doc, args
    assert sim.state()[2]["attenuation"] == 0 and sim.state()[2]["wavelength_index"] == 1
    shown = tolvan("status", "--ch", "2", "--trace", env=env)
    assert shown.out == "channel 2: 1490 nm, 0.00 dB, connected\n"
    # The frames on the line, as the driver sent and received them, on standard error.
    assert re.search(r"sent +7B 02 05 14 36 [0-9A-F]{2} 7D\n.*received 7B 02 0A 14 36( [0-9A-F]{2}){6} 7D", shown.err), shown


def test_help_imports_neither_the_driver_nor_pyserial_nor_json(tolvan):
    run = tolvan("--help")
    assert run.status == 0 and "exit status:" in run.out and "tolvan ports --probe" in run.out, run
    word = tolvan("sweep", "--help")  # each command's own help: its examples, and the exit statuses
    assert word.status == 0 and "exit status:" in word.out and "tolvan sweep --from" in word.out, word
    def imported(*args):
        done = subprocess.run(command(*args), env=environment(PYTHONPROFILEIMPORTTIME="1"),
                              capture_output=True, text=True, timeout=60)
        return {line.rsplit("|", 1)[-1].strip() for line in done.stderr.splitlines() if line.startswith("import time:")}

    helped = imported("--help")
    assert "tolvan_cli.main" in helped
    assert not helped & {"tolvan", "tolvan_lab", "serial", "json", "logging", "decimal", "tolvan_cli.session",
                         "subprocess", "shutil"}, helped
    # `tolvan ports` without --probe, which must start within 30 ms of its lsof run: nor the driver.
    listed = imported("ports", "/dev/no-such-port")
    assert "tolvan_lab.ownership" in listed and not listed & {"tolvan", "tolvan_lab.attenuator", "logging"}, listed


def test_version_says_what_runs(tolvan):
    """What a bug report needs: the package, the driver's file, pyserial, Python, lsof."""
    run = tolvan("--version")
    lsof = shutil.which("lsof")
    assert run.status == 0 and run.out.splitlines() == [
        f"tolvan {importlib.metadata.version('tolvan')}",
        f"driver   {driver.__file__}",
        f"pyserial {serial.__version__} ({os.path.dirname(serial.__file__)})",
        f"Python   {platform.python_version()} (cpython, {sys.executable}) on {sys.platform}",
        f"lsof     {lsof}" if lsof else run.out.splitlines()[-1],
    ], run


@needs_simulator
@pytest.mark.parametrize("retries, status", [(None, 1), ("1", 0)])
def test_retries_send_a_command_that_got_no_reply_again(tolvan, instrument, retries, status):
    # info reads the version, the list, then the status: no reply. A retry proves the line in step
    # (the version read again, answered) and sends the status again, answered.
    sim = instrument("--drop-every", "3")
    run = tolvan("-p", sim.port, *(["--retries", retries] if retries else []), "info", "--channels", "2")
    assert run.status == status, run
    reads = [command.name for command in sim.commands()].count("read_current_status")
    assert reads == 1 + int(retries or 0), sim.commands()
