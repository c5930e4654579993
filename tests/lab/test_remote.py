"""Attenuator("scpi://...") against a live `tolvan serve --scpi` on the simulator: the same family
of behaviours run on the local Attenuator and the remote one, the server's failures as the layer's
exceptions, a late answer never read as a later one's, the `tolvan` command's device words through
the address, and the README's framework examples with it. The address and the answers are read by
pure functions, tested from a table."""

import json
import re
import subprocess
import sys
import threading

import pytest

from tolvan_lab import Attenuator, ChannelStatus, InstrumentError, NoReply, PortUnavailable, Version
from tolvan_lab.addresses import address
from tolvan_lab.remote import RemoteAttenuator, error_entry, fields, steps_of, version_of, wavelength_of, wavelengths_of
from tolvan_sim import find_simulator

from frameworks.support import silenced
from serve.conftest import Server, environment

pytestmark = pytest.mark.skipif(find_simulator() is None, reason="needs the simulator tolvan-sim")

READS = {"read_device_version", "read_optical_length", "read_current_status"}


@pytest.fixture
def served(make_tolvan_sim, tmp_path):
    """served(*options) starts a simulator and a `tolvan serve --scpi` for it: (simulator, server).
    Every server must stop cleanly after the test."""
    servers = []

    def start(*options):
        sim = make_tolvan_sim(*options)
        servers.append(Server(["-p", sim.port, "--scpi", "127.0.0.1:0"], environment(), tmp_path))
        return sim, servers[-1]

    yield start
    for server in servers:
        assert server.stop() == 0, server.log()


def url(server):
    return f"scpi://127.0.0.1:{server.scpi_port}"


@pytest.fixture(params=["local", "remote"])
def reach(request, make_tolvan_sim, served):
    """reach(*options): a simulator and the Attenuator (not yet open) that reaches it, directly or
    through a server: every test that takes it runs both ways."""
    def start(*options, **kwargs):
        if request.param == "local":
            sim = make_tolvan_sim(*options)
            return sim, Attenuator(sim.port, **kwargs)
        sim, server = served(*options)
        return sim, Attenuator(url(server), **kwargs)
    return start


# -- one family, local and remote --------------------------------------------------------------

@pytest.mark.parametrize("faults", [(), ("--delay", "250", "--split", "30")], ids=["prompt", "late and split"])
def test_every_value_is_what_the_instrument_holds(reach, faults):
    sim, att = reach("--wavelengths", "2=1550,1310", *faults)
    with att:
        assert att.is_open and isinstance(att, Attenuator) and att.channels == (1, 2, 3, 4)
        assert att.version == Version(module=2, hardware=50, software=32)
        ch = att[2]
        assert ch.wavelengths == (1550, 1310)
        ch.wavelength = 1310  # position 1 in channel 2's list (1490 in channel 1's)
        ch.attenuation = 3.25
        assert ch.status() == ChannelStatus(channel=2, wavelength_nm=1310, attenuation_db=3.25, connected=True)
        assert sim.state()[2]["attenuation"] == 3250
        ch.disconnect()
        assert (ch.attenuation, ch.connected, ch.wavelength) == (None, False, 1310)
        ch.clear()
        assert ch.attenuation == 0.0 and ch.connected
        before = len(sim.commands())
        assert ch.attenuation == 0.0 and len(sim.commands()) == before + 1  # one status read, either way
    assert not att.is_open
    assert sim.state()[2] == {"attenuation": 0, "connected": True, "wavelength_index": 1, "wavelengths": [1550, 1310]}


@pytest.mark.parametrize(("set_to", "error", "says"), [
    (-0.01, ValueError, "negative"), (3.141, ValueError, "finer than the instrument's step of 0.01 dB"),
    (655.35, ValueError, "at or above 655.35 dB"), ("3.5", TypeError, "a number of dB, not str"),
])
def test_values_the_instrument_cannot_take_send_nothing(reach, set_to, error, says):
    sim, att = reach("--wavelengths", "2=1490,1550")
    with att:
        with pytest.raises(error, match=says):
            att[1].attenuation = set_to
        with pytest.raises(ValueError, match="channel 2 does not support 1310 nm; it supports 1490, 1550"):
            att[2].wavelength = 1310
        with pytest.raises(IndexError, match="channel 5 is not served"):
            att[5]
    assert {c.name for c in sim.commands()} <= READS  # the lists were read; nothing was set


def test_no_reply_retries_and_a_closed_attenuator(reach):
    sim, att = reach("--drop-every", "3", retries=8)
    with pytest.raises(PortUnavailable, match=r"cannot send read_device_version\(\) to .*: it is not open"):
        att.version
    with att:
        # Read once per open, here and by a server, whose own reads of them in its idle time would
        # otherwise take the answered turns of an instrument that drops every third reply.
        assert att.version == Version(2, 50, 32) and all(ch.wavelengths for ch in att)
        att.retries = 1
        for value in (1.5, 2.5):
            att[1].attenuation = value
            assert att[1].attenuation == value
    _, att2 = reach("--drop-every", "1")
    with att2, pytest.raises(NoReply) as missed:
        att2[2].attenuation = 1.0
    assert missed.value.command == "set_attenuation(1000, ch=2)" and missed.value.port == att2.port


