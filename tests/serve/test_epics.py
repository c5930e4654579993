"""The EPICS face: what it shows for what the owner tells, in memory; and through pyepics (Channel
Access through EPICS' own libca) against a real `tolvan serve --epics`, which serves loopback
alone by default.

Each pytest-xdist worker takes Channel Access ports of its own (the IOC's and the client's
search port must agree, and one UDP port on one host serves one IOC), and every test its own
record prefix. A put with wait=True returns once the instrument has acknowledged it.
"""

from __future__ import annotations

import math
import os
import signal
import threading
import time
import uuid

import pytest

from conftest import free_ports
from tolvan_lab import Attenuator
from tolvan_serve.events import ChannelSeen
from tolvan_serve.service import epics_interfaces

from .conftest import Line, errors
from .test_instrument_loss import point, unplug


PORT = free_ports(4)
# Read by libca when pyepics first starts it, in this worker: set before the import. The server is
# left to its default interfaces (loopback).
CLIENT = {"EPICS_CA_ADDR_LIST": "127.0.0.1", "EPICS_CA_AUTO_ADDR_LIST": "NO", "EPICS_CA_SERVER_PORT": str(PORT),
          "EPICS_CA_REPEATER_PORT": str(PORT + 1)}
IOC = {**CLIENT, "EPICS_PVA_SERVER_PORT": str(PORT + 2), "EPICS_PVA_BROADCAST_PORT": str(PORT + 3),
       "EPICS_PVA_ADDR_LIST": "127.0.0.1", "EPICS_PVA_AUTO_ADDR_LIST": "NO"}
os.environ.update(CLIENT)
for _name in ("EPICS_CAS_INTF_ADDR_LIST", "EPICS_PVAS_INTF_ADDR_LIST"):
    os.environ.pop(_name, None)
pytest.importorskip("softioc", reason="the EPICS face needs pythonSoftIOC: pip install 'tolvan[epics]'")
epics = pytest.importorskip("epics", reason="the EPICS tests speak through pyepics: pip install 'tolvan[test-clients]'")
from tolvan_serve.epics import Held, merged  # noqa: E402  (needs softioc)

NAN = math.nan
MAJOR, INVALID = 2, 3
HWLIMIT, COMM = 11, 9


# What a channel held, what was seen -> what it holds now.
MERGED = [
    (Held(), ChannelSeen(1, 1310, 0.0, True), Held(1310, 0.0, True)),
    (Held(1310, 3.5, True), ChannelSeen(1, 1550, None, None), Held(1550, 3.5, True)),  # a selection's acknowledgement
    (Held(1310, 3.5, True), ChannelSeen(1, None, None, False), Held(1310, None, False)),  # disconnected
    (Held(1310, None, False), ChannelSeen(1, None, 0.0, True), Held(1310, 0.0, True)),  # cleared
    (Held(1310, None, False), ChannelSeen(1, 1310, None, False), Held(1310, None, False)),
]


@pytest.mark.parametrize(("held", "seen", "now"), MERGED)
def test_what_a_channel_holds_after_each_sighting(held, seen, now):
    assert merged(held, seen) == now


@pytest.mark.parametrize(("environ", "set_"), [
    ({}, {"EPICS_CAS_INTF_ADDR_LIST": "127.0.0.1", "EPICS_PVAS_INTF_ADDR_LIST": "127.0.0.1"}),
    ({"EPICS_CAS_INTF_ADDR_LIST": " "}, {"EPICS_CAS_INTF_ADDR_LIST": "127.0.0.1",
                                         "EPICS_PVAS_INTF_ADDR_LIST": "127.0.0.1"}),
    ({"EPICS_CAS_INTF_ADDR_LIST": "10.0.0.7"}, {"EPICS_PVAS_INTF_ADDR_LIST": "127.0.0.1"}),  # the user's wins
    ({"EPICS_CAS_INTF_ADDR_LIST": "0.0.0.0", "EPICS_PVAS_INTF_ADDR_LIST": "0.0.0.0"}, {}),
])
def test_epics_serves_loopback_unless_told(environ, set_):
    assert epics_interfaces("127.0.0.1", environ) == set_


def ioc(serve, port, prefix: str, *options: str):
    """`tolvan serve --epics PREFIX OPTIONS` on this worker's ports, once it serves its records: a
    client that searched before the IOC listened would wait out Channel Access's growing search
    intervals, with no beacon to cut them short where this worker has no repeater running yet."""
    server = serve(port, "--epics", prefix, *options, env=IOC)
    server.wait_for(r"EPICS records", timeout=30)
    return server


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


def same(got, want) -> bool:
    if isinstance(want, float) and math.isnan(want):
        return got is not None and math.isnan(got)
    return got == pytest.approx(want)


def settings_sent(sim) -> int:
    return sum(c.name not in ("read_current_status", "read_optical_length", "read_device_version")
               for c in sim.commands())


