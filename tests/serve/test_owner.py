"""The owner's decisions, in memory: what is polled when, whether the instrument answers and what
its log says, what every request tells the faces. The stand-in instrument holds a command on the
wire until told, so that a request waits for the one command already on the wire and no more."""

from __future__ import annotations

import logging
import threading
from decimal import Decimal

import pytest

from tolvan_lab import ChannelStatus, NoReply, units
from tolvan_lab.errors import NotSupported
from tolvan_serve.answering import Answering
from tolvan_serve.events import ChannelSeen, Online
from tolvan_serve.owner import Owner
from tolvan_serve.polls import QUIET, PollSchedule


class Wire:
    """Stands in for the Attenuator: records each command, and can hold the next one on the wire."""

    channels = (1, 2, 3, 4)

    def __init__(self) -> None:
        self.calls: list[tuple[object, ...]] = []
        self.is_open = False
        self.state = {ch: [1310, 0.0, True] for ch in self.channels}  # wavelength, attenuation, connected
        self.silent: set[int] = set()  # channels that never answer
        self.seen_silent = threading.Semaphore(0)  # released at each command to a silent channel
        self.hold = threading.Event()  # set: the next command stays on the wire until `release`
        self.held = threading.Event()
        self.release = threading.Event()

    def send(self, *call: object) -> None:
        self.calls.append(call)
        if len(call) > 1 and call[1] in self.silent:
            self.seen_silent.release()
            raise NoReply(f"no reply to {call[0]}", command=f"{call[0]}(ch={call[1]})")
        if self.hold.is_set():
            self.hold.clear()
            self.held.set()
            self.release.wait(10)

    def open(self) -> None:
        self.is_open = True

    def close(self) -> None:
        self.is_open = False

    @property
    def version(self) -> tuple[int, int, int]:
        self.send("version")
        return (2, 50, 32)

    def __getitem__(self, ch: int) -> Channel:
        return Channel(self, ch)


class Channel:
    def __init__(self, wire: Wire, ch: int) -> None:
        self.wire, self.ch = wire, ch

    @property
    def wavelengths(self) -> tuple[int, ...]:
        self.wire.send("list", self.ch)
        return (1310, 1490, 1550)

    def status(self) -> ChannelStatus:
        self.wire.send("status", self.ch)
        nm, db, connected = self.wire.state[self.ch]
        return ChannelStatus(self.ch, nm, db if connected else None, connected)

    def _set(self, db: float) -> None:
        units.steps(db)  # the layer's refusal: ValueError, nothing sent
        self.wire.send("set", self.ch, db)
        self.wire.state[self.ch][1:] = [float(db), True]

    attenuation = property(None, _set)

    def _select(self, nm: int) -> None:
        if not isinstance(nm, int) or nm not in self.wavelengths:
            raise NotSupported(self.ch, nm, self.wavelengths)
        self.wire.send("select", self.ch, nm)
        self.wire.state[self.ch][0] = nm

    wavelength = property(None, _select)

    def clear(self) -> None:
        self.wire.send("clear", self.ch)
        self.wire.state[self.ch][1:] = [0.0, True]

    def disconnect(self) -> None:
        self.wire.send("disconnect", self.ch)
        self.wire.state[self.ch][2] = False


def started(tmp_path, **options) -> tuple[Owner, Wire, list[object]]:
    """An Owner on the stand-in, started, and the list of the events it tells."""
    port = tmp_path / "ttyATT"
    port.touch()
    owner = Owner(str(port), **options)
    wire = owner.attenuator = Wire()  # type: ignore[assignment]
    told: list[object] = []
    owner.listen(told.append)
    owner.start()
    return owner, wire, told


