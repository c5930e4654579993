"""The QCoDeS instrument against the simulator: a do1d sweep into a SQLite dataset, what the
parameters refuse, failed commands, snapshots of a silent instrument, and close()."""

import logging
import math
import time

import pytest

pytest.importorskip("qcodes", reason="needs QCoDeS: pip install 'tolvan[qcodes]'")

import numpy as np  # noqa: E402  (QCoDeS brings it)

from qcodes.dataset import do1d, initialise_or_create_database_at, load_or_create_experiment  # noqa: E402
from qcodes.parameters import Parameter  # noqa: E402

from tolvan_lab import Attenuator, NoReply, PortUnavailable  # noqa: E402
from tolvan_lab.qcodes import TolvanAttenuator  # noqa: E402
from tolvan_sim import SimulatedInstrument, find_simulator  # noqa: E402

from .support import SEVEN_POINTS_HELD, SEVEN_POINTS_MDB, mdb_set_on, silenced  # noqa: E402

# Opening reads the version and the four wavelength lists: the instrument's first five requests.
OPENING_REQUESTS = 5


@pytest.fixture
def instruments():
    """Creates TolvanAttenuators; closes every one still open after the test."""
    made = []

    def make(*args, **kwargs):
        made.append(TolvanAttenuator(*args, **kwargs))
        return made[-1]

    yield make
    for instrument in made:
        instrument.close()


def test_do1d_between_steps_runs_to_its_end_on_the_nearest_steps(sim, instruments, tmp_path, monkeypatch):
    att = instruments("att", sim.port)
    told = []
    monkeypatch.setattr(Parameter, "global_on_set_callback", lambda parameter, value: told.append(value))
    initialise_or_create_database_at(tmp_path / "sweeps.db")
    load_or_create_experiment("attenuation sweep", sample_name="fibre")
    # Read straight from the simulator: what the instrument holds when the point is measured.
    held = Parameter("held", unit="dB", get_cmd=lambda: sim.state()[2]["attenuation"] / 1000)
    cached = []
    read_back = Parameter("read_back", unit="dB", get_cmd=lambda: cached.append(att.ch2.attenuation.cache())
                          or att.ch2.attenuation())

    dataset, _, _ = do1d(att.ch2.attenuation, 0, 10, 7, 0.0, held, read_back, show_progress=False)

    data = dataset.get_parameter_data()
    assert data["held"]["held"].tolist() == SEVEN_POINTS_HELD
    assert data["read_back"]["read_back"].tolist() == SEVEN_POINTS_HELD
    assert cached == SEVEN_POINTS_HELD  # the cache holds the step set, not 1.6666666666666667
    assert told == np.linspace(0, 10, 7).tolist()  # QCoDeS's global callback still hears of every set
    assert dataset.paramspecs["att_ch2_attenuation"].unit == "dB"
    assert mdb_set_on(sim, 2) == SEVEN_POINTS_MDB  # each point sent once


@pytest.fixture(scope="module")
def two_channels():
    """One instrument for the whole table (each case looks only at what it sent)."""
    if find_simulator() is None:
        pytest.skip("needs the simulator tolvan-sim")
    with SimulatedInstrument("--channels", "2") as sim:
        att = TolvanAttenuator("two", sim.port, channels=2)
        yield sim, att
        att.close()


@pytest.mark.parametrize("parameter, value, refused, then_holds", [
    ("attenuation", -0.01, ValueError, None),
    ("attenuation", 3.14159, None, 3140),                       # between steps: the nearest one
    ("attenuation", 655.345, ValueError, None),                 # beyond the last step
    ("attenuation", 655.35, ValueError, None),                  # what a disconnected channel reads
    ("attenuation", math.nan, ValueError, None),
    ("attenuation", True, TypeError, None),
    ("attenuation", "3.5", TypeError, None),
    ("attenuation", np.arange(0, 1, 0.1)[3], None, 300),        # 0.30000000000000004 means 0.3 dB
    ("attenuation", np.int64(655), None, 655_000),
    ("wavelength", 1555, ValueError, None),
    ("wavelength", np.int64(1550), None, 2),                    # the position of 1550 nm
], ids=lambda value: repr(value))
def test_what_the_parameters_take(two_channels, parameter, value, refused, then_holds):
    sim, att = two_channels
    sent = len(sim.received())
    if refused:
        with pytest.raises(refused):
            getattr(att.ch2, parameter)(value)
        assert len(sim.received()) == sent  # nothing went to the instrument
    else:
        getattr(att.ch2, parameter)(value)
        held = sim.state()[2]
        assert held["attenuation" if parameter == "attenuation" else "wavelength_index"] == then_holds


