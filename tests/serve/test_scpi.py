"""The SCPI face through PyVISA (pyvisa-py, TCPIP::127.0.0.1::PORT::SOCKET): one table of commands,
answers, error queue entries and what the instrument then holds.

Each group runs in order on a server of its own; a row is (lines sent, the response line or None,
the error queue after them, {channel: what the simulator holds}). An error is a code ("-222") or a whole
entry. The groups end with a clean stop: SIGTERM, exit 0, nothing sent on the way out.
"""

from __future__ import annotations

import re
import signal

import pytest

from tolvan_lab import Attenuator

from .conftest import errors

ENTRY = re.compile(r'-?\d+,"[ -!#-~]*"\Z')  # code, comma, quoted printable text without quotes

SET_AND_READ = [
    ("*IDN?", "TOLVAN,attenuator,{port},2.50.32", [], {}),
    ("INP2:ATT 3.5", None, [], {2: {"attenuation": 3500}}),
    ("INP2:ATT?", "3.50", [], {}),
    ("input2:attenuation 12000mdB;INPut2:ATTenuation?", "12.00", [], {2: {"attenuation": 12000}}),
    ("INP3:ATT 0.07 DB;ATT?", "0.07", [], {3: {"attenuation": 70}}),  # below INP3: as SCPI says
    (":INP:ATT 655.34;:INP1:ATT?", "655.34", [], {1: {"attenuation": 655340}}),
    # Far below a step, 0 dB, as the layer takes 1e-300 from EPICS or a script.
    ("INP3:ATT 1e-999999999;ATT?", "0.00", [], {3: {"attenuation": 0}}),
    ("INP2:WAV:LIST?", "1310,1490,1550", [], {}),
    ("INP2:WAV 1550NM;WAV?", "1550", [], {2: {"wavelength_index": 2}}),
    ("INP2:WAV 1.49E3;INP2:WAVELENGTH?", "1490", [], {2: {"wavelength_index": 1}}),
    ("INP2:ATT:CLE;INP2:ATT?", "0.00", [], {2: {"attenuation": 0}}),
    ("SYST:CHAN:COUN?;*OPC?", "4;1", [], {}),
    ("*WAI;SYSTEM:ERROR:COUNT?;SYST:ERR:NEXT?", '0;0,"No error"', [], {}),
]

OUTPUT_STATE = [  # channel 1 starts disconnected by another program, before the server
    ("INP4:ATT 7.25", None, [], {4: {"attenuation": 7250}}),
    ("OUTP4:STAT OFF;STAT?", "0", [], {4: {"connected": False}}),
    ("INP4:ATT?;OUTPUT4:STATE?", "9.91E37;0", [], {}),
    ("OUTP4:STAT ON;OUTP4:STAT?;INP4:ATT?", "1;7.25", [], {4: {"attenuation": 7250, "connected": True}}),
    ("OUTP4:STAT 1;OUTP4:STAT?", "1", [], {4: {"attenuation": 7250}}),  # on already: nothing changes
    ("OUTP3:STAT 0;OUTP3:STAT 1;INP3:ATT?", "0.00", [], {3: {"connected": True, "attenuation": 0}}),
    ("OUTP1:STAT?;OUTP1:STAT ON", "0", ["-221"], {1: {"connected": False}}),  # unknown: nothing sent
    ("OUTP2:STAT MAYBE", None, ["-224"], {2: {"connected": True}}),
    ("*RST;OUTP2:STAT?", "1", [], {2: {"connected": True}}),  # a reset changes no channel
]

ERRORS = [  # not one of these sends a setting to the instrument
    ("INP5:ATT?", None, ['-114,"Header suffix out of range; channel 5: the channels are 1 to 4"'], {}),
    ("INP0:ATT?", None, ["-114"], {}),
    ("INP:ATT 1.234", None, ['-222,"Data out of range; attenuation 1.234 dB is finer than the instrument\'s step of 0.01 '
                         'dB (0 to 655.34 dB in steps of 0.01 dB)"'], {}),  # the layer's words
    ("INP:ATT -1", None, ["-222"], {}),
    ("INP:ATT 655.35", None, ["-222"], {}),
    ("INP:ATT 655350MDB", None, ["-222"], {}),
    ("INP:ATT 1e999999999", None, ["-222"], {}),
    ("INP:ATT abc", None, ["-104"], {}),
    ('INP:ATT "3"', None, ["-104"], {}),
    ("INP:ATT 3XB", None, ["-131"], {}),
    ("INP:WAV 1555", None, ['-224,"Illegal parameter value; channel 1 does not support 1555 nm; it supports 1310, '
                        '1490, 1550"'], {}),
    ("INP:WAV 1550.5", None, ["-224"], {}),
    ("INP:WAV 1e999999999", None, ["-224"], {}),
    ("INP:WAV 1550UM", None, ["-131"], {}),
    ("INP:ATT", None, ["-109"], {}),
    ("INP:ATT? 3", None, ["-224"], {}),  # MIN, MAX or DEF
    ("INP:ATT 1,2", None, ["-108"], {}),
    ("FOO:BAR?", None, ["-113"], {}),
    ("INP:ATTEN?", None, ["-113"], {}),  # neither the short form nor the long one
    ("*IDN", None, ["-113"], {}),
    ("SYST2:ERR?", None, ["-113"], {}),
    ("INP::ATT?", None, ["-102"], {}),
    ("FOO;*OPC?", None, ["-113"], {}),  # a command error ends the line
    ("INP:WAV 1555;*OPC?", "1", ["-224"], {}),  # an execution error does not
    ("INP:ATT 1.234;*RST;SYST:ERR:COUN?", "1", ["-222"], {}),  # a reset clears no status
    ("INP:ATT -1;*CLS;SYST:ERR?", '0,"No error"', [], {}),
    ("\n".join(["INP:ATT -1"] * 40), None, ["-222"] * 31 + ['-350,"Queue overflow"'], {}),
]