def test_requests_wait_only_for_the_command_on_the_wire_and_polls_fill_the_gaps(tmp_path):
    port = tmp_path / "ttyATT"
    port.touch()
    owner = Owner(str(port), poll=0.04)  # a poll due every 10 ms: the line is never idle
    wire = owner.attenuator = Wire()  # type: ignore[assignment]
    owner.start()
    try:
        while len(wire.calls) < 5:  # the version and the lists, read after opening
            threading.Event().wait(0.01)
        wire.hold.set()
        assert wire.held.wait(5)  # a poll is on the wire
        on_wire = len(wire.calls)
        waiting = [owner.set_attenuation(2, 3.5), owner.clear(3), owner.status(4)]
        threading.Event().wait(0.1)  # long on the wire: polls are due meanwhile
        wire.release.set()
        for future in waiting:
            future.result(5)
        after = wire.calls[on_wire:on_wire + 3]
        assert after == [("set", 2, 3.5), ("clear", 3), ("status", 4)]
        polled = len(wire.calls)
        threading.Event().wait(0.2)
        assert [call[0] for call in wire.calls[polled:]].count("status") >= 4  # the polls go on
    finally:
        owner.stop()
    assert wire.calls[:5] == [("version",), ("list", 1), ("list", 2), ("list", 3), ("list", 4)]
    assert wire.calls[on_wire - 1][0] == "status"  # what was held
    assert not wire.is_open


def test_output_on_sets_nothing_on_a_channel_found_connected(tmp_path):
    owner, wire, _ = started(tmp_path)
    try:
        owner.disconnect(2).result(5)
        wire.state[2][2] = True  # connected again by other means: its old value is not sent
        owner.reconnect(2).result(5)
    finally:
        owner.stop()
    assert [call for call in wire.calls if call[0] in ("set", "disconnect")] == [("disconnect", 2)]


# (what the schedule was told, at what times) -> when the next poll starts, on which channel.
# Four channels, a period of 2 s: a poll every 0.5 s on an idle line.
POLLS = [
    ([("restart", 10.0)], (10.0, 1)),
    ([("restart", 10.0), ("told", 1, 10.0)], (10.5, 2)),
    # Told by a request or an acknowledgement: not polled again within the period.
    ([("restart", 10.0), ("told", 1, 10.0), ("told", 2, 10.1), ("told", 3, 10.2), ("told", 4, 10.3)], (12.0, 1)),
    # A request has just ended: the poll waits for a quiet line...
    ([("restart", 10.0), ("busy", 10.0)], (10.0 + QUIET, 1)),
    ([("restart", 10.0), ("told", 1, 10.0), ("busy", 10.48)], (10.48 + QUIET, 2)),
    ([("restart", 10.0), ("told", 1, 10.0), ("busy", 10.2)], (10.5, 2)),
    # ...but a busy line delays it by four periods at most.
    ([("restart", 10.0), ("told", 1, 10.0), ("busy", 18.0)], (18.0 + QUIET, 2)),
    ([("restart", 10.0), ("told", 1, 10.0), ("busy", 18.6)], (18.5, 2)),
]


@pytest.mark.parametrize(("steps", "expected"), POLLS)
def test_when_each_channel_is_polled(steps, expected):
    schedule = PollSchedule((1, 2, 3, 4), 2.0)
    for name, *args in steps:
        getattr(schedule, name)(*args)
    starts, ch = schedule.next()
    assert (round(starts, 6), ch) == (round(expected[0], 6), expected[1])


# What happened, in order -> the transitions ("on", "off") the owner tells and logs.
ANSWERS = [
    ([("answered", 1)], ["on"]),
    ([("unanswered", 1)], ["off"]),
    # A channel the instrument lacks: said once, then the others answer, and it changes nothing more.
    ([("answered", "version"), ("unanswered", 5), ("answered", 1), ("unanswered", 5), ("answered", 2),
      ("unanswered", 5)], ["on", "off", "on"]),
    # The whole instrument silent: once, whichever channels fail while it is; back at the first answer.
    ([("answered", 1), ("unanswered", 1), ("unanswered", 2), ("unanswered", 3), ("unanswered", 1), ("answered", 2),
      ("answered", 1)], ["on", "off", "on"]),
    # A channel silent once that answers again counts again when it next fails.
    ([("answered", 1), ("unanswered", 1), ("answered", 1), ("unanswered", 1)], ["on", "off", "on", "off"]),
    # The port closed: off once; what answers after it opens again starts afresh.
    ([("answered", 1), ("unanswered", 5), ("answered", 1), ("closed", None), ("closed", None), ("answered", 1),
      ("unanswered", 5)], ["on", "off", "on", "off", "on", "off"]),
]


@pytest.mark.parametrize(("steps", "expected"), ANSWERS)
def test_when_the_instrument_answers(steps, expected):
    answering = Answering()
    transitions = []
    for name, what in steps:
        changed = answering.closed() if name == "closed" else getattr(answering, name)(what)
        if changed:
            transitions.append("on" if answering.online else "off")
    assert transitions == expected


