"""The SCPI grammar in memory: tables of exchanges (the line a client sends, the response line that
comes back, the settings asked of the instrument), against a stand-in for the owner that answers
from a dict and judges values by the layer's own rules. No sockets, no threads, no sleeps."""

from __future__ import annotations

import ast
from decimal import Decimal
from pathlib import Path

import pytest

from tolvan_lab import ChannelStatus, NoReply, Version, units
from tolvan_lab.errors import NotSupported
from tolvan_serve import scpi_grammar
from tolvan_serve.scpi_grammar import Ask, Client

SILENT = 4  # the stand-in's channel 4 never answers


class StandIn:
    """The owner as the grammar sees it: answers each Ask from what it holds."""

    def __init__(self) -> None:
        self.held = {ch: {"nm": 1310, "db": 0.0} for ch in (1, 2, 3, 4)}
        self.listed = (1310, 1490, 1550)
        self.settings: list[tuple[object, ...]] = []
        self.status_reads = 0

    def answer(self, ask: Ask) -> object:
        ch = ask.arguments[0] if ask.arguments else None
        if ch == SILENT:
            raise NoReply("no reply", command="read_current_status")
        if ask.what == "version":
            return Version(2, 50, 32)
        if ask.what == "wavelengths":
            return self.listed
        if ask.what == "status":
            self.status_reads += 1
            return ChannelStatus(ch, self.held[ch]["nm"], self.held[ch]["db"], True)
        if ask.what == "set_attenuation":
            self.held[ch]["db"] = units.db(units.steps(ask.arguments[1]))  # the layer's rule
        elif ask.what == "select":
            if ask.arguments[1] not in self.listed:
                raise NotSupported(ch, ask.arguments[1], self.listed)
            self.held[ch]["nm"] = int(ask.arguments[1])
        if ask.setting:  # what reached the instrument
            self.settings.append((ask.what, *ask.arguments))
        return None


def exchange(client: Client, owner: StandIn, sent: str) -> str | None:
    """Runs one line as the face does: each Ask answered, or its failure thrown in."""
    steps = client.line(sent.encode())
    try:
        ask = next(steps)
        while True:
            try:
                answer = owner.answer(ask)
            except Exception as error:
                ask = steps.throw(error)
            else:
                ask = steps.send(answer)
    except StopIteration as done:
        return done.value


def matches(got: str | None, wanted: str | None) -> bool:
    """An answer ending in "…" is matched by its start (the layer's words may grow)."""
    if wanted is None or got is None or not wanted.endswith("…"):
        return got == wanted
    return got.startswith(wanted[:-1])


COMPOUND = [  # (line sent, response line, settings asked)
    ("INP2:ATT 3.5;INP2:ATT?;INP3:ATT?", "3.50;0.00", [("set_attenuation", 2, Decimal("3.5"))]),
    ("*IDN?;INP2:ATT?;*IDN?", "TOLVAN,attenuator,sim,2.50.32;3.50;TOLVAN,attenuator,sim,2.50.32", []),
    ("INP2:WAV 1550;WAV?;:INP3:WAV?", "1550;1310", [("select", 2, Decimal(1550))]),
    ("INP2:ATT?;FOO;INP3:ATT?", "3.50", []),  # a command error ends the line ...
    ("SYST:ERR?;SYST:ERR?", '-113,"Undefined header; FOO";0,"No error"', []),
    ("INP1:ATT?;INP4:ATT?;INP2:ATT?", "0.00", []),  # ... and so does a query without its answer
    ("SYST:ERR?", '-240,"Hardware error; no reply from the instrument to read_current_status"', []),
    ("INP4:ATT 2;INP1:ATT 1;SYST:ERR?", '-240,"Hardware error; no reply from the instrument to read_current_status; '
                                        'the setting may or may not have taken effect: query it"',
     [("set_attenuation", 1, Decimal(1))]),  # a setting that fails does not end the line
    ("INP4:WAV MAX;SYST:ERR?", '-240,"Hardware error; no reply from the instrument to read_current_status"', []),
    ("INP:WAV 1555;*OPC?;SYST:ERR?", '1;-224,"Illegal parameter value; channel 1 does not support 1555 nm…', []),
    (";;  ;", None, []),
]

