"""Attenuator against the simulator on a real pseudo-terminal: values, late and lost replies,
refusals and their messages, the port held alone, threads."""

import logging
import multiprocessing
import os
import threading
import time

import pytest
import serial

from tolvan_lab import Attenuator, ChannelStatus, InstrumentError, NoReply, PortUnavailable, Version
from tolvan_lab.errors import NotSupported
from tolvan_sim import find_simulator

pytestmark = pytest.mark.skipif(find_simulator() is None, reason="needs the simulator tolvan-sim")

# Instruments that answer late (after the driver's 0.2 s pause), in pieces, or behind noise.
FAULTS = [(), ("--delay", "250"), ("--delay", "400", "--split", "30"), ("--delay", "150", "--split", "120"),
          ("--noise", "3", "--split", "20")]


@pytest.mark.parametrize("faults", FAULTS, ids=[" ".join(f) or "prompt" for f in FAULTS])
def test_every_value_is_what_the_instrument_holds(make_tolvan_sim, faults):
    sim = make_tolvan_sim("--wavelengths", "2=1550,1310", *faults)
    with Attenuator(sim.port) as att:
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
    assert sim.state()[2] == {"attenuation": 0, "connected": True, "wavelength_index": 1, "wavelengths": [1550, 1310]}


def test_a_reply_later_than_the_timeout_is_never_taken_for_a_later_command(make_tolvan_sim, caplog):
    sim = make_tolvan_sim("--delay", "450")
    caplog.set_level(logging.DEBUG, "tolvan_lab.frames")
    with Attenuator(sim.port) as att:
        att.reply_timeout = 0.3
        for read in (lambda: att.version, att[1].status, lambda: att[1].attenuation, lambda: att[2].connected):
            with pytest.raises(NoReply, match=r"no reply from the instrument on .* within 0\.3 s"):
                read()
        att.reply_timeout = 1.0
        assert att[3].status() == ChannelStatus(3, 1310, 0.0, True)
    late = [r.tolvan_frame for r in caplog.records if r.tolvan_event == "discarded"]
    assert late and all(frame[0] == 0x7B for frame in late)  # whole replies, each for an earlier request


def test_a_channel_that_never_answered_above_one_that_does_may_not_exist(make_tolvan_sim):
    sim = make_tolvan_sim("--channels", "2")
    with Attenuator(sim.port, channels=3) as att:
        att.reply_timeout = 0.3
        with pytest.raises(NoReply, match="is it switched on") as silent:
            att[3].attenuation  # nothing has answered yet: no reason to doubt the channel
        assert "may not exist" not in str(silent.value)
        assert att[2].attenuation == 0.0
        with pytest.raises(NoReply, match=r"to read_current_status\(ch=3\) within 0\.3 s: channel 3 may not exist on "
                                          r"this instrument \(channel 2 answers, channel 3 never has\)"):
            att[3].attenuation


def test_retries_and_the_frame_log(make_tolvan_sim, caplog):
    sim = make_tolvan_sim("--drop-every", "3")
    caplog.set_level(logging.DEBUG, "tolvan_lab.frames")
    with Attenuator(sim.port, retries=1) as att:
        for value in (1.5, 2.5, 3.5):
            att[1].attenuation = value
            assert att[1].attenuation == value
    # Six commands; every third request unanswered, then a read that proves the line back in step
    # (the version, whose reply no owed one can be taken for) and the command again.
    received = sim.received()
    assert len(received) == 14 and [received[at][3:5] for at in (3, 6, 9, 12)] == [b"\x00\x03"] * 4
    events = [(r.tolvan_event, r.tolvan_frame) for r in caplog.records]
    assert events[0] == ("opened", None) and events[-1] == ("closed", None)
    assert ("sent", bytes.fromhex("7B 01 07 14 3C 96 00 97 7D")) in events  # 1.5 dB
    assert [e for e, _ in events].count("received nothing") == 4
    assert all(r.getMessage().startswith(f"{r.tolvan_time:.6f} {sim.port} {r.tolvan_event}") for r in caplog.records)

    with Attenuator(sim.port) as att, pytest.raises(NoReply) as missed:
        att[2].attenuation, att[2].attenuation
    assert missed.value.command == "read_current_status(ch=2)" and missed.value.port == sim.port