# A request -> what the owner tells the faces (besides Online), and what it sends.
TOLD = [
    (lambda o: o.set_attenuation(2, 3.5), [ChannelSeen(2, None, 3.5, True)], [("set", 2, 3.5)]),
    # A SCPI value reaches the layer as given; what is told is the float the instrument holds.
    (lambda o: o.set_attenuation(2, Decimal("0.07")), [ChannelSeen(2, None, 0.07, True)],
     [("set", 2, Decimal("0.07"))]),
    (lambda o: o.select(3, Decimal("1550")), [ChannelSeen(3, 1550, None, None)], [("select", 3, 1550)]),
    (lambda o: o.clear(1), [ChannelSeen(1, None, 0.0, True)], [("clear", 1)]),
    (lambda o: o.disconnect(4), [ChannelSeen(4, 1310, 0.0, True), ChannelSeen(4, None, None, False)],
     [("status", 4), ("disconnect", 4)]),
    (lambda o: o.status(1), [ChannelSeen(1, 1310, 0.0, True)], [("status", 1)]),
    # Refused by the layer: nothing sent, nothing told.
    (lambda o: o.set_attenuation(2, -5), ValueError, []),
    (lambda o: o.set_attenuation(2, 1.234), ValueError, []),
    (lambda o: o.select(3, 1555), NotSupported, []),
    (lambda o: o.select(3, Decimal("1550.5")), NotSupported, []),
    (lambda o: o.select(3, Decimal("1E+999999999")), NotSupported, []),
]


@pytest.mark.parametrize(("request_", "told", "sent"), TOLD)
def test_what_each_request_tells_and_sends(tmp_path, request_, told, sent):
    owner, wire, heard = started(tmp_path)
    try:
        owner.version().result(5)  # the state read after opening is done
        owner.submit(lambda att: None).result(5)
        before, events = len(wire.calls), len(heard)
        future = request_(owner)
        if isinstance(told, type):
            with pytest.raises(told):
                future.result(5)
            told = []
        else:
            future.result(5)
    finally:
        owner.stop()
    assert [e for e in heard[events:] if not isinstance(e, Online)] == told
    assert [call for call in wire.calls[before:] if call[0] != "list"] == sent  # lists: read once by the layer


def test_a_setting_after_a_disconnect_tells_the_attenuation_again(tmp_path):
    owner, wire, heard = started(tmp_path)
    try:
        owner.set_attenuation(1, 2.5).result(5)
        owner.disconnect(1).result(5)
        mark = len(heard)
        owner.reconnect(1).result(5)
    finally:
        owner.stop()
    assert [e for e in heard[mark:] if isinstance(e, ChannelSeen)] == [ChannelSeen(1, 1310, None, False),
                                                                         ChannelSeen(1, None, 2.5, True)]
    assert wire.state[1] == [1310, 2.5, True]


def test_a_channel_that_never_answers_is_logged_once(tmp_path, caplog):
    caplog.set_level(logging.INFO, "tolvan_serve")
    owner, wire, heard = started(tmp_path, poll=0.02)
    wire.silent.add(4)
    try:
        for _ in range(6):  # six polls of the silent channel, the others answering between them
            assert wire.seen_silent.acquire(timeout=10)
        owner.status(1).result(5)
    finally:
        owner.stop()
    said = [r.getMessage().split(" on ")[0] for r in caplog.records if "answering" in r.getMessage()]
    assert said == ["instrument: answering", "instrument: not answering", "instrument: answering"]
    assert [e.online for e in heard if isinstance(e, Online)] == [True, False, True]


def test_a_channel_a_client_keeps_reading_is_not_polled(tmp_path):
    owner, wire, _ = started(tmp_path, poll=0.4)
    try:
        owner.version().result(5)
        mark = len(wire.calls)
        for _ in range(12):  # a client reads channel 1 every 60 ms: polls fit between, but not of it
            owner.status(1).result(5)
            threading.Event().wait(0.06)
    finally:
        owner.stop()
    statuses = [call for call in wire.calls[mark:] if call[0] == "status"]
    assert statuses.count(("status", 1)) == 12
    assert all(statuses.count(("status", ch)) >= 1 for ch in (2, 3, 4))