# -- what only the remote one meets ------------------------------------------------------------

def test_the_servers_failures_are_the_layers_exceptions(served):
    sim, server = served()
    refused = Attenuator("scpi://127.0.0.1:1")
    with pytest.raises(PortUnavailable, match="cannot connect to scpi://127.0.0.1:1: nothing listens there"):
        refused.open()
    assert not refused.is_open

    with Attenuator(url(server), channels=8) as att:
        assert type(att) is RemoteAttenuator and repr(att) == f"<Attenuator '{url(server)}' open, channels 1 to 8>"
        with pytest.raises(InstrumentError, match=r"does not serve the channel of read_current_status\(ch=6\)"):
            att[6].attenuation
        att[1].attenuation = 2.0  # the connection is still in step after a refusal
        with pytest.raises(InstrumentError, match="has no command for it"):
            att.close_full_screen()
        sim.stop()  # the instrument's port goes: the server answers -241
        with pytest.raises(PortUnavailable, match=r"cannot reach the instrument for read_current_status\(ch=1\)"):
            att[1].attenuation
        server.stop()  # the server goes
        with pytest.raises(PortUnavailable, match="failed during set_attenuation.*is `tolvan serve --scpi` still "
                                                  "running"):
            att[1].attenuation = 3.0
        assert not att.is_open
        with pytest.raises(PortUnavailable, match="it was closed after it failed"):
            att[1].clear()


def test_an_answer_later_than_the_timeout_is_never_taken_for_a_later_ones(served):
    sim, server = served("--delay", "150")
    with Attenuator(url(server)) as att:
        att[1].attenuation, att[2].attenuation = 1.0, 2.5
        att.reply_timeout = 0.1  # the server's answer takes longer: it comes after the read gave up
        with pytest.raises(NoReply, match=r"no answer from .* to read_current_status\(ch=1\) within 0\.1 s"):
            att[1].attenuation
        att.reply_timeout = 10.0
        assert att[2].attenuation == 2.5 and att[1].status() == ChannelStatus(1, 1310, 1.0, True)
        with silenced(sim), pytest.raises(NoReply, match=r"the server said: -240"):
            att[2].status()  # both of its queries go unanswered: two errors
        assert att[2].status() == ChannelStatus(2, 1310, 2.5, True)  # neither is taken for this one's