PUTS = [  # (record, value, what the instrument then holds, the records then, the refusal's alarm status or None)
    ("CH1:ATT", 3.5, {1: {"attenuation": 3500}}, {"CH1:ATT_RBV": 3.5, "CH1:CONNECTED_RBV": 1}, None),
    ("CH2:WL", 1550, {2: {"wavelength_index": 2}}, {"CH2:WL_RBV": 1550}, None),
    # Refused: nothing sent, and the setpoint shows what the instrument holds.
    ("CH2:WL", 1555, {2: {"wavelength_index": 2}}, {"CH2:WL": 1550, "CH2:WL_RBV": 1550}, HWLIMIT),
    ("CH1:ATT", 1.234, {1: {"attenuation": 3500}}, {"CH1:ATT": 3.5}, HWLIMIT),
    ("CH1:ATT", -5, {1: {"attenuation": 3500}}, {"CH1:ATT": 3.5, "CH1:ATT_RBV": 3.5}, HWLIMIT),  # not 0 dB
    ("CH1:ATT", 655.35, {1: {"attenuation": 3500}}, {"CH1:ATT": 3.5}, HWLIMIT),  # not 655.34 dB
    ("CH1:ATT", NAN, {1: {"attenuation": 3500}}, {"CH1:ATT": 3.5}, HWLIMIT),
    ("CH1:ATT", 12.25, {1: {"attenuation": 12250}}, {"CH1:ATT": 12.25, "CH1:ATT_RBV": 12.25}, None),
    # A disconnected channel has no attenuation: NaN, INVALID; the action records go back to 0.
    ("CH3:DISCONNECT", 1, {3: {"connected": False}}, {"CH3:CONNECTED_RBV": 0, "CH3:ATT_RBV": NAN,
                                                      "CH3:ATT_RBV.SEVR": INVALID, "CH3:ATT": NAN,
                                                      "CH3:DISCONNECT": 0}, None),
    ("CH3:CLEAR", 1, {3: {"connected": True, "attenuation": 0}}, {"CH3:CONNECTED_RBV": 1, "CH3:ATT_RBV": 0.0,
                                                                  "CH3:ATT_RBV.SEVR": 0, "CH3:ATT": 0.0,
                                                                  "CH3:CLEAR": 0}, None),
]


def test_records_puts_readbacks_and_both_faces(instrument, serve, visa):
    sim = instrument()
    prefix = f"T{uuid.uuid4().hex[:8]}:"
    # Each channel is polled once in 8 s: a record that changes within a second or two did so
    # with the acknowledgement.
    server = ioc(serve, sim.port, prefix, "--scpi", "127.0.0.1:0", "--poll", "8")
    assert f"EPICS records {prefix}* (Channel Access on 127.0.0.1, PV Access on 127.0.0.1;" in server.log()
    get = records(prefix)
    eventually(lambda: get("ONLINE") == 1 and get("CH4:CONNECTED_RBV.SEVR") == 0, timeout=15)
    assert get("VERSION") == "2.50.32"
    assert list(get("CH2:WL_LIST")) == [1310, 1490, 1550]
    assert (get("CH1:ATT_RBV"), get("CH1:WL_RBV"), get("CH1:WL")) == (0.0, 1310, 1310)  # setpoints start as read
    for record, value, holds, shown, refusal in PUTS:
        sent = settings_sent(sim)
        assert epics.caput(prefix + record, value, wait=True, timeout=5) == 1
        state = sim.state()  # the put has returned: the instrument holds it already
        for ch, held in holds.items():
            assert {key: state[ch][key] for key in held} == held, (record, value, state[ch])
        for name, want in shown.items():
            eventually(lambda: same(get(name), want), timeout=1)
        severity = (get(record + ".SEVR"), get(record + ".STAT"))
        assert severity == ((0, 0) if refusal is None else (MAJOR, refusal)), (record, value)
        assert settings_sent(sim) == sent + (refusal is None)
    # Plain puts (caput without -c) one after another: the second comes while the first, refused,
    # is still being judged; it is not lost, and nothing else is sent.
    sent = settings_sent(sim)
    for record, refused, accepted in (("CH2:WL", 1555, 1310), ("CH1:ATT", 1.234, 4.75)):
        assert epics.caput(prefix + record, refused) == 1 and epics.caput(prefix + record, accepted) == 1
    eventually(lambda: (sim.state()[2]["wavelength_index"], sim.state()[1]["attenuation"]) == (0, 4750))
    for record, value in (("CH2:WL", 1310), ("CH1:ATT", 4.75)):
        eventually(lambda: (get(record), get(record + ".SEVR")) == (pytest.approx(value), 0))
    assert settings_sent(sim) == sent + 2
    # A change made through one face shows on the other, setpoints included (a relative move
    # reads the setpoint), and showing it sends nothing.
    session = visa(server.scpi_port)
    sent = settings_sent(sim)
    session.write("INP4:ATT 6.5;:INP4:WAV 1490")
    eventually(lambda: (get("CH4:ATT_RBV"), get("CH4:ATT"), get("CH4:WL")) == (6.5, 6.5, 1490), timeout=2)
    assert epics.caput(prefix + "CH4:ATT", get("CH4:ATT") + 0.5, wait=True, timeout=5) == 1
    assert session.query("INP4:ATT?") == "7.00"
    assert errors(session) == []
    assert settings_sent(sim) == sent + 3


