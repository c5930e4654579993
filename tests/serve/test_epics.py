"""The EPICS face through pyepics (Channel Access through EPICS' own libca), on loopback only.

Each pytest-xdist worker takes Channel Access ports of its own (the IOC's and the client's
search port must agree, and one UDP port on one host serves one IOC), and every test its own
record prefix. A put with wait=True returns once the instrument has acknowledged it.
"""

from __future__ import annotations

import os
import signal
import socket
import time
import uuid

import pytest

from .conftest import errors
from .test_instrument_loss import point, unplug


def _free_ports(count: int) -> int:
    """The first of `count` consecutive ports free for TCP and UDP on loopback."""
    for _ in range(50):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            first = probe.getsockname()[1]
        if first + count > 65535:
            continue
        try:
            for port in range(first, first + count):
                for kind in (socket.SOCK_STREAM, socket.SOCK_DGRAM):
                    with socket.socket(socket.AF_INET, kind) as taken:
                        taken.bind(("127.0.0.1", port))
        except OSError:
            continue
        return first
    raise RuntimeError("no four free ports in a row on 127.0.0.1")


PORT = _free_ports(4)
# Read by libca when pyepics first starts it, in this worker: set before the import.
CLIENT = {"EPICS_CA_ADDR_LIST": "127.0.0.1", "EPICS_CA_AUTO_ADDR_LIST": "NO", "EPICS_CA_SERVER_PORT": str(PORT),
          "EPICS_CA_REPEATER_PORT": str(PORT + 1)}
IOC = {**CLIENT, "EPICS_CAS_INTF_ADDR_LIST": "127.0.0.1", "EPICS_PVAS_INTF_ADDR_LIST": "127.0.0.1",
       "EPICS_PVA_SERVER_PORT": str(PORT + 2), "EPICS_PVA_BROADCAST_PORT": str(PORT + 3),
       "EPICS_PVA_ADDR_LIST": "127.0.0.1", "EPICS_PVA_AUTO_ADDR_LIST": "NO"}
os.environ.update(CLIENT)
pytest.importorskip("softioc", reason="the EPICS face needs pythonSoftIOC: pip install 'tolvan[epics]'")
epics = pytest.importorskip("epics", reason="the EPICS tests speak through pyepics: pip install 'tolvan[test-clients]'")

MAJOR, INVALID = 2, 3
HWLIMIT, COMM = 11, 9


def records(prefix: str):
    def get(name: str):
        return epics.caget(prefix + name, timeout=5, use_monitor=False)
    return get


def eventually(check, timeout: float = 15.0) -> None:
    # Generous: the bound only matters when the check fails, and the test command runs these
    # beside the builds of its later stages.
    deadline = time.monotonic() + timeout
    while not check():
        assert time.monotonic() < deadline, f"not within {timeout} s: {check.__doc__ or check}"
        time.sleep(0.05)


def settings_sent(sim) -> int:
    return sum(c.name not in ("read_current_status", "read_optical_length", "read_device_version")
               for c in sim.commands())


PUTS = [  # (record, value, what the instrument then holds, the readbacks, the refusal's AMSG or None)
    ("CH1:ATT", 3.5, {1: {"attenuation": 3500}}, {"CH1:ATT_RBV": 3.5, "CH1:CONNECTED_RBV": 1}, None),
    ("CH2:WL", 1550, {2: {"wavelength_index": 2}}, {"CH2:WL_RBV": 1550}, None),
    ("CH2:WL", 1555, {2: {"wavelength_index": 2}}, {"CH2:WL": 1550, "CH2:WL_RBV": 1550}, "1555 nm: not 1310,1490,1550"),
    ("CH1:ATT", 1.234, {1: {"attenuation": 3500}}, {"CH1:ATT": 3.5}, "not 0-655.34 dB in 0.01 dB steps"),
    ("CH1:ATT", 12.25, {1: {"attenuation": 12250}}, {"CH1:ATT": 12.25, "CH1:ATT_RBV": 12.25}, None),
    ("CH3:DISCONNECT", 1, {3: {"connected": False}}, {"CH3:CONNECTED_RBV": 0, "CH3:ATT_RBV": 655.35}, None),
    ("CH3:CLEAR", 1, {3: {"connected": True, "attenuation": 0}}, {"CH3:CONNECTED_RBV": 1, "CH3:ATT_RBV": 0.0}, None),
]


