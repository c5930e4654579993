"""The ophyd-async device in a Bluesky RunEngine against the simulator: a scan whose events carry
the setpoints, statuses that finish on the instrument's acknowledgement and fail with the layer's
exception, and serial I/O kept off the event loop."""

import math
import threading

import pytest

pytest.importorskip("ophyd_async", reason="needs ophyd-async and Bluesky: pip install 'tolvan[bluesky]'")

import bluesky.plan_stubs as bps  # noqa: E402
import bluesky.plans as bp  # noqa: E402
from bluesky import RunEngine  # noqa: E402
from bluesky.run_engine import call_in_bluesky_event_loop  # noqa: E402
from bluesky.utils import FailedStatus  # noqa: E402
from ophyd_async.core import init_devices  # noqa: E402

from tolvan_lab import NoReply, attenuator  # noqa: E402
from tolvan_lab.bluesky import TolvanAttenuator  # noqa: E402

from .support import SEVEN_POINTS_HELD, SEVEN_POINTS_MDB, mdb_set_on  # noqa: E402

# Connecting reads the version, then each channel's wavelength list and status: the first nine requests.
CONNECT_REQUESTS = 9


@pytest.fixture
def RE():
    engine = RunEngine(call_returns_result=True)
    yield engine
    if engine.state != "idle":
        engine.halt()


@pytest.fixture
def devices():
    """Connects TolvanAttenuators named att; closes them after the test."""
    made = []

    def make(port, **options):
        with init_devices():
            att = TolvanAttenuator(port, **options)
        made.append(att)
        return att

    yield make
    for att in made:
        att.close()


def test_a_scan_between_steps_runs_to_its_end_and_its_events_hold_what_the_instrument_holds(sim, RE, devices,
                                                                                            monkeypatch):
    att = devices(sim.port)
    loop_thread = call_in_bluesky_event_loop(_thread_of_the_loop())
    driver_threads = set()
    run = attenuator.Attenuator._run

    def recording(self, *args):
        driver_threads.add(threading.get_ident())
        return run(self, *args)

    monkeypatch.setattr(attenuator.Attenuator, "_run", recording)
    documents = []
    RE(bp.scan([att.ch2], att.ch2.attenuation, 0, 10, 7), lambda name, doc: documents.append((name, doc)))

    (descriptor,) = [doc for name, doc in documents if name == "descriptor"]
    events = [doc for name, doc in documents if name == "event"]
    assert [event["data"]["att-ch2-attenuation"] for event in events] == SEVEN_POINTS_HELD
    assert [event["data"]["att-ch2-attenuation-setpoint"] for event in events] == SEVEN_POINTS_HELD
    assert all(event["data"]["att-ch2-connected"] is True for event in events)
    assert {event["data"]["att-ch2-wavelength"] for event in events} == {1310}
    assert descriptor["data_keys"]["att-ch2-attenuation"]["units"] == "dB"
    assert descriptor["configuration"]["att-ch2"]["data"]["att-ch2-wavelengths"].tolist() == [1310, 1490, 1550]
    assert mdb_set_on(sim, 2) == SEVEN_POINTS_MDB
    assert driver_threads and loop_thread not in driver_threads  # serial I/O never on the event loop


async def _thread_of_the_loop():
    return threading.get_ident()