def test_threads_share_a_remote_attenuator(served):
    sim, server = served()
    failures = []
    with Attenuator(url(server)) as att:
        def work(ch):
            try:
                for step in range(1, 4):
                    att[ch].attenuation = ch + step / 100
                    assert att[ch].status() == ChannelStatus(ch, 1310, ch + step / 100, True)
            except Exception as error:  # reported below with the thread's channel
                failures.append((ch, error))

        threads = [threading.Thread(target=work, args=(ch,)) for ch in (1, 2, 3)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    assert failures == []
    assert {ch: held["attenuation"] for ch, held in sim.state().items()} == {1: 1030, 2: 2030, 3: 3030, 4: 0}


# -- the pure parts ----------------------------------------------------------------------------

@pytest.mark.parametrize(("read", "text", "expected"), [
    (address, "scpi://127.0.0.1", ("127.0.0.1", 5025)),
    (address, "SCPI://lab-pc:6000/", ("lab-pc", 6000)),
    (address, "scpi://[::1]:5025", ("::1", 5025)),
    (address, "scpi://", ValueError("names no host")),
    (address, "scpi://host:70000", ValueError("out of range")),
    (address, "scpi://host:5025/INP1", ValueError("nothing after the port")),
    (address, "scpi://user@host", ValueError("nothing after the port")),
    (address, "scpi://host:0", ValueError("port 0")),
    (address, "/dev/ttyUSB0", ValueError("no server address")),
    (error_entry, '-240,"Hardware error; no reply; query it"', (-240, "Hardware error; no reply; query it")),
    (error_entry, '0,"No error"', (0, "No error")),
    (error_entry, "1310,1490,1550", None),
    (lambda lines: fields(lines, 2), ["3.50;1550"], ["3.50", "1550"]), (lambda lines: fields(lines, 0), [], []),
    (lambda lines: fields(lines, 2), ["3.50", "1550"], None), (lambda lines: fields(lines, 1), ["3.50;1550"], None),
    (lambda lines: fields(lines, 0), ["3.50"], None), (lambda lines: fields(lines, 1), ["3.50", "0.00"], None),
    (steps_of, "3.50", 350), (steps_of, "9.91E37", 0xFFFF), (steps_of, "655.35", ValueError("no attenuation")),
    (steps_of, "3.505", ValueError("no attenuation")), (steps_of, "x", ValueError("no attenuation")),
    (wavelength_of, "1550", 1550), (wavelength_of, "9.91E37", None), (wavelength_of, "-1", ValueError("no wave")),
    (wavelengths_of, "1310,1490,1550", [1310, 1490, 1550]), (wavelengths_of, "", []),
    (wavelengths_of, "1310,,1550", ValueError("no list")),
    (version_of, "TOLVAN,attenuator,/dev/pts/3,2.50.32",
     {"module_version": 2, "hard_version": 50, "soft_version": 32}),
    (version_of, "ACME,meter,0,1.2.3", ValueError("not tolvan serve's")),
])
def test_addresses_and_answers_are_read_exactly(read, text, expected):
    if isinstance(expected, Exception):
        with pytest.raises(type(expected), match=str(expected)):
            read(text)
    else:
        assert read(text) == expected


# -- the tools that take a port take the address ----------------------------------------------

def tolvan(*args, cwd, port, by_environment=False):
    """The command's exit status and standard output, its port (from -p, or from TOLVAN_PORT) named
    PORT, a sweep's times left out."""
    options, env = ([], environment(TOLVAN_PORT=port)) if by_environment else (["-p", port], environment())
    done = subprocess.run([sys.executable, "-m", "tolvan_cli", *options, *args], cwd=cwd, env=env,
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
    out = done.stdout.replace(port, "PORT")
    if "sweep" in args:
        out = [{**step, "time_s": None} for step in json.loads(out)["steps"]]
    return done.returncode, out


# The device words, in order, each run locally and through the server on an instrument of its own.
WORDS = [("info",), ("set", "3.25", "--ch", "2"), ("wavelength", "1550", "--ch", "2"),
         ("--json", "status", "--ch", "2"), ("disconnect", "--ch", "3"), ("status", "--ch", "3"), ("--json", "info", "--channels", "2-3"),
         ("wavelength", "1600", "--ch", "1"), ("clear", "--ch", "3"), ("status", "--ch", "3"),
         ("sweep", "--from", "0", "--to", "0.5", "--step", "0.25", "--ch", "4", "--json")]


def test_the_commands_device_words_say_the_same_through_the_address(served, make_tolvan_sim, tmp_path):
    local = make_tolvan_sim()
    remote, server = served()
    for number, word in enumerate(WORDS):
        here = tolvan(*word, cwd=tmp_path, port=local.port)
        assert tolvan(*word, cwd=tmp_path, port=url(server), by_environment=number % 2 == 1) == here, word
    assert local.state() == remote.state()
    assert tolvan("status", cwd=tmp_path, port="scpi://127.0.0.1:99999")[0] == 2  # usage errors, nothing sent
    assert tolvan("serve", "--scpi", cwd=tmp_path, port=url(server))[0] == 2
    status, listed = tolvan("ports", "/dev/null", cwd=tmp_path, port=url(server))
    assert status == 0 and "/dev/null" in listed and "PORT" not in listed  # ports are serial ports
    assert local.state()[4]["attenuation"] == 500 and local.state()[2]["attenuation"] == 3250


def test_the_readme_examples_run_through_the_address(served, tmp_path):
    from frameworks.support import SETPOINTS, mdb_set_on
    from frameworks.test_readme_examples import README, examples, run, with_port

    sim, server = served()
    usage = README.read_text(encoding="utf-8").split("**Through `tolvan serve`.**", 1)[1]
    code = re.search(r"```python\n(.*?)```", usage, re.S).group(1)
    assert code.count('"scpi://127.0.0.1:5025"') == 1
    run("from tolvan_lab import Attenuator\n" + code.replace('"scpi://127.0.0.1:5025"', repr(url(server))), tmp_path)
    assert sim.state()[2]["attenuation"] == 3500

    pytest.importorskip("qcodes", reason="needs QCoDeS: pip install 'tolvan[qcodes]'")
    pytest.importorskip("ophyd_async", reason="needs ophyd-async and Bluesky: pip install 'tolvan[bluesky]'")
    assert "Connected to: TOLVAN attenuator" in run(with_port(examples("QCoDeS")[0], url(server)), tmp_path)
    assert (tmp_path / "attenuator.db").exists() and sim.state()[2]["wavelength_index"] == 2  # 1550 nm
    shown = run(with_port(examples("Bluesky")[0], url(server)), tmp_path)
    rows = re.findall(r"^\|\s+\d+ \|.*?\|\s+([\d.]+) \|\s+1550 \|\s+True \|$", shown, re.M)
    assert [float(db) for db in rows] == SETPOINTS, shown
    assert mdb_set_on(sim, 2) == [3500] + [round(db * 1000) for db in SETPOINTS] * 2