def test_monitors_come_with_changes_only(instrument, serve):
    sim = instrument()
    prefix = f"T{uuid.uuid4().hex[:8]}:"
    server = ioc(serve, sim.port, prefix, "--scpi", "127.0.0.1:0", "--poll", "0.2")
    get = records(prefix)
    eventually(lambda: get("ONLINE") == 1 and get("CH4:CONNECTED_RBV.SEVR") == 0)
    assert epics.caput(prefix + "CH3:DISCONNECT", 1, wait=True, timeout=5) == 1
    names = [f"CH{ch}:{name}" for ch in (1, 3) for name in ("ATT", "ATT_RBV", "WL", "WL_RBV", "CONNECTED_RBV")]
    posted: dict[str, list] = {name: [] for name in names + ["ONLINE", "VERSION"]}
    lock = threading.Lock()

    def heard(pvname, value, severity, **_):
        with lock:
            posted[pvname[len(prefix):]].append((value, severity))

    def listening(seconds: float) -> None:
        """Lets libca deliver the monitors that come within `seconds`."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            epics.ca.poll(evt=0.05)
    monitors = [epics.PV(prefix + name, callback=heard, form="time") for name in posted]
    try:
        eventually(lambda: epics.ca.poll() or all(posted.values()))  # each record's first monitor: its value now
        listening(0.5)
        with lock:
            before = {name: len(values) for name, values in posted.items()}
        polls = len(sim.commands())
        listening(2)  # about ten polls of each channel, on an idle instrument
        assert len(sim.commands()) - polls >= 8
        with lock:
            assert {name: posted[name][before[name]:] for name in posted} == {name: [] for name in posted}
        # A change shows by monitor, on the readback and on the setpoint.
        line = Line(server.scpi_port)
        try:
            assert line.query("INP1:ATT 2.5;*OPC?") == "1"
        finally:
            line.close()
        listening(1)
        with lock:
            assert {name: [v for v, _ in posted[name][before[name]:]] for name in ("CH1:ATT", "CH1:ATT_RBV")} == \
                   {"CH1:ATT": [2.5], "CH1:ATT_RBV": [2.5]}
        value, severity = posted["CH3:ATT_RBV"][-1]
        assert math.isnan(value) and severity == INVALID
    finally:
        for monitor in monitors:
            monitor.disconnect()


def test_alarms_while_the_instrument_is_gone_or_silent_and_the_recovery(instrument, serve, tmp_path):
    first = instrument()
    link = tmp_path / "ttyATT"
    link.symlink_to(first.port)
    prefix = f"T{uuid.uuid4().hex[:8]}:"
    server = ioc(serve, link, prefix, "--poll", "0.3")
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
        assert (get("CH1:ATT.SEVR"), get("CH1:ATT.STAT")) == (INVALID, COMM)  # the setpoints are not known either
    finally:
        first.process.send_signal(signal.SIGCONT)
    eventually(alarms(0, 0))  # answering again: every readback read anew, the version and lists too
    eventually(lambda: (get("ONLINE"), get("CH1:ATT.SEVR")) == (1, 0))
    unplug(link, first)  # unplugged
    eventually(alarms(INVALID, COMM))
    assert get("ONLINE") == 0
    mark = len(server.lines)
    silent = instrument("--drop-every", "1")  # plugged back, but it does not answer
    point(link, silent.port)
    server.wait_for(r"instrument: port \S+ open", after=mark, timeout=10)
    assert epics.caput(prefix + "CH1:ATT", 2, wait=True, timeout=10) == 1
    # The put may have taken effect or not: no number, and the alarm says why.
    assert (get("CH1:ATT.SEVR"), get("CH1:ATT.STAT")) == (INVALID, COMM) and math.isnan(get("CH1:ATT"))
    # Nothing it answered proves the line in step after its first silence: the set is never sent.
    assert silent.received() and [c for c in silent.commands() if c.name == "set_attenuation"] == []
    assert get("ONLINE") == 0 and alarms(INVALID, COMM)()
    unplug(link, silent)
    mark = len(server.lines)
    last = instrument("--versions", "3,1,4")
    with Attenuator(last.port) as att:  # another instrument, in another state
        att[1].attenuation, att[2].wavelength = 4.25, 1550
    point(link, last.port)
    server.wait_for(r"instrument: answering on", after=mark, timeout=10)
    eventually(alarms(0, 0))
    # Its own state, setpoints included, read without sending anything.
    eventually(lambda: (get("CH1:ATT"), get("CH1:ATT.SEVR"), get("CH2:WL")) == (4.25, 0, 1550))
    assert (get("ONLINE"), get("VERSION"), get("CH1:ATT_RBV")) == (1, "3.1.4", 4.25)
    assert settings_sent(last) == 2  # the two above
    assert epics.caput(prefix + "CH1:ATT", 1.5, wait=True, timeout=5) == 1
    assert (get("CH1:ATT.SEVR"), last.state()[1]["attenuation"]) == (0, 1500)