STATUS = [
    ("*CLS;*ESR?;*STB?;*ESE?;*SRE?", "0;16;0;0", []),  # MAV: an answer waits in the line
    ("*ESE 60;*SRE 32;*ESE?;*SRE?", "60;32", []),
    ("FOO", None, []),
    ("*STB?", "100", []),  # error queue not empty, ESB (CME enabled), MSS (ESB enabled)
    ("*ESR?;*ESR?;*STB?", "32;0;20", []),  # reading it clears it; the queue still holds the error
    ("*RST;SYST:ERR:COUN?", "1", []),  # a reset is no *CLS
    ("*CLS;*STB?;*IDN?;*STB?", "0;TOLVAN,attenuator,sim,2.50.32;16", []),
    ("*OPC;*ESR?", "1", []),
    ("INP:ATT -1;*ESR?", "16", []),  # an execution error
    ("INP4:ATT?", None, []),
    ("*ESR?", "16", []),  # no reply is an execution error too
    ("*OPC?;*WAI;*OPT?;*TST?", "1;0;0", []),
    ("*ESE 255.4;*ESE?;*SRE MAX;*SRE?;*ESE DEF;*ESE?", "255;191;0", []),  # the summary bit cannot be enabled
    ("*CLS;*ESE 256;SYST:ERR?", '-222,"Data out of range; *ESE takes 0 to 255"', []),
    ("*CLS;*STB 1;*ESR?", None, []),
    ("*ESR?", "32", []),
    ("*CLS;*ESE", None, []),
    ("*ESE? 1", None, []),
    ("*IDN", None, []),
    ("SYST:ERR?;SYST:ERR?;SYST:ERR?", '-109,"Missing parameter; *ESE takes a value";-108,"Parameter not allowed; '
                                      '*ESE? takes no value";-113,"Undefined header; *IDN is not a command"', []),
]

NUMBERS = [
    ("INP2:ATT MIN;INP2:ATT maximum;INP3:ATT DEF;INP2:ATT 12000MDB", None,
     [("set_attenuation", 2, Decimal(0)), ("set_attenuation", 2, Decimal("655.34")),
      ("set_attenuation", 3, Decimal(0)), ("set_attenuation", 2, Decimal(12))]),
    ("INP:ATT? MIN;ATT? MAX;ATT? def;:INP2:WAV? MIN;WAV? MAXIMUM;WAV? DEF", "0.00;655.34;0.00;1310;1550;1310", []),
    ("INP2:WAV MAX;INP3:WAV min", None, [("select", 2, 1550), ("select", 3, 1310)]),
    ("INP:ATT 1.234;SYST:ERR?", '-222,"Data out of range; attenuation 1.234 dB is finer…', []),
    ("INP:ATT 655.35;SYST:ERR?", '-222,"Data out of range; attenuation 655.35 dB…', []),
    # As tiny in mdB as in dB: the layer's rule takes both as 0 dB, as it takes 1e-300 from EPICS.
    ("INP:ATT 1e-999999999MDB;INP:ATT 1e-999999999;INP:ATT?", "0.00",
     [("set_attenuation", 1, Decimal("1e-1000000002")), ("set_attenuation", 1, Decimal("1e-999999999"))]),
    ("INP:ATT 1e9999999999999999999999999;SYST:ERR?", "-222,…", []),
    ("INP:ATT 7MDB;SYST:ERR?", "-222,…", []),
    ("INP:ATT? MAXI;SYST:ERR?", None, []),  # a query that fails ends its line
    ("SYST:ERR?", "-224,…", []),
    ("INP:ATT 3XB", None, []),
    ("SYST:ERR?", "-131,…", []),
    ("INP:ATT abc", None, []),
    ("SYST:ERR?", "-104,…", []),
    ("INP:ATT 1,", None, []),
    ("SYST:ERR?", "-109,…", []),
]


@pytest.mark.parametrize("table", [COMPOUND, STATUS, NUMBERS], ids=["compound lines", "488.2 status", "numbers"])
def test_exchanges(table):
    client, owner = Client((1, 2, 3, 4), "TOLVAN,attenuator,sim"), StandIn()
    for sent, response, settings in table:
        before = len(owner.settings)
        got = exchange(client, owner, sent)
        assert matches(got, response), (sent, got)
        assert owner.settings[before:] == settings, sent  # what the instrument took


@pytest.mark.parametrize("sent, response, reads", [
    ("INP2:ATT?;INP2:WAV?;OUTP2:STAT?", "0.00;1310;1", 1),  # one channel's queries: one read
    ("INP2:ATT?;INP3:ATT?", "0.00;0.00", 2),
    ("INP2:ATT?;INP2:ATT 1.5;INP2:ATT?", "0.00;1.50", 2),  # a setting between: read again
])
def test_a_line_reads_each_channel_once_between_settings(sent, response, reads):
    client, owner = Client((1, 2, 3, 4), "TOLVAN,attenuator,sim"), StandIn()
    assert exchange(client, owner, sent) == response
    assert owner.status_reads == reads


def test_error_queue_holds_32_and_the_last_says_it_overflowed():
    client = Client((1,), "x")
    exchange(client, StandIn(), ";".join(["INP:ATT -1"] * 40))
    assert len(client.errors) == 32 and client.errors[-1] == '-350,"Queue overflow"'


def test_the_grammar_imports_no_io():
    tree = ast.parse(Path(scpi_grammar.__file__).read_text())
    imported = {alias.name.split(".")[0] for node in ast.walk(tree) if isinstance(node, ast.Import)
                for alias in node.names}
    imported |= {node.module.split(".")[0] for node in ast.walk(tree) if isinstance(node, ast.ImportFrom) and node.module}
    assert not imported & {"asyncio", "socket", "threading", "softioc", "selectors", "concurrent"}
