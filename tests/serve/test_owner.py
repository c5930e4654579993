"""The owner thread's turns, with an instrument that holds a command on the wire until told: a
request waits for the one command already on the wire and no more; polls come in the gaps."""

from __future__ import annotations

import threading

from tolvan_lab import ChannelStatus
from tolvan_serve.owner import Owner


class Wire:
    """Stands in for the Attenuator: records each command, and can hold the next one on the wire."""

    channels = (1, 2, 3, 4)

    def __init__(self) -> None:
        self.calls: list[tuple[object, ...]] = []
        self.is_open = False
        self.hold = threading.Event()  # set: the next command stays on the wire until `release`
        self.held = threading.Event()
        self.release = threading.Event()

    def send(self, *call: object) -> None:
        self.calls.append(call)
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
        return ChannelStatus(self.ch, 1310, 0.0, True)

    def _set(self, db: float) -> None:
        self.wire.send("set", self.ch, db)

    attenuation = property(None, _set)

    def clear(self) -> None:
        self.wire.send("clear", self.ch)

    def disconnect(self) -> None:
        self.wire.send("disconnect", self.ch)  # status() still says connected: put back by hand, say


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
    port = tmp_path / "ttyATT"
    port.touch()
    owner = Owner(str(port))
    wire = owner.attenuator = Wire()  # type: ignore[assignment]
    owner.start()
    try:
        owner.disconnect(2).result(5)
        owner.reconnect(2).result(5)  # connected again by other means: its old value is not sent
    finally:
        owner.stop()
    assert [call for call in wire.calls if call[0] in ("set", "disconnect")] == [("disconnect", 2)]