def test_a_command_without_a_reply_raises_and_never_returns_a_stale_value(start_sim, instruments):
    sim = start_sim("--drop-every", str(OPENING_REQUESTS + 2))
    att = instruments("att", sim.port)
    att.ch2.attenuation(3.5)
    with pytest.raises(NoReply, match=r"read_current_status\(ch=2\)"):
        att.ch2.attenuation()  # unanswered: the cached 3.5 is not offered in its place
    assert att.ch2.attenuation() == 3.5
    att.ch2.refresh()  # every parameter of the channel cached
    att.attenuator.reply_timeout = 0.3
    with silenced(sim), pytest.raises(NoReply):
        att.ch2.attenuation(4.0)  # sent: the instrument takes it once it runs again
    att.attenuator.reply_timeout = 1.0
    # After a set that failed, what the instrument holds is unknown: neither 3.5 nor 4.0 is cached,
    # and the next look at the cache (a snapshot, a Station's metadata) asks the instrument.
    assert att.snapshot(update=None)["submodules"]["ch2"]["parameters"]["attenuation"]["value"] == 4.0
    assert att.ch2.attenuation() == 4.0  # answered after the snapshot's unanswered read: the clear goes out
    with silenced(sim), pytest.raises(NoReply):
        att.ch2.clear()
    att.attenuator.reply_timeout = 1.0
    assert att.ch2.attenuation.cache() == 0.0


def test_snapshot_of_a_silent_instrument_keeps_the_last_values_without_waiting_on_every_channel(
        sim, instruments, caplog):
    att = instruments("att", sim.port)
    att.ch2.attenuation(2.5)
    att.ch3.disconnect()
    fresh = att.snapshot(update=True)["submodules"]
    assert [fresh[f"ch{n}"]["parameters"]["connected"]["value"] for n in (1, 2, 3, 4)] == [True, True, False, True]
    assert math.isnan(fresh["ch3"]["parameters"]["attenuation"]["value"])
    att.attenuator.reply_timeout = 0.5
    with silenced(sim), caplog.at_level(logging.WARNING):
        began = time.monotonic()
        snapshot = att.snapshot(update=True)
        took = time.monotonic() - began
    assert took < 2 * att.attenuator.reply_timeout  # one channel waited for, not four
    assert snapshot["submodules"]["ch2"]["parameters"]["attenuation"]["value"] == 2.5
    assert snapshot["parameters"]["IDN"]["value"]["firmware"] == "2.50.32"
    assert "could not read att_ch1" in caplog.text


def test_close_releases_the_port_and_the_name(sim, instruments):
    att = instruments("att", sim.port)
    with pytest.raises(KeyError, match="Another instrument has the name: att"):
        instruments("att", sim.port)  # refused before the port is taken: att keeps it
    with pytest.raises(PortUnavailable):
        instruments("other", sim.port)
    att.close()
    with Attenuator(sim.port) as plain:  # the port is free again
        assert plain.version.software == 32
    again = instruments("att", sim.port)
    other = TolvanAttenuator.exist("other")
    assert again.get_idn() == {"vendor": "TOLVAN", "model": "attenuator", "serial": None, "firmware": "2.50.32"}
    assert not other  # the creation that failed left no instrument behind


def test_a_readable_snapshot_lists_each_channel_once(two_channels, capsys):
    _, att = two_channels
    att.print_readable_snapshot(update=True)
    shown = capsys.readouterr().out.splitlines()
    assert [line for line in shown if line.endswith(":") and not line.startswith("\t")] == ["two:", "two_ch1:",
                                                                                            "two_ch2:"]
