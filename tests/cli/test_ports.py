"""tolvan ports: which ports are held, and with --probe which answer as the attenuator."""

import os
import re

import serial

from .conftest import needs_simulator

pytestmark = needs_simulator


def test_probe_finds_the_instruments_and_never_touches_a_held_port(tolvan, instrument, tmp_path):
    first, second, busy = instrument(), instrument("--versions", "7,8,9"), instrument()
    missing = str(tmp_path / "ttyUSB7")
    ports = [first.port, second.port, busy.port, missing]
    with serial.Serial(busy.port):  # this test process holds it, as a terminal program would
        listed = tolvan("ports", *ports, "--json")
        assert first.received() == [] and second.received() == []  # nothing written without --probe
        probed = tolvan("--json", "ports", "--probe", *ports)
        shown = tolvan("ports", "--probe", *ports)
    assert listed.status == probed.status == shown.status == 0, (listed, probed, shown)
    configured = tolvan("--json", "ports", first.port, env={"TOLVAN_PORT": missing})  # listed as -p is
    assert configured.doc == [listed.doc[0], listed.doc[3]], configured
    simulated = tolvan("--sim", "--json", "ports", "--probe", missing)  # the simulator's port is listed, and answers
    assert simulated.doc[0] == listed.doc[3] and len(simulated.doc) == 2, simulated
    assert simulated.doc[1]["instrument"] == {"module_version": 2, "hard_version": 50, "soft_version": 32}, simulated
    held = {"port": busy.port, "description": None, "held": True, "instrument": None}
    assert listed.doc == [
        {"port": first.port, "description": None, "held": False, "instrument": None},
        {"port": second.port, "description": None, "held": False, "instrument": None},
        held,
        {"port": missing, "description": "no such device", "held": False, "instrument": None},
    ]
    assert probed.doc[:3] == [
        {**listed.doc[0], "instrument": {"module_version": 2, "hard_version": 50, "soft_version": 32}},
        {**listed.doc[1], "instrument": {"module_version": 7, "hard_version": 8, "soft_version": 9}},
        held,
    ]
    assert busy.received() == []
    assert re.search(rf"{re.escape(busy.port)} +- +by \S+ \(pid {os.getpid()}\) +not probed: held", shown.out), shown
    assert re.search(rf"{re.escape(second.port)} +- +free +attenuator, version 7\.8\.9", shown.out), shown
    assert re.search(rf"{re.escape(missing)} +no such device +free +not probed: no such device", shown.out), shown
