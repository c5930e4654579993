"""The instrument that stops answering, and the adapter unplugged and plugged back: the server keeps
serving, reports it (-240, -241, its log), sends each set once, and recovers without a restart.

Unplugging is a symlink to the simulator's port: the simulator stops, another starts, and the
symlink is pointed at it, as a udev name follows an adapter that comes back.
"""

from __future__ import annotations

import os
import re
import time

import pytest

from tolvan_lab import Attenuator

from .conftest import errors


def point(link, target) -> None:
    """Points the symlink `link` at `target` in one step."""
    new = link.with_name(link.name + ".new")
    new.symlink_to(target)
    os.replace(new, link)


def unplug(link, sim) -> None:
    """The adapter goes: its name first (another test's simulator may soon get the same
    pseudo-terminal), then the instrument."""
    link.unlink()
    sim.stop()


def test_no_reply_answers_nothing_queues_240_and_a_set_is_sent_once(instrument, serve, visa, line):
    pyvisa = pytest.importorskip("pyvisa")
    sim = instrument("--drop-every", "1")  # the instrument hears, and never answers
    server = serve(sim.port)
    session = visa(server.scpi_port, timeout_ms=2500)
    session.write("INP2:ATT 4.5")
    assert errors(session) == ['-240,"Hardware error; no reply from the instrument to set_attenuation(4500, ch=2); '
                               'the setting may or may not have taken effect: query it"']
    with pytest.raises(pyvisa.errors.VisaIOError):
        session.query("INP2:ATT?")  # no answer: the read times out, as with any instrument
    [entry] = errors(session)  # no reply to the status read, or to the list read that comes first
    assert re.fullmatch(r'-240,"Hardware error; no reply from the instrument to read_\w+\(ch=2\)"', entry)
    assert [c for c in sim.commands() if c.name == "set_attenuation"] == [("set_attenuation", 2, 4500)]
    server.wait_for(r"instrument: not answering on .* \(no reply to ")
    # SIGTERM while three clients' sets wait (each request waits 1 s for its reply): the request on
    # the wire ends (the read that must prove the line back in step before a set may go out), the
    # sets are never sent, and the server exits at once.
    before = len(sim.received())
    for ch in (1, 3, 4):
        line(server.scpi_port).send(f"INP{ch}:ATT 1\n".encode())
    deadline = time.monotonic() + 10
    while len(sim.received()) == before and time.monotonic() < deadline:
        time.sleep(0.02)
    began = time.monotonic()
    assert server.stop() == 0
    assert time.monotonic() - began < 2.5
    assert [c for c in sim.commands() if c.name == "set_attenuation"] == [("set_attenuation", 2, 4500)]


def test_the_adapter_unplugged_and_plugged_back(instrument, serve, visa, tmp_path):
    pyvisa = pytest.importorskip("pyvisa")
    first = instrument()
    link = tmp_path / "ttyATT"
    link.symlink_to(first.port)
    server = serve(link)
    session = visa(server.scpi_port, timeout_ms=10000)
    session.write("INP1:ATT 2.5")
    assert session.query("INP1:ATT?") == "2.50"
    assert session.query("INP2:ATT 3.25;:OUTP2:STAT OFF;:OUTP3:STAT OFF;*OPC?") == "1"
    mark = len(server.lines)
    unplug(link, first)
    for query in ("INP1:ATT?", "*IDN?"):  # the port fails under the first; the second finds it closed
        session.timeout = 1500
        with pytest.raises(pyvisa.errors.VisaIOError):
            session.query(query)
        session.timeout = 10000
        assert [entry[:27] for entry in errors(session)] == ['-241,"Hardware missing; the']
    server.wait_for(r"instrument: port \S+ failed \(.*\); trying to open it again every 2 s", after=mark)
    second = instrument("--versions", "3,1,4")
    with Attenuator(second.port) as att:
        att[2].disconnect()  # the new instrument's channel 2 is off, its channel 3 on
    point(link, second.port)
    server.wait_for(r"instrument: port \S+ open", after=mark, timeout=10)
    assert session.query("*IDN?") == f"TOLVAN,attenuator,{link},3.1.4"
    assert session.query("INP1:ATT?") == "0.00"  # the new instrument's own state, read anew
    session.write("INP1:ATT 1.25")
    assert errors(session) == []
    assert second.state()[1]["attenuation"] == 1250
    # What the channels held before they went off was the other instrument's: ON sets nothing.
    session.write("OUTP2:STAT ON;:OUTP3:STAT ON")
    assert [entry[:26] for entry in errors(session)] == ['-221,"Settings conflict; c']
    assert [c for c in second.commands() if c.name == "set_attenuation" and c.channel != 1] == []
    server.wait_for(r"instrument: answering on", after=mark)