def test_records_puts_readbacks_and_both_faces(instrument, serve, visa):
    sim = instrument()
    prefix = f"T{uuid.uuid4().hex[:8]}:"
    # Each channel is polled once in 8 s: a readback that changes within a second or two came from
    # the acknowledgement.
    server = serve(sim.port, "--epics", prefix, "--scpi", "127.0.0.1:0", "--poll", "8", env=IOC)
    get = records(prefix)
    eventually(lambda: get("ONLINE") == 1 and get("CH4:CONNECTED_RBV.SEVR") == 0, timeout=15)
    assert get("VERSION") == "2.50.32"
    assert list(get("CH2:WL_LIST")) == [1310, 1490, 1550]
    assert (get("CH1:ATT_RBV"), get("CH1:WL_RBV"), get("CH1:WL")) == (0.0, 1310, 1310)  # setpoints start as read
    for record, value, holds, readbacks, refusal in PUTS:
        sent = settings_sent(sim)
        assert epics.caput(prefix + record, value, wait=True, timeout=5) == 1
        state = sim.state()  # the put has returned: the instrument holds it already
        for ch, held in holds.items():
            assert {key: state[ch][key] for key in held} == held, (record, value, state[ch])
        for name, shown in readbacks.items():
            eventually(lambda: get(name) == pytest.approx(shown), timeout=1)
        severity = (get(record + ".SEVR"), get(record + ".STAT"), get(record + ".AMSG"))
        if refusal is None:
            assert severity == (0, 0, ""), (record, value)
        else:
            assert severity == (MAJOR, HWLIMIT, refusal)
            assert settings_sent(sim) == sent  # refused: nothing sent
    # Plain puts (caput without -c) one after another: the second comes while the first, refused,
    # is still being judged; it is not lost, and nothing else is sent.
    sent = settings_sent(sim)
    for record, refused, accepted in (("CH2:WL", 1555, 1310), ("CH1:ATT", 1.234, 4.75)):
        assert epics.caput(prefix + record, refused) == 1 and epics.caput(prefix + record, accepted) == 1
    eventually(lambda: (sim.state()[2]["wavelength_index"], sim.state()[1]["attenuation"]) == (0, 4750))
    for record, value in (("CH2:WL", 1310), ("CH1:ATT", 4.75)):
        eventually(lambda: (get(record), get(record + ".SEVR")) == (pytest.approx(value), 0))
    assert settings_sent(sim) == sent + 2
    # A change made through one face shows on the other.
    session = visa(server.scpi_port)
    session.write("INP4:ATT 6.5")
    eventually(lambda: get("CH4:ATT_RBV") == 6.5, timeout=2)  # the set's 0.2 s pause, then its acknowledgement
    assert epics.caput(prefix + "CH4:ATT", 7, wait=True, timeout=5) == 1
    assert session.query("INP4:ATT?") == "7.00"
    assert errors(session) == []


def test_alarms_while_the_instrument_is_gone_or_silent_and_the_recovery(instrument, serve, tmp_path):
    first = instrument()
    link = tmp_path / "ttyATT"
    link.symlink_to(first.port)
    prefix = f"T{uuid.uuid4().hex[:8]}:"
    server = serve(link, "--epics", prefix, "--poll", "0.3", env=IOC)
    get = records(prefix)
    readbacks = ["CH1:ATT_RBV", "CH2:WL_RBV", "CH3:CONNECTED_RBV", "CH4:WL_LIST", "VERSION"]

    def alarms(severity: int, status: int):
        def check() -> bool:
            return all((get(name + ".SEVR"), get(name + ".STAT")) == (severity, status) for name in readbacks)
        return check

    eventually(alarms(0, 0), timeout=30)  # the IOC's start, then the first reads of every channel
    assert get("ONLINE") == 1
    first.process.send_signal(signal.SIGSTOP)  # silent, the port still there
    try:
        eventually(alarms(INVALID, COMM))
        assert get("ONLINE") == 0
    finally:
        first.process.send_signal(signal.SIGCONT)
    eventually(alarms(0, 0))  # answering again: every readback read anew, the version and lists too
    assert get("ONLINE") == 1
    unplug(link, first)  # unplugged
    eventually(alarms(INVALID, COMM))
    assert get("ONLINE") == 0
    mark = len(server.lines)
    silent = instrument("--drop-every", "1")  # plugged back, but it does not answer
    point(link, silent.port)
    server.wait_for(r"instrument: port \S+ open", after=mark, timeout=10)
    assert epics.caput(prefix + "CH1:ATT", 2, wait=True, timeout=10) == 1
    assert (get("CH1:ATT.SEVR"), get("CH1:ATT.STAT"), get("CH1:ATT.AMSG")) == \
           (INVALID, COMM, "no reply from the instrument")
    # Nothing it answered proves the line in step after its first silence: the set is never sent.
    assert silent.received() and [c for c in silent.commands() if c.name == "set_attenuation"] == []
    assert get("ONLINE") == 0 and alarms(INVALID, COMM)()
    unplug(link, silent)
    mark = len(server.lines)
    last = instrument("--versions", "3,1,4")
    point(link, last.port)
    server.wait_for(r"instrument: answering on", after=mark, timeout=10)
    eventually(alarms(0, 0))
    assert (get("ONLINE"), get("VERSION"), get("CH1:ATT_RBV")) == (1, "3.1.4", 0.0)
    assert epics.caput(prefix + "CH1:ATT", 1.5, wait=True, timeout=5) == 1
    assert (get("CH1:ATT.SEVR"), last.state()[1]["attenuation"]) == (0, 1500)