@pytest.mark.parametrize(("set_to", "error", "says"), [
    (-0.01, ValueError, "negative"), (3.141, ValueError, "finer than the instrument's step of 0.01 dB"),
    (655.35, ValueError, "at or above 655.35 dB"), ("3.5", TypeError, "a number of dB, not str"),
    (float("nan"), ValueError, "not a number"), (None, TypeError, "not NoneType"),
])
def test_values_the_instrument_cannot_take_send_nothing(make_tolvan_sim, set_to, error, says):
    sim = make_tolvan_sim("--wavelengths", "2=1490,1550")
    with Attenuator(sim.port) as att:
        with pytest.raises(error, match=says):
            att[1].attenuation = set_to
        with pytest.raises(NotSupported, match="channel 2 does not support 1310 nm; it supports 1490, 1550") as lacked:
            att[2].wavelength = 1310
        assert (lacked.value.channel, lacked.value.supported) == (2, (1490, 1550))
        with pytest.raises(IndexError, match="channel 5 is not served"):
            att[5]
    assert {frame[3:5] for frame in sim.received()} == {b"\x07\x2e"}  # the lists were read; nothing was set


def test_ports_that_cannot_be_opened(make_tolvan_sim, tmp_path, monkeypatch):
    with pytest.raises(PortUnavailable, match="no such port: is the adapter plugged in?") as missing:
        Attenuator(tmp_path / "ttyUSB9").open()
    assert missing.value.holders == () and isinstance(missing.value, OSError)

    sim = make_tolvan_sim("--exit-after", "2")
    with serial.Serial(sim.port), pytest.raises(PortUnavailable) as held:
        Attenuator(sim.port).open()
    assert held.value.holders and held.value.holders[0].endswith(f"(pid {os.getpid()})")
    assert f"cannot open {sim.port}: {held.value.holders[0]} holds it: close that program" in str(held.value)

    monkeypatch.setenv("PATH", str(tmp_path))  # no lsof to ask
    with pytest.raises(PortUnavailable, match="lsof, which the driver asks .* is not installed"):
        Attenuator(sim.port).open()
    monkeypatch.undo()

    att = Attenuator(sim.port)
    with pytest.raises(PortUnavailable, match=r"cannot send read_device_version\(\) to .*: it is not open"):
        att.version
    att.open()
    att[1].attenuation = 1.0
    att[1].attenuation = 2.0
    with pytest.raises(PortUnavailable, match="failed during set_attenuation.*was the adapter unplugged"):
        att[1].attenuation = 3.0  # the instrument goes away, as if unplugged
    assert not att.is_open
    with pytest.raises(PortUnavailable, match="it was closed after it failed"):
        att[1].clear()
    att.close()


def test_a_forked_child_does_not_use_its_parents_line(tolvan_attenuator, tolvan_sim):
    read, write = os.pipe()
    child = os.fork()
    if child == 0:  # the child: its parent's Attenuator refuses it, sending nothing
        try:
            tolvan_attenuator.version
            said = b"sent"
        except InstrumentError as refused:
            said = b"refused" if "a fork of it" in str(refused) else str(refused).encode()
        os.write(write, said)
        os._exit(0)
    os.close(write)
    with open(read, "rb") as answer:
        assert answer.read() == b"refused"
    os.waitpid(child, 0)
    assert tolvan_attenuator.version == Version(2, 50, 32) and len(tolvan_sim.received()) == 1


def _open_at(port, start, results, done):
    while time.time() < start:
        pass
    try:
        with Attenuator(port) as att:
            results.put(("opened", att.version))
            done.wait(60)  # holding it until every other opener has had its answer
    except PortUnavailable as refused:
        results.put(("refused", refused.holders))


def test_of_many_openers_at_once_exactly_one_holds_the_port(tolvan_sim):
    context = multiprocessing.get_context("spawn")
    results, done = context.Queue(), context.Event()
    start = time.time() + 2  # after every process has started
    openers = [context.Process(target=_open_at, args=(tolvan_sim.port, start, results, done)) for _ in range(8)]
    for opener in openers:
        opener.start()
    outcomes = sorted(results.get(timeout=60) for _ in openers)
    done.set()
    for opener in openers:
        opener.join(60)
    assert outcomes[0] == ("opened", Version(2, 50, 32))
    assert [kind for kind, _ in outcomes[1:]] == ["refused"] * 7, outcomes
    assert tolvan_sim.refused() == [] and len(tolvan_sim.received()) == 1  # nobody else wrote to it


def test_threads_share_an_attenuator_and_the_process_shares_the_driver(make_tolvan_sim):
    sims = [make_tolvan_sim(), make_tolvan_sim()]
    failures = []
    with Attenuator(sims[0].port) as one, Attenuator(sims[1].port) as other:
        def work(att, ch):
            try:
                for step in range(1, 4):
                    att[ch].attenuation = ch + step / 100
                    assert att[ch].attenuation == ch + step / 100
            except Exception as error:  # reported below with the thread's channel
                failures.append((ch, error))

        threads = [threading.Thread(target=work, args=(att, ch)) for att in (one, other) for ch in (1, 2, 3)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    assert failures == []
    for sim in sims:  # no frame mixed another call's channel or value into its own
        assert sim.refused() == []
        assert {ch: held["attenuation"] for ch, held in sim.state().items()} == {1: 1030, 2: 2030, 3: 3030, 4: 0}
