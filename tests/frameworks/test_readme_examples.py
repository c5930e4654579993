"""The README's framework examples, taken from the README as they stand and run as a user runs
them (a fresh interpreter), against the simulator: only the port (or the server's address) differs."""

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import free_ports

from .support import SETPOINTS, Server, mdb_set_on

README = Path(__file__).resolve().parents[2] / "README.md"
SECTION = "## Measurement frameworks: QCoDeS, Bluesky, PyMeasure"

pytestmark = pytest.mark.skipif(not README.exists(), reason="README.md is not beside the tests")


def examples(framework):
    """The Python code blocks of the section's part on `framework`, in order."""
    text = README.read_text(encoding="utf-8")
    assert SECTION in text, f"README.md has no section {SECTION!r}"
    section = text.split(SECTION, 1)[1].split("\n## ", 1)[0]
    part = section.split(f"\n### {framework}", 1)[1].split("\n### ", 1)[0]
    return re.findall(r"```python\n(.*?)```", part, re.S)


def run(code, cwd, env=None):
    done = subprocess.run([sys.executable, "-c", code], cwd=cwd, env=env or dict(os.environ), capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


def with_port(code, port):
    assert code.count('"/dev/ttyUSB0"') == 1, "the example names its port once, as /dev/ttyUSB0"
    return code.replace('"/dev/ttyUSB0"', repr(port))


def test_the_qcodes_example(sim, tmp_path):
    pytest.importorskip("qcodes", reason="needs QCoDeS: pip install 'tolvan[qcodes]'")
    shown = run(with_port(examples("QCoDeS")[0], sim.port), tmp_path)
    assert "Connected to: TOLVAN attenuator" in shown
    assert (tmp_path / "attenuator.db").exists()
    assert mdb_set_on(sim, 2) == [round(db * 1000) for db in SETPOINTS]
    assert sim.state()[2]["attenuation"] == 10_000
    assert sim.state()[2]["wavelength_index"] == 2  # 1550 nm


def test_the_bluesky_example(sim, tmp_path):
    pytest.importorskip("ophyd_async", reason="needs ophyd-async and Bluesky: pip install 'tolvan[bluesky]'")
    shown = run(with_port(examples("Bluesky")[0], sim.port), tmp_path)
    rows = re.findall(r"^\|\s+\d+ \|.*?\|\s+([\d.]+) \|\s+1310 \|\s+True \|$", shown, re.M)
    assert [float(db) for db in rows] == SETPOINTS, shown
    assert sim.state()[2]["attenuation"] == 10_000


def test_the_pymeasure_example(sim, tmp_path):
    pytest.importorskip("pymeasure", reason="needs PyMeasure: pip install 'tolvan[pymeasure]'")
    server = Server(sim)
    try:
        code = examples("PyMeasure")[0]
        assert code.count('"TCPIP::127.0.0.1::5025::SOCKET"') == 1
        shown = run(code.replace('"TCPIP::127.0.0.1::5025::SOCKET"', repr(server.resource)), tmp_path)
    finally:
        assert server.stop() == 0
    assert shown.splitlines() == [f"TOLVAN,attenuator,{sim.port},2.50.32",
                                  "0.0 0.0 True", "2.5 2.5 True", "5.0 5.0 True"]
    assert sim.state()[2]["wavelength_index"] == 2


# The README's EPICS device: each signal and the record it reads (and writes), as `tolvan serve
# --epics LAB:ATT1:` names them.
EPICS_RECORDS = {
    "ch2.attenuation": ("LAB:ATT1:CH2:ATT_RBV", "LAB:ATT1:CH2:ATT"),
    "ch2.wavelength": ("LAB:ATT1:CH2:WL_RBV", "LAB:ATT1:CH2:WL"),
    "ch2.connected": ("LAB:ATT1:CH2:CONNECTED_RBV", "LAB:ATT1:CH2:CONNECTED_RBV"),
    "ch2.wavelengths": ("LAB:ATT1:CH2:WL_LIST", "LAB:ATT1:CH2:WL_LIST"),
    "ch4.attenuation": ("LAB:ATT1:CH4:ATT_RBV", "LAB:ATT1:CH4:ATT"),
    "version": ("LAB:ATT1:VERSION", "LAB:ATT1:VERSION"),
    "online": ("LAB:ATT1:ONLINE", "LAB:ATT1:ONLINE"),
}


def connected_epics_device(prefix):
    from bluesky import RunEngine
    from ophyd_async.core import init_devices

    namespace = {}
    exec(examples("Bluesky")[1], namespace)
    engine = RunEngine()  # init_devices connects on the RunEngine's event loop
    with init_devices(mock=prefix is None):
        att = namespace["EpicsAttenuator"](prefix or "LAB:ATT1:")
    return engine, att


def test_the_epics_device_names_the_servers_records():
    pytest.importorskip("ophyd_async", reason="needs ophyd-async and Bluesky: pip install 'tolvan[bluesky]'")
    pytest.importorskip("aioca", reason="needs ophyd-async's Channel Access: pip install 'ophyd-async[ca]'")
    _, att = connected_epics_device(None)
    named = {}
    for path in EPICS_RECORDS:
        signal = att
        for part in path.split("."):
            signal = getattr(signal, part)
        backend = signal._connector.backend.initial_backend  # the CA backend behind the mock
        named[path] = (backend.read_pv, backend.write_pv)
    assert named == EPICS_RECORDS
    assert att.ch2.attenuation.name == "att-ch2-attenuation"


def test_the_epics_device_scans_through_tolvan_serve(sim, tmp_path):
    pytest.importorskip("ophyd_async", reason="needs ophyd-async and Bluesky: pip install 'tolvan[bluesky]'")
    pytest.importorskip("aioca", reason="needs ophyd-async's Channel Access: pip install 'ophyd-async[ca]'")
    pytest.importorskip("softioc", reason="needs pythonSoftIOC for tolvan serve --epics: pip install 'tolvan[epics]'")
    # Ports of this test's own, on loopback: one UDP port on one host serves one IOC's searches.
    port = free_ports(4)
    client = {"EPICS_CA_ADDR_LIST": "127.0.0.1", "EPICS_CA_AUTO_ADDR_LIST": "NO",
              "EPICS_CA_SERVER_PORT": str(port), "EPICS_CA_REPEATER_PORT": str(port + 1)}
    ioc = {**client, "EPICS_CAS_INTF_ADDR_LIST": "127.0.0.1", "EPICS_PVAS_INTF_ADDR_LIST": "127.0.0.1",
           "EPICS_PVA_SERVER_PORT": str(port + 2), "EPICS_PVA_BROADCAST_PORT": str(port + 3),
           "EPICS_PVA_ADDR_LIST": "127.0.0.1", "EPICS_PVA_AUTO_ADDR_LIST": "NO"}
    prefix = f"TFW{port}:"
    server = Server(sim, "--epics", prefix, env={**os.environ, **ioc})
    try:
        shown = run(examples("Bluesky")[1] + EPICS_SCAN.replace("PREFIX", repr(prefix)), tmp_path,
                    env={**os.environ, **client})
    finally:
        assert server.stop() == 0, "".join(server.said)
    events = json.loads(shown.splitlines()[-1])
    assert [event["att-ch2-attenuation"] for event in events] == [0.0, 2.5, 5.0, 7.5, 10.0]
    assert all(event["att-ch2-connected"] is True for event in events)
    assert mdb_set_on(sim, 2) == [0, 2500, 5000, 7500, 10_000]


# Run after the README's device definition: a scan through the server's records.
EPICS_SCAN = """
import json
import bluesky.plans as bp
from bluesky import RunEngine
from ophyd_async.core import init_devices

RE = RunEngine()
with init_devices():
    att = EpicsAttenuator(PREFIX)
documents = []
RE(bp.scan([att.ch2], att.ch2.attenuation, 0, 10, 5), lambda name, doc: documents.append((name, doc)))
print(json.dumps([doc["data"] for name, doc in documents if name == "event"]))
"""
