"""Every command against the simulator, through --sim and through -p PORT, and the JSON it prints."""

import re
import subprocess

import pytest

from .conftest import command, environment, needs_simulator

VERSION = {"module_version": 2, "hard_version": 50, "soft_version": 32}
LIST = [1310, 1490, 1550]


def channel(ch, nm=1310, db=0.0, connected=True, listed=True):
    state = {"channel": ch, "wavelength_nm": nm, "attenuation_db": db, "connected": connected}
    return {**state, "wavelengths_nm": LIST} if listed else state


# Each command on an instrument as it starts (4 channels, 1310/1490/1550 nm, 0 dB): the JSON
# document, and a line of the text output.
FRESH = [
    (["info", "--channels", "1,3"], {"version": VERSION, "channels": [channel(1), channel(3)]},
     r"module version 2, hardware 50, software 32\n(.*\n)+3 +1310 1490 1550 +1310 nm +0\.00 dB +connected"),
    (["status", "--ch", "2"], channel(2, listed=False), r"channel 2: 1310 nm, 0\.00 dB, connected"),
    (["set", "3.5dB", "--ch", "2"], {"channel": 2, "attenuation_db": 3.5, "ok": True},
     r"channel 2: attenuation set to 3\.50 dB"),
    (["clear", "--ch", "3"], {"channel": 3, "ok": True}, r"channel 3: attenuation cleared"),
    (["disconnect"], {"channel": 1, "ok": True}, r"channel 1: disconnected"),
    (["wavelength", "1550", "--ch", "4"], {"channel": 4, "wavelength_nm": 1550, "ok": True},
     r"channel 4: wavelength 1550 nm selected"),
    (["sweep", "--from", "1", "--to", "0", "--step", "0.4"],
     {"channel": 1, "steps": [{"set_db": v, "read_db": v, "ok": True} for v in (1.0, 0.6, 0.2)]},
     r"0\.20 dB +0\.20 dB +yes\n3 of 3 steps read back as set"),
]


@needs_simulator
@pytest.mark.parametrize("through", ["--sim", "-p"])
@pytest.mark.parametrize(("args", "doc", "text"), FRESH, ids=[row[0][0] for row in FRESH])
def test_each_command_on_a_fresh_instrument(tolvan, instrument, through, args, doc, text):
    if through == "--sim":  # --json before the command word, and the text output after it
        port = ["--sim"]
        texts = [tolvan(*port, *args)]
    else:
        port, texts = ["-p", instrument().port], []
    run = tolvan(*port, *args, "--json") if through == "-p" else tolvan("--json", *port, *args)
    assert run.status == 0, run
    assert run.doc == doc
    for shown in texts:
        assert shown.status == 0, shown
        assert re.search(text, shown.out), shown


@needs_simulator
def test_commands_change_the_instrument_as_status_and_info_then_show(tolvan, instrument):
    """One instrument, the port given by TOLVAN_PORT; each command's effect seen by the next."""
    sim = instrument("--wavelengths", "2=1310,1490")
    env = {"TOLVAN_PORT": sim.port}
    steps = [
        (["set", "12000mdB", "--ch", "2"], None),
        (["status", "--ch", "2"], channel(2, db=12.0, listed=False)),
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
    shown = tolvan("status", "--ch", "2", "--trace", env=env)
    assert shown.out == "channel 2: 1490 nm, 0.00 dB, connected\n"
    # The frames on the line, as the driver sent and received them, on standard error.
    assert re.search(r"sent +7B 02 05 14 36 [0-9A-F]{2} 7D\n.*received 7B 02 0A 14 36( [0-9A-F]{2}){6} 7D", shown.err), shown


def test_help_imports_neither_the_driver_nor_pyserial_nor_json(tolvan):
    run = tolvan("--help")
    assert run.status == 0 and "exit status:" in run.out and "tolvan ports --probe" in run.out, run
    word = tolvan("sweep", "--help")  # each command's own help: its examples, and the exit statuses
    assert word.status == 0 and "exit status:" in word.out and "tolvan sweep --from" in word.out, word
    done = subprocess.run(command("--help"), env=environment(PYTHONPROFILEIMPORTTIME="1"),
                          capture_output=True, text=True, timeout=60)
    imported = {line.rsplit("|", 1)[-1].strip() for line in done.stderr.splitlines() if line.startswith("import time:")}
    assert "tolvan_cli.main" in imported
    assert not imported & {"tolvan", "serial", "json", "tolvan_cli.session", "subprocess", "shutil"}, imported
