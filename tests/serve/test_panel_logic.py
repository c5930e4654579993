"""The front panel's pure logic in memory: which requests come from its own page, how a page's
request is judged, and what the page is told as the owner's events arrive."""

from __future__ import annotations

import asyncio
import json
from decimal import Decimal

import pytest

from tolvan_lab import Version, units
from tolvan_serve.events import ChannelSeen, Online, VersionRead, WavelengthsRead
from tolvan_serve.panel_requests import MAX_BODY, Refused, Request, judged
from tolvan_serve.panel_state import TREND_POINTS, TREND_SECONDS, PanelState, Trend
from tolvan_serve.web_origin import host_allowed, same_origin

NAMES = {"lab-pc", "lab-pc.example.org"}


@pytest.mark.parametrize("host, allowed", [
    ("127.0.0.1:8080", True), ("localhost:8080", True), ("LOCALHOST", True), ("[::1]:8080", True),
    ("192.168.1.7:8080", True), ("lab-pc:8080", True), ("Lab-PC.example.org", True),
    # a name of another site made to resolve here (DNS rebinding), and what is no host at all
    ("evil.example:8080", False), ("127.0.0.1.evil.example", False), ("localhost.evil.example", False),
    ("user@127.0.0.1", False), ("127.0.0.1/x", False), ("127.0.0.1:99999", False), ("", False), (None, False),
])
def test_the_host_header_names_this_server(host, allowed):
    assert host_allowed(host, NAMES) is allowed


@pytest.mark.parametrize("origin, host, same", [
    ("http://127.0.0.1:8080", "127.0.0.1:8080", True),
    ("http://LOCALHOST:8080", "localhost:8080", True),
    ("http://[::1]:8080", "[::1]:8080", True),
    ("http://lab-pc", "lab-pc:80", True),  # the default port, said or not
    ("http://127.0.0.1:8081", "127.0.0.1:8080", False),
    ("http://localhost:8080", "127.0.0.1:8080", False),
    ("https://127.0.0.1:8080", "127.0.0.1:8080", False),
    ("http://evil.example", "127.0.0.1:8080", False),
    ("null", "127.0.0.1:8080", False),  # a sandboxed frame or a file
    ("http://127.0.0.1:8080/page", "127.0.0.1:8080", False),
    ("http://127.0.0.1:bad", "127.0.0.1:8080", False),
    (None, "127.0.0.1:8080", False), ("http://127.0.0.1:8080", None, False),
])
def test_a_change_comes_only_from_the_page_itself(origin, host, same):
    assert same_origin(origin, host) is same


def _words(db):
    with pytest.raises(ValueError) as refused:
        units.steps(db)
    return str(refused.value)


CHANNELS = (1, 2, 3, 4)


@pytest.mark.parametrize("channel, body, expected", [
    ("2", {"action": "attenuation", "value": "3.5"}, Request(2, "attenuation", Decimal("3.5"))),
    ("2", {"action": "attenuation", "value": " 12.25 "}, Request(2, "attenuation", Decimal("12.25"))),
    ("4", {"action": "attenuation", "value": 0.07}, Request(4, "attenuation", 0.07)),
    ("1", {"action": "attenuation", "value": "655.34"}, Request(1, "attenuation", Decimal("655.34"))),
    ("2", {"action": "attenuation", "value": "1e-999999999"}, Request(2, "attenuation", Decimal("1e-999999999"))),
    ("3", {"action": "wavelength", "value": 1550}, Request(3, "wavelength", 1550)),
    ("3", {"action": "wavelength", "value": "1490"}, Request(3, "wavelength", 1490)),
    ("1", {"action": "clear"}, Request(1, "clear", None)),
    ("1", {"action": "disconnect"}, Request(1, "disconnect", None)),
    ("1", {"action": "connect"}, Request(1, "connect", None)),
    # refused in the layer's own words, before anything is queued
    ("2", {"action": "attenuation", "value": "1.234"}, (422, _words(Decimal("1.234")))),
    ("2", {"action": "attenuation", "value": "-1"}, (422, _words(Decimal("-1")))),
    ("2", {"action": "attenuation", "value": "655.35"}, (422, _words(Decimal("655.35")))),
    ("2", {"action": "attenuation", "value": "1e999999999"}, (422, _words(Decimal("1e999999999")))),
    ("2", {"action": "attenuation", "value": "NaN"}, (422, "not a number of dB")),
    ("2", {"action": "attenuation", "value": "3.5dB"}, (422, "not a number of dB")),
    ("2", {"action": "attenuation", "value": True}, (422, "as a number of dB")),
    ("2", {"action": "attenuation"}, (422, "as a number of dB")),
    ("2", {"action": "wavelength", "value": 1e3}, (422, "wavelength in nm")),
    ("2", {"action": "wavelength", "value": 70000}, (422, "wavelength in nm")),
    ("2", {"action": "clear", "value": 1}, (400, "clear takes no value")),
    ("2", {"action": "reset"}, (400, "give an action")),
    ("2", ["clear"], (400, "give an action")),
    ("5", {"action": "clear"}, (404, "the channels are 1 to 4")),
    ("0", {"action": "clear"}, (404, "the channels are 1 to 4")),
    ("1e3", {"action": "clear"}, (404, "the channels are 1 to 4")),
])
def test_a_request_is_judged_before_it_is_queued(channel, body, expected):
    raw = json.dumps(body).encode()
    if isinstance(expected, Request):
        assert judged(channel, raw, CHANNELS) == expected
        return
    with pytest.raises(Refused) as refused:
        judged(channel, raw, CHANNELS)
    assert refused.value.status == expected[0]
    assert expected[1] in refused.value.reason