def test_a_set_finishes_when_acknowledged_and_fails_with_the_layers_exception(start_sim, RE, devices):
    sim = start_sim("--drop-every", str(CONNECT_REQUESTS + 2))
    att = devices(sim.port)

    async def set_and_look(value):
        status = att.ch2.attenuation.set(value)
        try:
            await status
        except Exception:
            pass
        return status, sim.state()[2]["attenuation"]

    status, held = call_in_bluesky_event_loop(set_and_look(3.5))
    assert status.done and status.success and held == 3500  # done once the instrument holds it
    status, _ = call_in_bluesky_event_loop(set_and_look(4.0))  # its reply is dropped
    assert status.done and not status.success
    assert isinstance(status.exception(), NoReply)
    sent = len(sim.received())
    with pytest.raises(FailedStatus) as failed:
        RE(bps.mv(att.ch2.wavelength, 1555))
    assert isinstance(failed.value.__cause__, ValueError) and "1310, 1490, 1550" in str(failed.value.__cause__)
    assert len(sim.received()) == sent  # refused before anything was sent
    # The instrument took 4.0 (only its reply was lost): the setpoint of a set that failed is not
    # kept, so that locate() (a rel_scan's centre, its return) is what the instrument holds.
    assert call_in_bluesky_event_loop(att.ch2.attenuation.locate()) == {"setpoint": 4.0, "readback": 4.0}


def test_a_reading_without_a_reply_stops_the_run_without_an_event(start_sim, RE, devices):
    sim = start_sim("--drop-every", str(CONNECT_REQUESTS + 4))
    att = devices(sim.port)
    documents = []
    with pytest.raises(NoReply):
        # Point 0: set (10), read (11); point 1: set (12), read (13): dropped.
        RE(bp.scan([att.ch2], att.ch2.attenuation, 0, 10, 21), lambda name, doc: documents.append((name, doc)))
    events = [doc for name, doc in documents if name == "event"]
    assert [event["data"]["att-ch2-attenuation"] for event in events] == [0.0]
    (stop,) = [doc for name, doc in documents if name == "stop"]
    assert stop["exit_status"] == "fail"
    reading = call_in_bluesky_event_loop(att.ch2.read())
    assert reading["att-ch2-attenuation"]["value"] == 0.5 and not math.isnan(reading["att-ch2-attenuation"]["value"])


def test_moves_and_locate_give_the_step_the_instrument_holds(sim, RE, devices):
    att = devices(sim.port)
    setting = att.ch2.attenuation

    def located():
        return call_in_bluesky_event_loop(setting.locate())

    RE(bps.mv(setting, 0.1 + 0.2))
    assert located() == {"setpoint": 0.3, "readback": 0.3}  # not 0.30000000000000004
    documents = []
    RE(bp.rel_scan([att.ch2], setting, -0.1, 0.1, 3), lambda name, doc: documents.append((name, doc)))
    assert [doc["data"]["att-ch2-attenuation-setpoint"] for name, doc in documents if name == "event"] == [0.2, 0.3,
                                                                                                           0.4]
    assert located() == {"setpoint": 0.3, "readback": 0.3}  # back at the centre
    RE(bps.mvr(setting, 1 / 3))
    assert located() == {"setpoint": 0.63, "readback": 0.63} and sim.state()[2]["attenuation"] == 630


def test_the_configuration_holds_the_wavelength_lists_the_version_and_the_port(start_sim, RE, devices):
    sim = start_sim("--wavelengths", "2=1310,1550")
    att = devices(sim.port)
    configuration = call_in_bluesky_event_loop(att.read_configuration())
    described = call_in_bluesky_event_loop(att.describe_configuration())
    assert configuration.keys() == described.keys()
    assert configuration["att-ch2-wavelengths"]["value"].tolist() == [1310, 1550]
    assert configuration["att-ch1-wavelengths"]["value"].tolist() == [1310, 1490, 1550]
    assert configuration["att-version"]["value"] == "2.50.32"
    assert configuration["att-port"]["value"] == sim.port
    assert described["att-ch2-wavelengths"]["shape"] == [2] and described["att-ch2-wavelengths"]["units"] == "nm"


def test_a_device_connected_in_mock_mode_moves_without_an_instrument(RE):
    with init_devices(mock=True):
        att = TolvanAttenuator("/dev/no-such-port")
    RE(bps.mv(att.ch2.attenuation, 1 / 3))
    assert call_in_bluesky_event_loop(att.ch2.attenuation.locate()) == {"setpoint": 0.33, "readback": 0.33}
    assert not att.attenuator.is_open
