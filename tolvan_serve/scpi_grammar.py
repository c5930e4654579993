"""SCPI as the server speaks it, apart from any I/O: headers, numbers, compound lines, the
IEEE 488.2 common commands and each client's status registers.

A `Client` runs a program message line as a generator: it yields an `Ask` for each thing it needs
from the instrument (the name of the owner's method and its arguments), is sent the answer or
thrown the failure, and returns the response line (None when no query answered). The SCPI face
drives it with the owner's futures; the tests drive it from a dict.

Lines: printable ASCII (a CR before the LF is dropped by the face); `;` separates commands;
keywords are matched in their short or long form, case-insensitively; the numeric suffix of
INPut/OUTPut names the channel. The answers of every query of a line form one response line,
joined by `;`. A command error (-1xx) ends its line; so does a query that fails, so that the
answers a client gets are always those of its first queries, in order; a setting that fails
(-2xx, -3xx) does not end the line.
"""

from __future__ import annotations

import collections
import logging
import re
from collections.abc import Generator
from dataclasses import dataclass
from decimal import Decimal, DecimalException
from typing import Any

from tolvan_lab import InstrumentError, NoReply, PortUnavailable, units
from tolvan_lab.errors import NotSupported
from tolvan_serve.refusals import Busy, SettingsConflict

log = logging.getLogger("tolvan_serve")

MAX_ERRORS = 32  # entries in a client's error queue
NOT_A_NUMBER = "9.91E37"  # SCPI's not-a-number
MAX_ATTENUATION = Decimal(units.MAX_STEPS).scaleb(-2)  # 655.34, exactly

# The standard error texts.
TEXTS = {
    -100: "Command error", -102: "Syntax error", -104: "Data type error", -108: "Parameter not allowed",
    -109: "Missing parameter", -113: "Undefined header", -114: "Header suffix out of range",
    -131: "Invalid suffix", -221: "Settings conflict", -222: "Data out of range", -223: "Too much data",
    -224: "Illegal parameter value", -240: "Hardware error", -241: "Hardware missing", -300: "Device-specific error",
    -350: "Queue overflow",
}

# The standard event status register's bits, and the status byte's.
OPC, QYE, DDE, EXE, CME = 1, 4, 8, 16, 32
EAV, MAV, ESB, MSS = 4, 16, 32, 64