@pytest.mark.parametrize("raw, status", [(b"{", 400), (b"[" * 1000, 400), (b"\xff\xfe", 400), (b" " * (MAX_BODY + 1), 413)])
def test_what_is_no_request_is_refused(raw, status):
    with pytest.raises(Refused) as refused:
        judged("1", raw, CHANNELS)
    assert refused.value.status == status


class Clock:
    def __init__(self) -> None:
        self.now = 1000.0

    def __call__(self) -> float:
        return self.now


def _kinds(messages):
    return [m["type"] for m in messages]


def test_the_page_is_told_what_the_instrument_was_seen_to_hold_and_nothing_it_was_not():
    clock = Clock()
    state = PanelState("/dev/ttyUSB0", (1, 2), token="secret", clock=clock)
    hello = state.hello()
    assert hello["instrument"] == {"online": None, "why": "not opened yet", "version": None}
    assert [c["attenuation"] for c in hello["channels"]] == [None, None]
    assert hello["token"] == "secret"

    state.apply(Online(True, "it answers"))
    state.apply(VersionRead(Version(2, 50, 32)))
    state.apply(WavelengthsRead(2, (1310, 1550)))
    [told] = state.apply(ChannelSeen(2, 1550, 3.5, True))  # a first sighting: no event in the list
    assert told == {"type": "channel", "now": 1000.0, "channel": 2, "attenuation": 3.5, "wavelength": 1550,
                    "connected": True, "wavelengths": [1310, 1550], "point": [1000.0, 3.5], "extends": False}
    clock.now += 1
    told = state.apply(ChannelSeen(2, None, 4.0, True))  # a set's acknowledgement says no wavelength
    assert told[0]["wavelength"] == 1550 and told[0]["attenuation"] == 4.0
    assert told[1]["entry"]["text"] == "channel 2: 3.50 dB \N{RIGHTWARDS ARROW} 4.00 dB"
    # The same value again: a point, then the run's end moving, as the trend keeps it; no event.
    assert [state.apply(ChannelSeen(2, None, 4.0, True)) for _ in range(2)] == [
        [{**told[0], "point": [1001.0, 4.0], "extends": extends}] for extends in (False, True)]
    told = state.apply(ChannelSeen(2, 1310, None, None))  # a selection says nothing of the attenuation
    assert (told[0]["attenuation"], told[0]["point"]) == (4.0, None)
    told = state.apply(ChannelSeen(2, None, None, False))
    assert (told[0]["attenuation"], told[0]["connected"], told[0]["point"]) == (None, False, [1001.0, None])
    assert told[1]["entry"]["text"] == "channel 2 disconnected"
    assert state.apply(ChannelSeen(9, 1310, 1.0, True)) == []  # a channel this server does not serve

    # The instrument stops answering: every value is unknown at once, the last ones are not kept.
    clock.now += 1
    told = state.apply(Online(False, "no reply to read_status(ch=1)"))
    assert _kinds(told) == ["instrument", "channel", "channel", "log"]
    assert told[0]["online"] is False and told[0]["version"] is None
    hello = state.hello()
    assert all(c == {"channel": c["channel"], "attenuation": None, "wavelength": None, "connected": None,
                     "wavelengths": None} for c in hello["channels"])
    assert hello["trend"]["2"][-1] == [1002.0, None]
    assert hello["log"][-1]["text"] == "the instrument does not answer: no reply to read_status(ch=1)"
    # Seen again after that: a first sighting, not a change.
    assert _kinds(state.apply(ChannelSeen(2, 1310, 9.0, True))) == ["channel"]
    assert _kinds(state.apply(Online(True, "it answers"))) == ["instrument", "log"]

    read_only = PanelState("p", (1,), read_only=True, token="secret").hello()
    assert read_only["readOnly"] is True and read_only["token"] == ""


def test_the_trend_keeps_ten_minutes_and_a_run_of_one_value_as_its_two_ends():
    trend = Trend()
    for t in range(10):
        trend.add(float(t), 1.0)
    trend.add(10.0, None)
    trend.add(11.0, 2.0)
    assert list(trend.points) == [(0.0, 1.0), (9.0, 1.0), (10.0, None), (11.0, 2.0)]
    trend.add(11.0 + TREND_SECONDS, 2.0)
    assert list(trend.points) == [(11.0, 2.0), (11.0 + TREND_SECONDS, 2.0)]
    busy = Trend()
    for t in range(3 * TREND_POINTS):
        busy.add(t / 100, float(t % 2))
    assert len(busy.points) == TREND_POINTS and busy.points[-1] == ((3 * TREND_POINTS - 1) / 100, 1.0)


def test_a_page_that_falls_behind_is_closed_not_waited_for():
    pytest.importorskip("aiohttp", reason="the panel needs aiohttp: pip install '.[web]'")
    from tolvan_serve.http import PAGE_QUEUE, Page, PanelServer

    class Owner:
        port, channels = "/dev/ttyUSB0", (1, 2)

        def listen(self, listener):
            pass

    async def run():
        server = PanelServer(Owner(), "127.0.0.1", 0)
        slow, quick = Page(None, "slow"), Page(None, "quick")
        server.pages = {slow, quick}
        for _ in range(PAGE_QUEUE):
            server._show(ChannelSeen(1, 1310, 1.0, True))
        while not quick.queue.empty():
            quick.queue.get_nowait()
        server._show(ChannelSeen(2, 1310, 2.0, True))
        return server.pages, slow.queue, quick.queue

    pages, slow, quick = asyncio.run(run())
    assert json.loads(quick.get_nowait())["channel"] == 2
    assert [page.name for page in pages] == ["quick"]
    assert slow.qsize() == 1 and slow.get_nowait() is None  # told to close: nothing it missed is sent
