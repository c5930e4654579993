"""tolvan ports: which ports are held, and with --probe which answer as the attenuator."""

import os
import re

import serial

from .conftest import STRICT_UTF8, needs_simulator

pytestmark = needs_simulator


def row(port, held=False, holders=(), instrument=None, description=None):
    return {"port": port, "description": description, "vid_pid": None, "serial_number": None,  # no USB: a pty
            "held": held, "holders": list(holders), "instrument": instrument}


def test_probe_finds_the_instruments_and_never_touches_a_held_port(tolvan, instrument, tmp_path):
    first, second, busy = instrument(), instrument("--versions", "7,8,9"), instrument()
    missing = str(tmp_path / "ttyUSB7")
    link = os.fsencode(tmp_path) + b"/ttyBUSY\xff"  # the held port under another name, not UTF-8
    os.symlink(busy.port, link)
    shown_link = f"{tmp_path}/ttyBUSY\\xff"  # as the command shows it
    ports = [first.port, second.port, busy.port, missing, link]
    with serial.Serial(busy.port):  # this test process holds it, as a terminal program would
        listed = tolvan("ports", *ports, "--json", env=STRICT_UTF8)
        assert first.received() == [] and second.received() == []  # nothing written without --probe
        probed = tolvan("--json", "ports", "--probe", *ports, env=STRICT_UTF8)
        shown = tolvan("ports", "--probe", *ports, env=STRICT_UTF8)
    assert listed.status == probed.status == shown.status == 0, (listed, probed, shown)
    configured = tolvan("--json", "ports", first.port, env={"TOLVAN_PORT": missing})  # listed as -p is
    assert configured.doc == [listed.doc[0], listed.doc[3]], configured
    simulated = tolvan("--sim", "--json", "ports", "--probe", missing)  # the simulator's port is listed, and answers
    assert simulated.doc[0] == listed.doc[3] and len(simulated.doc) == 2, simulated
    assert simulated.doc[1]["instrument"] == {"module_version": 2, "hard_version": 50, "soft_version": 32}, simulated
    holders = listed.doc[2]["holders"]
    assert [holder["pid"] for holder in holders] == [os.getpid()] and holders[0]["name"], listed
    assert listed.doc == [
        row(first.port), row(second.port), row(busy.port, True, holders),
        row(missing, description="no such device"), row(shown_link, True, holders),
    ]
    assert probed.doc == [
        row(first.port, instrument={"module_version": 2, "hard_version": 50, "soft_version": 32}),
        row(second.port, instrument={"module_version": 7, "hard_version": 8, "soft_version": 9}),
        *listed.doc[2:],
    ]
    assert busy.received() == []
    by = rf"by \S+ \(pid {os.getpid()}\)"
    assert re.search(rf"{re.escape(busy.port)} +- +- +{by} +not probed: held", shown.out), shown
    assert re.search(rf"{re.escape(shown_link)} +- +- +{by} +not probed: held", shown.out), shown
    assert re.search(rf"{re.escape(second.port)} +- +- +free +attenuator, version 7\.8\.9", shown.out), shown
    assert re.search(rf"{re.escape(missing)} +no such device +- +free +not probed: no such device", shown.out), shown


def test_without_lsof_nothing_is_probed(tolvan, instrument, tmp_path):
    """Who holds a port is unknown without lsof: probing it could write into another program's line."""
    sim = instrument()
    (tmp_path / "bin").mkdir()
    run = tolvan("--json", "ports", "--probe", sim.port, env={"PATH": str(tmp_path / "bin")})
    assert run.status == 0 and run.doc == [{**row(sim.port), "held": None, "holders": None}], run
    assert "cannot run lsof" in run.err and "install lsof" in run.err, run
    assert "no answer" not in run.err and "cannot open" not in run.err and "already opened" not in run.err, run
    shown = tolvan("ports", "--probe", sim.port, env={"PATH": str(tmp_path / "bin")})
    assert re.search(rf"{re.escape(sim.port)} +- +- +unknown \(no lsof\) +not probed: who holds it is unknown", shown.out)
    assert sim.received() == []


def test_a_port_failing_while_probed_leaves_the_search_going(tolvan, instrument):
    """An adapter that vanishes as it is asked (here: a simulator that exits on its second request)
    is reported, and the ports after it are still probed and listed."""
    from tolvan_lab import Attenuator

    vanishing, sim = instrument("--exit-after", "1"), instrument()
    with Attenuator(vanishing.port) as att:
        att.version  # its one answer
    run = tolvan("--json", "ports", "--probe", vanishing.port, sim.port)
    assert run.status == 0, run
    assert run.doc == [row(vanishing.port), row(sim.port, instrument={"module_version": 2, "hard_version": 50,
                                                                       "soft_version": 32})], run
    assert f"tolvan ports: the port {vanishing.port} failed during read_device_version()" in run.err, run
