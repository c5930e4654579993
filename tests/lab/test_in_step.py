"""Random programs of commands against simulators that answer late (up to three times the reply
timeout), in pieces, behind noise, or not at all: every value the layer returns, and every set it
reports done, is what the simulator holds; otherwise the command raised NoReply. Once replies
come in time again, commands go through again."""

import types

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tolvan
from tolvan_lab import Attenuator, NoReply
from tolvan_sim import find_simulator
from tolvan_sim.instrument import SimulatedInstrument

pytestmark = pytest.mark.skipif(find_simulator() is None, reason="needs the simulator tolvan-sim")

LISTS = {1: [1310, 1490, 1550], 2: [1550, 1310], 3: [1310, 1490, 1550]}
# Each mix of faults, and when its replies are whole (ms after the request). The reply timeout is
# drawn so that replies come in time or up to three times later: a late reply lands in the wait
# of the command after next when it comes two to three timeouts late.
FAULTS = {
    "late": (("--delay", "60"), 60),
    "late, split, noisy": (("--delay", "45", "--split", "30", "--noise", "3"), 75),
    "split, every third lost": (("--delay", "25", "--split", "20", "--drop-every", "3"), 45),
    "late, noisy, every fourth lost": (("--delay", "70", "--noise", "5", "--drop-every", "4"), 70),
}
LATENESS = st.sampled_from([0.7, 1.5, 2.2, 2.6, 2.9])  # reply time / reply timeout
# In two batches for each mix, so that no test runs for long on a loaded machine: 208 programs in all.
PROGRAMS_PER_BATCH = 26


@pytest.fixture(scope="module", params=sorted(FAULTS))
def instrument(request):
    """A simulator with one mix of faults and an Attenuator on it, kept across examples; the
    driver's fixed pause is taken out, so that the reply timeout alone sets the pace."""
    with pytest.MonkeyPatch.context() as patch, \
            SimulatedInstrument("--channels", "3", "--wavelengths", "2=1550,1310", *FAULTS[request.param][0]) as sim:
        patch.setattr(tolvan, "time", types.SimpleNamespace(sleep=lambda seconds: None))
        with Attenuator(sim.port, channels=3) as att:
            yield sim, att, FAULTS[request.param][1] / 1000


# Reads and sets of one channel come often: a late reply shows when a later command of the same
# kind and channel comes while the instrument holds something else.
kinds = st.sampled_from(["set"] * 3 + ["read"] * 3 + ["status", "clear", "disconnect", "wavelength", "select"])
channels = st.sampled_from([1, 1, 1, 2, 3])
commands = st.tuples(kinds, channels, st.integers(0, 65534))
# Read, change, read the same channel: the second read's wait is where the first one's late reply lands.
read_change_read = st.tuples(channels, st.integers(0, 65534)).map(
    lambda drawn: [("read", drawn[0], 0), ("set", *drawn), ("read", drawn[0], 0)])
programs = st.lists(st.one_of(commands.map(lambda command: [command]), read_change_read), min_size=1, max_size=4).map(
    lambda parts: [command for part in parts for command in part])


def run(att, command):
    """Runs one command; what the instrument must now hold for it, as (channel, field, value) triples."""
    kind, ch, arg = command
    channel = att[ch]
    if kind == "set":
        channel.attenuation = arg / 100
        return [(ch, "attenuation", arg * 10)]
    if kind == "read":
        db = channel.attenuation
        return [(ch, "attenuation", None if db is None else round(db * 1000))]
    if kind == "status":
        status = channel.status()
        return [(ch, "attenuation", None if status.attenuation_db is None else round(status.attenuation_db * 1000)),
                (ch, "wavelength", status.wavelength_nm)]
    if kind == "clear":
        channel.clear()
        return [(ch, "attenuation", 0)]
    if kind == "disconnect":
        channel.disconnect()
        return [(ch, "attenuation", None)]
    if kind == "wavelength":
        return [(ch, "wavelength", channel.wavelength)]
    nm = LISTS[ch][arg % len(LISTS[ch])]
    channel.wavelength = nm
    return [(ch, "wavelength", nm)]


@pytest.mark.parametrize("batch", [1, 2])
@settings(max_examples=PROGRAMS_PER_BATCH, deadline=None, database=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])
@given(lateness=LATENESS, program=programs)
def test_every_value_returned_is_what_the_instrument_holds(instrument, batch, lateness, program):
    sim, att, reply_time = instrument
    att.reply_timeout = reply_time / lateness
    for command in program:
        try:
            expected = run(att, command)
        except NoReply:
            continue
        held = sim.state()
        for ch, field, value in expected:
            holds = held[ch]
            if field == "attenuation":
                assert holds["attenuation"] == value, (command, held)
            else:
                assert LISTS[ch][holds["wavelength_index"]] == value, (command, held)
    # Once replies come in time again, the layer is back in step: a set goes through.
    att.reply_timeout, att.retries = 0.25, 5  # room to spare on a loaded machine
    try:
        att[1].attenuation = 1.23
    finally:
        att.retries = 0
    assert sim.state()[1]["attenuation"] == 1230