STATUS_AND_COMPOUND = [  # what PyVISA and PyMeasure read: one response line per line of queries
    ("INP2:ATT 3.5;INP2:ATT?;INP3:ATT?", "3.50;0.00", [], {2: {"attenuation": 3500}}),
    ("INP2:ATT?", "3.50", [], {}),  # in step after a line of two queries
    ("*IDN?;*OPT?;*TST?", "TOLVAN,attenuator,{port},2.50.32;0;0", [], {}),
    # The error queue, ESB and MSS; once the register is read, the queue and MAV (answers waiting).
    ("*ESE 16;*SRE 32;INP:ATT -1;*STB?;*ESR?;*STB?", "100;16;20", ["-222"], {}),
    ("*CLS;*OPC;*ESR?;*ESR?;*STB?;*ESE?;*SRE?", "1;0;16;16;32", [], {}),
    ("INP3:ATT MAX;ATT?;ATT? MIN;ATT? MAX", "655.34;0.00;655.34", [], {3: {"attenuation": 655340}}),
    ("INP3:ATT MIN;:INP3:WAV MAX;WAV?;WAV? MIN", "1550;1310", [], {3: {"attenuation": 0, "wavelength_index": 2}}),
    ("INP2:ATT?;INP2:WAV 1555;INP2:ATT?", "3.50;3.50", ["-224"], {}),  # a setting that fails does not end it
    ("INP2:ATT?;INP9:ATT?;INP2:ATT?", "3.50", ["-114"], {}),  # an error ends it: the answers so far come
]

GROUPS = {"set and read": SET_AND_READ, "output state": OUTPUT_STATE, "errors": ERRORS,
          "status and compound lines": STATUS_AND_COMPOUND}


def expected_error(found: str, wanted: str) -> bool:
    return found == wanted if "," in wanted else found.startswith(wanted + ",")


@pytest.mark.parametrize("group", GROUPS)
def test_scpi_commands_answers_errors_and_what_the_instrument_holds(group, instrument, serve, visa):
    sim = instrument()
    if group == "output state":
        with Attenuator(sim.port) as att:
            att[1].disconnect()
    setup = len(sim.commands())
    server = serve(sim.port)
    session = visa(server.scpi_port)
    for sent, response, queued, holds in GROUPS[group]:
        session.write(sent)
        if response is not None:
            assert session.read() == response.format(port=sim.port), sent
        found = errors(session)
        assert all(ENTRY.match(entry) for entry in found), found
        assert len(found) == len(queued) and all(map(expected_error, found, queued)), (sent, found)
        state = sim.state()
        for ch, held in holds.items():
            assert {key: state[ch][key] for key in held} == held, (sent, ch, state[ch])
    if group == "errors":
        session.write("FOO")
        assert errors(visa(server.scpi_port)) == []  # each client has a queue of its own
        assert errors(session) == ['-113,"Undefined header; FOO"']
        sent_settings = [c for c in sim.commands() if c.name not in ("read_current_status", "read_optical_length",
                                                                        "read_device_version")]
        assert sent_settings == []
    if group == "output state":  # ON with an unknown earlier value sent nothing
        assert [c for c in sim.commands()[setup:] if c.channel == 1 and c.name == "read_current_status" or
                c.name in ("set_attenuation", "clear_attenuation") and c.channel == 1] == [("read_current_status", 1, None)] * 2
    before = len(sim.received())
    assert server.stop(signal.SIGINT if group == "errors" else signal.SIGTERM) == 0
    assert len(sim.received()) == before  # nothing on the way out
    assert re.search(r"stopped by SIG(INT|TERM): port closed", server.log())
