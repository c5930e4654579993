"""Exit statuses: 1 no reply, 2 usage, 3 port; with --json, one document on stdout (none for usage)."""

import pytest
import serial

from .conftest import needs_simulator

ACCEPTED = "0 to 655.34 dB in steps of 0.01 dB"

# Refused before any port is looked at: argument values the instrument cannot take, and no port.
USAGE = [
    (["set", "1.234"], "finer than the instrument's step of 0.01 dB"),
    (["set", "655.35"], "at or above 655.35 dB"),
    (["set", "65535mdB"], "finer than the instrument's step"),
    (["set", "-1"], "negative attenuation"),
    (["set", "3.5 volts"], ACCEPTED),
    (["sweep", "--from", "0", "--to", "1", "--step", "0"], "not a step: '0' (accepted: 0.01 to"),
    (["sweep", "--from", "1", "--to", "0", "--step", "-0.5"], "runs downwards when --to is below --from"),
    (["sweep", "--from", "0", "--to", "1"], "--step"),
    (["info", "--channels", "4-1"], "runs backwards"),
    (["status", "--ch", "256"], "1 to 255"),
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
    (["info", "--channels", "2"], "read_device_version(), read_optical_length(ch=2), read_current_status(ch=2)",
     {"version": None, "channels": [{"channel": 2, "wavelengths_nm": None, "wavelength_nm": None,
                                     "attenuation_db": None, "connected": None}]}),
    (["set", "2"], "set_attenuation(2000, ch=1)", {"channel": 1, "attenuation_db": 2.0, "ok": False}),
    (["disconnect", "--ch", "4"], "dis_connection(ch=4)", {"channel": 4, "ok": False}),
    (["wavelength", "1550"], "listed no wavelengths", {"channel": 1, "wavelength_nm": 1550, "ok": False}),
    (["sweep", "--from", "0", "--to", "0", "--step", "1"], "steps did not read back as set",
     {"channel": 1, "steps": [{"set_db": 0.0, "read_db": None, "ok": False}]}),
])
def test_no_reply_exits_1_naming_the_command(tolvan, instrument, args, calls, doc):
    port = instrument("--drop-every", "1").port
    run = tolvan("-p", port, *args, "--json")
    assert run.status == 1, run
    assert calls in run.err and "Troubleshooting" in run.err, run
    assert run.doc == {**doc, "error": run.doc["error"]} and calls in run.doc["error"]


@needs_simulator
def test_a_port_that_cannot_be_opened_exits_3(tolvan, instrument, tmp_path):
    missing = tolvan("-p", tmp_path / "ttyUSB9", "--json", "info")
    assert missing.status == 3, missing
    assert "Cannot open serial port" in missing.err and "No such file or directory" in missing.err  # the driver's line
    # The document stands on its own: it quotes the driver's line, which went to standard error.
    assert set(missing.doc) == {"error"} and "tolvan ports" in missing.doc["error"]
    assert "No such file or directory" in missing.doc["error"] and "line above" not in missing.doc["error"]

    sim = instrument()
    (tmp_path / "last.csv").write_text("the last sweep's rows\n")
    with serial.Serial(sim.port):  # another program holds the port
        held = tolvan("-p", sim.port, "sweep", "--from", "1", "--to", "2", "--step", "1", "--csv", "last.csv")
    assert (held.status, held.out) == (3, ""), held
    assert (tmp_path / "last.csv").read_text() == "the last sweep's rows\n"  # kept: the sweep never began
    assert "serial port already opened!" in held.err and f"tolvan ports {sim.port}" in held.err
    assert sim.received() == []


@needs_simulator
def test_the_port_vanishing_mid_command_exits_1(tolvan):
    # The instrument answers one request, then goes away as if unplugged.
    run = tolvan("--sim-options=--exit-after 1", "sweep", "--from", "1", "--to", "2", "--step", "1", "--json")
    assert run.status == 1, run
    assert "the port failed: OSError: [Errno 5]" in run.doc["error"]
    assert "channel 1 attenuation left at 1.00 dB" in run.err
