"""The PyMeasure instrument through a running `tolvan serve --scpi` on the simulator, over PyVISA's
pure-Python backend: the example Procedure's sweep, what the channel refuses, and failed commands
(no reply, a late reply) raising rather than giving a stale value."""

import csv
import importlib.util
import math
from pathlib import Path

import pytest

pytest.importorskip("pymeasure", reason="needs PyMeasure: pip install 'tolvan[pymeasure]'")
pytest.importorskip("pyvisa_py", reason="needs pyvisa-py: pip install 'tolvan[pymeasure]'")

from tolvan_lab import NoReply, PortUnavailable  # noqa: E402
from tolvan_lab.pymeasure import TolvanAttenuator  # noqa: E402
from tolvan_sim import SimulatedInstrument, find_simulator  # noqa: E402

from .support import SEVEN_POINTS_HELD, SEVEN_POINTS_MDB, Server, mdb_set_on  # noqa: E402

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "pymeasure_sweep.py"


@pytest.fixture
def serve():
    started = []

    def start(sim):
        started.append(Server(sim))
        return started[-1]

    yield start
    for server in started:
        assert server.stop() == 0, "".join(server.said)


@pytest.fixture
def instruments():
    made = []

    def make(resource, **options):
        made.append(TolvanAttenuator(resource, **options))
        return made[-1]

    yield make
    for att in made:
        att.adapter.close()