class ScpiError(Exception):
    """An entry for the client's error queue: the code and the device's words after the standard text."""

    def __init__(self, code: int, detail: str = "") -> None:
        super().__init__(code, detail)
        self.code, self.detail = code, detail

    def entry(self) -> str:
        text = TEXTS[self.code] + (f"; {self.detail}" if self.detail else "")
        text = "".join(c if " " <= c <= "~" and c != '"' else "'" if c == '"' else "?" for c in text)
        return f'{self.code},"{text[:240]}"'

    @property
    def event(self) -> int:
        """The event status bit its class sets: command, execution, device-dependent or query error."""
        return {1: CME, 2: EXE, 3: DDE, 4: QYE}.get(-self.code // 100, DDE)


@dataclass(frozen=True)
class Ask:
    """A request for the instrument: the owner's method `what`, called with `arguments`."""

    what: str
    arguments: tuple[Any, ...]
    setting: bool = False  # a failure may leave the instrument changed or not


def refusal(error: Exception, setting: bool) -> ScpiError | None:
    """The error queue's entry for the instrument's failure to do an Ask; None for a fault of the server."""
    if isinstance(error, NoReply):
        also = "; the setting may or may not have taken effect: query it" if setting else ""
        return ScpiError(-240, f"no reply from the instrument to {error.command}{also}")
    if isinstance(error, PortUnavailable):
        return ScpiError(-241, str(error))
    if isinstance(error, NotSupported):
        return ScpiError(-224, str(error))
    if isinstance(error, SettingsConflict):
        return ScpiError(-221, str(error))
    if isinstance(error, Busy):
        return ScpiError(-300, str(error))
    if isinstance(error, ValueError):  # the layer's judgement of a value, in its words
        return ScpiError(-222, str(error))
    if isinstance(error, InstrumentError):
        return ScpiError(-240, str(error))
    return None


# -- the header tree ---------------------------------------------------------------------------

def _keyword(long_form: str) -> tuple[str, str]:
    """("INP", "INPUT") for "INPut": the short form is the long form's capitals."""
    return "".join(c for c in long_form if c.isupper()), long_form.upper()


@dataclass(frozen=True)
class Node:
    path: tuple[tuple[str, str], ...]
    channel: bool  # the first keyword takes the channel as its suffix
    query: str | None  # the Client method that answers the query form
    command: str | None  # the Client method that runs the command form
    parameters: int = 0  # how many the command form takes
    bounds: bool = False  # the query takes MIN, MAX or DEF


def _node(path: str, query: str | None = None, command: str | None = None, parameters: int = 0,
          bounds: bool = False) -> Node:
    keywords = path.split(":")
    channel = keywords[0].endswith("<n>")
    return Node(tuple(_keyword(k.removesuffix("<n>")) for k in keywords), channel, query, command, parameters, bounds)


TREE = (
    _node("INPut<n>:ATTenuation", "attenuation_query", "attenuation", 1, bounds=True),
    _node("INPut<n>:ATTenuation:CLEar", None, "clear"),
    _node("INPut<n>:WAVelength", "wavelength_query", "wavelength", 1, bounds=True),
    _node("INPut<n>:WAVelength:LIST", "wavelength_list"),
    _node("OUTPut<n>:STATe", "state_query", "state", 1),
    _node("SYSTem:ERRor", "next_error"),
    _node("SYSTem:ERRor:NEXT", "next_error"),
    _node("SYSTem:ERRor:COUNt", "error_count"),
    _node("SYSTem:CHANnel:COUNt", "channel_count"),
)
# Common command: (query method, command method, parameters of the command form).
COMMON: dict[str, tuple[str | None, str | None, int]] = {
    "*CLS": (None, "clear_status", 0), "*ESE": ("ese_query", "ese", 1), "*ESR": ("esr_query", None, 0),
    "*IDN": ("identify", None, 0), "*OPC": ("opc_query", "opc", 0), "*OPT": ("options", None, 0),
    "*RST": (None, "reset", 0), "*SRE": ("sre_query", "sre", 1), "*STB": ("stb_query", None, 0),
    "*TST": ("self_test", None, 0), "*WAI": (None, "wait", 0),
}
BOUNDS = {"MIN": "MIN", "MINIMUM": "MIN", "MAX": "MAX", "MAXIMUM": "MAX", "DEF": "DEF", "DEFAULT": "DEF"}

_KEYWORD = re.compile(r"([A-Za-z]+)([0-9]*)\Z")
_COMMON = re.compile(r"\*[A-Za-z]+\Z")
_NUMBER = re.compile(r"([+-]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?)[ \t]*([A-Za-z]*)\Z")


def parse_number(text: str, suffixes: tuple[str, ...] = ("",)) -> tuple[Decimal, str] | str:
    """A decimal numeric parameter, exactly, and its unit suffix (upper case; "" for none), or
    "MIN", "MAX" or "DEF" for those words (short or long form)."""
    bound = BOUNDS.get(text.upper())
    if bound:
        return bound
    match = _NUMBER.match(text)
    if not match:
        raise ScpiError(-104, f"{text[:20]!r} is not a number")
    number, suffix = match.groups()
    if suffix.upper() not in suffixes:
        accepted = ", ".join(filter(None, suffixes)) or "none"
        raise ScpiError(-131, f"{suffix!r}: the suffixes accepted are {accepted}")
    try:
        return Decimal(number), suffix.upper()  # exact, whatever its exponent: no context applies
    except DecimalException:
        raise ScpiError(-222, f"{number[:20]!r}: an exponent beyond any value") from None


def _scaled(value: Decimal, power: int) -> Decimal:
    """value * 10**power, exactly (scaleb would round to the context's exponent limits)."""
    sign, digits, exponent = value.as_tuple()
    assert isinstance(exponent, int)
    try:
        return Decimal((sign, digits, exponent + power))
    except DecimalException:
        raise ScpiError(-222, f"{value}: an exponent beyond any value") from None


def _register(text: str, name: str) -> int:
    """A 488.2 register value: 0 to 255, a decimal number rounded to the nearest integer."""
    found = parse_number(text)
    if isinstance(found, str):
        return {"MIN": 0, "MAX": 255, "DEF": 0}[found]
    value = found[0]
    if not Decimal("-0.5") < value < Decimal("255.5"):
        raise ScpiError(-222, f"{name} takes 0 to 255")
    return int(value.to_integral_value())


# -- one client --------------------------------------------------------------------------------

Steps = Generator[Ask, Any, Any]
Path = tuple[tuple[str, str], ...]


def _split(unit: str) -> tuple[str, bool, list[str]]:
    """The header (without its `?`), whether it is a query, and the parameters."""
    header, _, text = unit.replace("\t", " ").partition(" ")
    query = header.endswith("?")
    text = text.strip(" ")
    return header.removesuffix("?") if query else header, query, [p.strip(" ") for p in text.split(",")] if text else []


class Client:
    """One client's side of the conversation: its error queue, its status registers, and its commands.

    `channels`: the channels served; `identity`: the start of the *IDN? answer (the version follows)."""

    def __init__(self, channels: tuple[int, ...], identity: str) -> None:
        self.channels = channels
        self.identity = identity
        self.errors: collections.deque[str] = collections.deque()
        self.events = 0  # the standard event status register
        self.event_enable = 0
        self.service_enable = 0
        self._answers: list[str] = []  # the line's answers so far: its output queue
        # The statuses read for this line's queries: `INP2:ATT?;INP2:WAV?` reads the instrument once.
        # A setting in the line forgets them.
        self._statuses: dict[int, Any] = {}

    # -- status --------------------------------------------------------------------------------

    def error(self, error: ScpiError) -> None:
        self.events |= error.event
        if len(self.errors) >= MAX_ERRORS:
            self.errors[-1] = ScpiError(-350).entry()
            self.events |= DDE
        else:
            self.errors.append(error.entry())

    def status_byte(self) -> int:
        stb = ((EAV if self.errors else 0) | (MAV if self._answers else 0)
               | (ESB if self.events & self.event_enable else 0))
        return stb | (MSS if stb & self.service_enable else 0)

    # -- a line --------------------------------------------------------------------------------

    def line(self, raw: bytes) -> Generator[Ask, Any, str | None]:
        """Runs one program message line (without its LF); returns the response line, if any."""
        self._answers = []
        self._statuses = {}
        try:
            text = raw.decode("ascii")
        except UnicodeDecodeError:
            text = None
        if text is None or any(not (" " <= c <= "~" or c == "\t") for c in text):
            self.error(ScpiError(-102, "the line holds bytes other than printable ASCII"))
            return None
        base: Path = ()  # where a header without a leading colon starts
        for unit in text.split(";"):
            unit = unit.strip(" \t")
            if not unit:
                continue
            header, query, parameters = _split(unit)
            try:
                base = yield from self.unit(header, query, parameters, base)
            except ScpiError as error:
                self.error(error)
                if error.code > -200 or query:
                    break  # a command error, or a query without its answer, ends the line
            except Exception:  # a fault of this server: the client hears of it, the server goes on
                log.exception("SCPI: %r failed", unit[:80])
                self.error(ScpiError(-300, "the server failed on this command (its log says why)"))
                break
        answers, self._answers = self._answers, []
        return ";".join(answers) if answers else None

    def unit(self, header: str, query: bool, parameters: list[str], base: Path) -> Generator[Ask, Any, Path]:
        """Runs one command or query; the path the next one in the line may start from."""
        method, channel, wanted, path = self.find(header, query, base)
        said = f"{header[:40]}{'?' if query else ''}"
        if not all(parameters):
            raise ScpiError(-109, f"{said}: a value is empty")
        if len(parameters) > wanted:
            raise ScpiError(-108, f"{said} takes {('no value', 'one value')[wanted]}")
        if not query and len(parameters) < wanted:
            raise ScpiError(-109, f"{said} takes a value")
        done = getattr(self, method)(channel, *parameters)
        answer = (yield from done) if isinstance(done, Generator) else done
        if query:
            self._answers.append(answer)
        return base if path is None else path[:-1]

    def find(self, header: str, query: bool, base: Path) -> tuple[str, int, int, Path | None]:
        """The method, the channel, the parameters taken and the matched path (None for a common command).

        As in SCPI, a header after a `;` is first tried below the path of the command before it
        (INP2:ATT 3.5;ATT? reads channel 2), then from the root; a leading colon means the root.
        """
        said = f"{header[:40]}{'?' if query else ''}"
        if header.startswith("*"):
            if not _COMMON.match(header):
                raise ScpiError(-102, f"{header[:20]!r} is no common command")
            query_method, command_method, parameters = COMMON.get(header.upper(), (None, None, 0))
            method = query_method if query else command_method
            if not method:
                raise ScpiError(-113, f"{said} is not a command")
            return method, 0, 0 if query else parameters, None
        rooted = header.startswith(":")
        parts = []
        for token in (header[1:] if rooted else header).split(":"):
            match = _KEYWORD.match(token)
            if not match:
                raise ScpiError(-102, f"{header[:40]!r} is no header")
            parts.append((match.group(1).upper(), match.group(2)))
        for path in ((tuple(parts),) if rooted or not base else (base + tuple(parts), tuple(parts))):
            node = next((node for node in TREE if len(node.path) == len(path)
                         and all(word in forms for (word, _), forms in zip(path, node.path))), None)
            if node is None:
                continue
            if any(suffix for _, suffix in path[1:]) or (path[0][1] and not node.channel):
                raise ScpiError(-113, f"{said}: only INPut and OUTPut take a channel suffix")
            method = node.query if query else node.command
            if method is None:
                raise ScpiError(-113, f"{said} is not a {'query' if query else 'command'}")
            channel = 1
            if node.channel:
                digits = path[0][1]
                channel = 1 if not digits else int(digits) if len(digits.lstrip("0")) <= 3 else 0
                if channel not in self.channels:
                    raise ScpiError(-114, f"channel {digits}: the channels are 1 to {self.channels[-1]}")
            wanted = (1 if node.bounds else 0) if query else node.parameters
            return method, channel, wanted, path
        raise ScpiError(-113, said)

    # -- the common commands: the status registers are this client's ------------------------------

    def identify(self, _: int) -> Steps:
        version = yield from self._ask("version", ())
        return f"{self.identity},{version.module}.{version.hardware}.{version.software}"

    def clear_status(self, _: int) -> None:
        self.errors.clear()
        self.events = 0

    def ese(self, _: int, value: str) -> None:
        self.event_enable = _register(value, "*ESE")

    def ese_query(self, _: int) -> str:
        return str(self.event_enable)

    def esr_query(self, _: int) -> str:
        events, self.events = self.events, 0  # reading it clears it
        return str(events)

    def sre(self, _: int, value: str) -> None:
        self.service_enable = _register(value, "*SRE") & ~MSS  # the summary bit itself cannot be enabled

    def sre_query(self, _: int) -> str:
        return str(self.service_enable)

    def stb_query(self, _: int) -> str:
        return str(self.status_byte())

    def opc(self, _: int) -> None:
        self.events |= OPC  # this client's commands run one after another: every earlier one is done

    def opc_query(self, _: int) -> str:
        return "1"

    def wait(self, _: int) -> None:
        pass

    def reset(self, _: int) -> None:
        pass  # a reset never changes the light; the status registers and error queue are not settings

    def options(self, _: int) -> str:
        return "0"  # none

    def self_test(self, _: int) -> Steps:
        """0 when the instrument answers a version read; 1 when not, and the error queue says why."""
        try:
            yield from self._ask("version", ())
        except ScpiError as error:
            self.error(error)
            return "1"
        return "0"

    # -- the system subsystem ------------------------------------------------------------------

    def next_error(self, _: int) -> str:
        return self.errors.popleft() if self.errors else '0,"No error"'

    def error_count(self, _: int) -> str:
        return str(len(self.errors))

    def channel_count(self, _: int) -> str:
        return str(len(self.channels))

    # -- the channels --------------------------------------------------------------------------

    def attenuation(self, ch: int, text: str) -> Steps:
        found = parse_number(text, ("", "DB", "MDB"))
        if isinstance(found, str):
            value = MAX_ATTENUATION if found == "MAX" else Decimal(0)
        else:
            value = _scaled(found[0], -3) if found[1] == "MDB" else found[0]
        yield from self._ask("set_attenuation", (ch, value), setting=True)  # the layer judges it, exactly

    def attenuation_query(self, ch: int, bound: str | None = None) -> Steps:
        if bound is not None:
            return f"{_bound(bound, Decimal(0), MAX_ATTENUATION, Decimal(0)):.2f}"
        status = yield from self._status(ch)
        return NOT_A_NUMBER if status.attenuation_db is None else f"{status.attenuation_db:.2f}"

    def clear(self, ch: int) -> Steps:
        yield from self._ask("clear", (ch,), setting=True)

    def wavelength(self, ch: int, text: str) -> Steps:
        found = parse_number(text, ("", "NM"))
        nm = (yield from self._listed(ch, found)) if isinstance(found, str) else found[0]
        yield from self._ask("select", (ch, nm), setting=True)  # the layer refuses one the channel lacks

    def wavelength_query(self, ch: int, bound: str | None = None) -> Steps:
        if bound is not None:
            return str((yield from self._listed(ch, _bound(bound, "MIN", "MAX", "DEF"))))
        status = yield from self._status(ch)
        return NOT_A_NUMBER if status.wavelength_nm is None else str(status.wavelength_nm)

    def wavelength_list(self, ch: int) -> Steps:
        listed = yield from self._ask("wavelengths", (ch,))
        return ",".join(map(str, listed))

    def state(self, ch: int, value: str) -> Steps:
        word = value.upper()
        if word in ("ON", "1"):
            yield from self._ask("reconnect", (ch,), setting=True)
        elif word in ("OFF", "0"):
            yield from self._ask("disconnect", (ch,), setting=True)
        else:
            raise ScpiError(-224, "ON, OFF, 1 or 0")

    def state_query(self, ch: int) -> Steps:
        status = yield from self._status(ch)
        return "1" if status.connected else "0"

    def _status(self, ch: int) -> Steps:
        if ch not in self._statuses:
            self._statuses[ch] = yield from self._ask("status", (ch,))
        return self._statuses[ch]

    def _ask(self, what: str, arguments: tuple[Any, ...], setting: bool = False) -> Steps:
        """Asks the instrument; its failure becomes the error queue's entry (a fault of the server stays one)."""
        if setting:
            self._statuses.clear()
        ask = Ask(what, arguments, setting)
        try:
            return (yield ask)
        except Exception as error:
            found = refusal(error, ask.setting)
            if found is None:
                raise
            raise found from None

    def _listed(self, ch: int, word: str) -> Steps:
        """The channel's shortest wavelength for MIN and DEF, its longest for MAX."""
        listed = yield from self._ask("wavelengths", (ch,))
        if not listed:
            raise ScpiError(-224, f"channel {ch} lists no wavelengths")
        return max(listed) if word == "MAX" else min(listed)


def _bound(text: str, low: Any, high: Any, default: Any) -> Any:
    """What MIN, MAX or DEF after a query names."""
    word = BOUNDS.get(text.upper())
    if word is None:
        raise ScpiError(-224, f"{text[:20]!r}: a query takes MIN, MAX or DEF")
    return {"MIN": low, "MAX": high, "DEF": default}[word]