def load_example():
    spec = importlib.util.spec_from_file_location("pymeasure_sweep", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_the_example_procedure_records_each_step_as_set_and_read(sim, serve, tmp_path, capsys):
    server = serve(sim)
    example = load_example()
    status = example.main(["--resource", server.resource, "--channel", "2", "--start", "0", "--stop", "10",
                           "--points", "7", str(tmp_path / "sweep.csv")])

    assert status == 0, capsys.readouterr()
    with open(tmp_path / "sweep.csv", newline="") as file:
        rows = list(csv.DictReader(line for line in file if not line.startswith("#")))
    assert [float(row["Set attenuation (dB)"]) for row in rows] == SEVEN_POINTS_HELD
    assert [float(row["Read attenuation (dB)"]) for row in rows] == SEVEN_POINTS_HELD
    assert mdb_set_on(sim, 2) == SEVEN_POINTS_MDB


@pytest.mark.parametrize("arguments, said", [
    (["--channel", "0"], "--channel must be 1 to 255, not 0"),
    (["--points", "1"], "--points must be 2 to 10000, not 1"),
    (["--stop", "655.35"], "--stop 655.35: attenuation 655.35 dB is at or above 655.35 dB"),
    (["--start", "-1"], "--start -1 --stop 10: attenuation -1.0 dB is negative"),
], ids=str)
def test_the_example_refuses_a_channel_or_grid_before_it_starts(arguments, said, tmp_path, capsys):
    with pytest.raises(SystemExit) as exited:  # no server: nothing is asked of it
        load_example().main(["--resource", "TCPIP::127.0.0.1::1::SOCKET", *arguments, str(tmp_path / "sweep.csv")])
    assert exited.value.code == 2 and said in capsys.readouterr().err
    assert not (tmp_path / "sweep.csv").exists()


def test_the_example_refuses_a_channel_the_server_does_not_serve(sim, serve, tmp_path, caplog):
    status = load_example().main(["--resource", serve(sim).resource, "--channel", "5", str(tmp_path / "sweep.csv")])
    assert status == 1 and "channel 5 is not served: the server serves channels 1 to 4" in caplog.text
    assert not [command for command in sim.commands() if command.name == "set_attenuation"]


@pytest.fixture(scope="module")
def served():
    """One simulator, server and client for the whole table (each case looks only at what it sent)."""
    if find_simulator() is None:
        pytest.skip("needs the simulator tolvan-sim")
    with SimulatedInstrument("--wavelengths", "3=") as sim:  # channel 3 lists none: it names no wavelength
        server = Server(sim)
        att = TolvanAttenuator(server.resource)
        yield sim, att
        att.adapter.close()
        assert server.stop() == 0


@pytest.mark.parametrize("prop, value, refused, then", [
    ("attenuation", -0.01, ValueError, None),
    ("attenuation", 655.35, ValueError, None),
    ("attenuation", 655.345, ValueError, None),                 # beyond the last step
    ("attenuation", 3.14159, None, 3140),                       # between steps: the nearest one
    ("attenuation", 0.30000000000000004, None, 300),            # float noise: 0.3 dB
    ("attenuation", 655.34, None, 655_340),
    ("wavelength", 1555, ValueError, None),
    ("wavelength", math.nan, ValueError, None),
    ("wavelength", 1550, None, 2),
    ("connected", False, None, False),
], ids=repr)
def test_what_a_channel_takes(served, prop, value, refused, then):
    sim, att = served
    # What the server reads in its idle time (the version and lists after it opens) may come at any
    # moment: what counts is that no setting reaches the instrument.
    reads = ("read_device_version", "read_optical_length", "read_current_status")
    sent = [command for command in sim.commands() if command.name not in reads]
    if refused:
        with pytest.raises(refused):
            setattr(att.ch_2, prop, value)
        assert [command for command in sim.commands() if command.name not in reads] == sent
        return
    setattr(att.ch_2, prop, value)  # returns once the instrument acknowledged
    held = sim.state()[2]
    assert held[{"attenuation": "attenuation", "wavelength": "wavelength_index", "connected": "connected"}[prop]] == then
    assert getattr(att.ch_2, prop) == (round(value, 2) if prop == "attenuation" else value)


def test_a_channel_naming_no_wavelength_of_its_list_reads_none(served):
    _, att = served
    assert att.ch_3.wavelengths == [] and att.ch_3.wavelength is None  # not the server's '9.91E37'
    assert att.ch_2.wavelength in att.ch_2.wavelengths and isinstance(att.ch_2.wavelength, int)


def test_an_unanswered_set_or_query_raises_and_the_next_answer_is_its_own(start_sim, serve, instruments):
    sim = start_sim("--drop-every", "7")
    server = serve(sim)
    att = instruments(server.resource, timeout=1500)
    # The instrument's first five requests: the version, and the four wavelength lists asked here.
    assert all(channel.wavelengths for channel in att.channels.values())
    att.ch_2.attenuation = 3.5                                   # request 6
    with pytest.raises(NoReply, match="-240"):
        att.ch_2.attenuation = 4.0                               # request 7: no reply
    assert att.ch_2.attenuation == 4.0                           # 8: the instrument did take it
    att.ch_2.attenuation = 4.5                                   # 9
    for _ in range(4):
        assert att.ch_2.connected                               # 10 to 13
    with pytest.raises(NoReply, match="no answer to the query"):
        att.ch_2.attenuation                                    # 14: no reply, the server answers nothing
    assert att.ch_2.attenuation == 4.5
    server.stop()  # the server goes: the client's queries and sets say so, in the layer's terms
    with pytest.raises(PortUnavailable, match="is `tolvan serve` still running"):
        att.ch_2.attenuation
    with pytest.raises(PortUnavailable, match="is `tolvan serve` still running"):
        att.ch_2.attenuation = 5.0


def test_a_disconnected_channel_reads_nan_and_a_port_gone_at_the_server_raises_port_unavailable(
        start_sim, serve, instruments):
    sim = start_sim()
    att = instruments(serve(sim).resource, timeout=1500)
    att.ch_2.connected = False
    assert math.isnan(att.ch_2.attenuation)  # not the server's 9.91E37
    sim.process.kill()  # the instrument's port goes; the server answers -241 until it is back
    sim.process.wait()
    with pytest.raises(PortUnavailable, match="-241"):
        att.ch_2.attenuation = 2.5
    with pytest.raises(PortUnavailable, match="-241"):
        att.ch_2.attenuation


@pytest.mark.parametrize("late", ["600", "900"])
def test_a_late_answer_is_dropped_not_taken_for_the_next_one(start_sim, serve, instruments, late):
    sim = start_sim("--delay", late)  # every reply 0.6 or 0.9 s after its request
    att = instruments(serve(sim).resource)
    att.ch_2.attenuation = 2.5
    att.ch_3.attenuation = 7.5
    att.adapter.connection.timeout = 300  # ms: shorter than the instrument takes to answer
    with pytest.raises(NoReply):
        # At 0.9 s the error queue's answer, asked for after the time-out, times out too: two
        # answers are then owed, the late one and the error queue's.
        att.ch_2.attenuation
    att.adapter.connection.timeout = 3000
    assert att.ch_3.attenuation == 7.5  # not 2.5, the answer that came late, nor the queue's 0
    assert att.ch_2.attenuation == 2.5
