"""SCPI over TCP: the instrument as a LAN instrument speaks to PyVISA, LabVIEW, MATLAB and sockets.

Lines end with LF (CR LF accepted); `;` separates commands in a line; keywords are matched in
their short or long form, case-insensitively; a keyword's numeric suffix names the channel.
Each client has its own error queue and its commands run in the order it sent them, through
the owner thread. Standard library only (asyncio).
"""

from __future__ import annotations

import asyncio
import collections
import ipaddress
import logging
import re
import socket
from collections.abc import Iterable
from concurrent.futures import Future
from dataclasses import dataclass
from decimal import Decimal, DecimalException
from typing import Any, TypeVar

from tolvan_lab import InstrumentError, NoReply, PortUnavailable, units
from tolvan_lab.errors import shown
from tolvan_lab.errors import NotSupported
from tolvan_serve.owner import Busy, Owner, SettingsConflict

log = logging.getLogger("tolvan_serve")

T = TypeVar("T")

MAX_CLIENTS = 32
MAX_LINE = 4096  # bytes in a line, less its LF
MAX_UNREAD = 64 * 1024  # bytes of responses a client may leave unread
MAX_ERRORS = 32  # entries in a client's error queue
SEND_BUFFER = 16 * 1024  # the kernel's share of a client's unread responses
NOT_A_NUMBER = "9.91E37"  # SCPI's not-a-number
LOOPBACK = (ipaddress.ip_network("127.0.0.0/8"), ipaddress.ip_network("::1/128"))

# The standard error texts (SCPI-99, volume 2, chapter 21).
TEXTS = {
    -100: "Command error", -102: "Syntax error", -104: "Data type error", -108: "Parameter not allowed",
    -109: "Missing parameter", -113: "Undefined header", -114: "Header suffix out of range",
    -131: "Invalid suffix", -221: "Settings conflict", -222: "Data out of range", -223: "Too much data",
    -224: "Illegal parameter value", -240: "Hardware error", -241: "Hardware missing", -300: "Device-specific error",
    -350: "Queue overflow",
}


class ScpiError(Exception):
    """An entry for the client's error queue: the code and the device's words after the standard text."""

    def __init__(self, code: int, detail: str = "") -> None:
        super().__init__(code, detail)
        self.code, self.detail = code, detail

    def entry(self) -> str:
        text = TEXTS[self.code] + (f"; {self.detail}" if self.detail else "")
        text = "".join(c if " " <= c <= "~" and c != '"' else "'" if c == '"' else "?" for c in text)
        return f'{self.code},"{text[:240]}"'


# -- the header tree ---------------------------------------------------------------------------

def _keyword(long_form: str) -> tuple[str, str]:
    """("INP", "INPUT") for "INPut": the short form is the long form's capitals."""
    return "".join(c for c in long_form if c.isupper()), long_form.upper()


@dataclass(frozen=True)
class Node:
    path: tuple[tuple[str, str], ...]
    channel: bool  # the first keyword takes the channel as its suffix
    query: str | None  # the Session method that answers the query form
    command: str | None  # the Session method that runs the command form
    parameters: int = 0  # how many the command form takes


def _node(path: str, query: str | None = None, command: str | None = None, parameters: int = 0) -> Node:
    keywords = path.split(":")
    channel = keywords[0].endswith("<n>")
    return Node(tuple(_keyword(k.removesuffix("<n>")) for k in keywords), channel, query, command, parameters)


TREE = (
    _node("INPut<n>:ATTenuation", "attenuation_query", "attenuation", 1),
    _node("INPut<n>:ATTenuation:CLEar", None, "clear"),
    _node("INPut<n>:WAVelength", "wavelength_query", "wavelength", 1),
    _node("INPut<n>:WAVelength:LIST", "wavelength_list"),
    _node("OUTPut<n>:STATe", "state_query", "state", 1),
    _node("SYSTem:ERRor", "next_error"),
    _node("SYSTem:ERRor:NEXT", "next_error"),
    _node("SYSTem:ERRor:COUNt", "error_count"),
    _node("SYSTem:CHANnel:COUNt", "channel_count"),
)
COMMON = {"*IDN": ("identify", None), "*CLS": (None, "clear_status"), "*RST": (None, "reset"),
          "*OPC": ("operation_complete", None), "*WAI": (None, "wait")}

_KEYWORD = re.compile(r"([A-Za-z]+)([0-9]*)\Z")
_COMMON = re.compile(r"\*[A-Za-z]+\Z")
_NUMBER = re.compile(r"([+-]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?)[ \t]*([A-Za-z]*)\Z")


def parse_number(text: str, suffixes: tuple[str, ...]) -> tuple[Decimal, str]:
    """A decimal numeric parameter, exactly, and its unit suffix (upper case; "" for none)."""
    match = _NUMBER.match(text)
    if not match:
        raise ScpiError(-104, f"{text[:20]!r} is not a number")
    number, suffix = match.groups()
    if suffix.upper() not in suffixes:
        raise ScpiError(-131, f"{suffix!r}: the suffixes accepted are {', '.join(filter(None, suffixes))}")
    try:
        return Decimal(number), suffix.upper()  # exact, whatever its exponent: no context applies
    except DecimalException:
        raise ScpiError(-104, f"{number[:20]!r} is not a number") from None


def parse_attenuation(text: str) -> Decimal:
    value, suffix = parse_number(text, ("", "DB", "MDB"))
    # Judged before any arithmetic, which would round 1E-999999999999 to 0 or overflow on 1E+999999999999.
    if not value.is_zero() and not -12 < value.adjusted() < 12:
        raise ScpiError(-222, units.ACCEPTED)
    if suffix == "MDB":
        value = value.scaleb(-3)
    try:
        units.steps(value)
    except ValueError:
        raise ScpiError(-222, units.ACCEPTED) from None
    return value


# -- one client --------------------------------------------------------------------------------

class Session:
    """One client's connection: its error queue, its responses, and its commands."""

    def __init__(self, server: ScpiServer, writer: asyncio.StreamWriter, name: str) -> None:
        self.server = server
        self.owner = server.owner
        self.writer = writer
        self.name = name
        self.errors: collections.deque[str] = collections.deque()
        self.closing = ""  # why the server closes this connection, once it does

    # -- output ------------------------------------------------------------------------------

    def respond(self, line: str) -> None:
        if self.closing or self.writer.transport.is_closing():  # nobody to read it: the commands still run
            return
        self.writer.write(line.encode("ascii", "replace") + b"\n")
        if self.writer.transport.get_write_buffer_size() > MAX_UNREAD:
            self.close(f"{MAX_UNREAD // 1024} KiB of its responses were left unread")

    def error(self, error: ScpiError) -> None:
        if len(self.errors) >= MAX_ERRORS:
            self.errors[-1] = ScpiError(-350).entry()
        else:
            self.errors.append(error.entry())

    def close(self, why: str) -> None:
        if not self.closing:
            self.closing = why
            self.writer.transport.abort()

    # -- input -------------------------------------------------------------------------------

    async def run_line(self, raw: bytes) -> None:
        if raw.endswith(b"\r"):
            raw = raw[:-1]
        try:
            line = raw.decode("ascii")
        except UnicodeDecodeError:
            line = None
        if line is None or any(not (" " <= c <= "~" or c == "\t") for c in line):
            self.error(ScpiError(-102, "the line holds bytes other than printable ASCII"))
            return
        base: list[tuple[str, str]] = []  # where a header without a leading colon starts
        for unit in line.split(";"):
            unit = unit.strip(" \t")
            if not unit:
                continue
            try:
                base = await self.run_unit(unit, base)
            except ScpiError as error:
                self.error(error)
                if error.code > -200:  # a command error ends the line; an execution error does not
                    return
            except Exception:  # a fault of this server: the client hears of it, the server goes on
                log.exception("SCPI: client %s: %r failed", self.name, unit[:80])
                self.error(ScpiError(-300, "the server failed on this command (its log says why)"))
                return
            if self.closing:
                return

    async def run_unit(self, unit: str, base: list[tuple[str, str]]) -> list[tuple[str, str]]:
        """Runs one command; the path the next command in the line may start from."""
        header, _, text = unit.replace("\t", " ").partition(" ")
        query = header.endswith("?")
        if query:
            header = header[:-1]
        text = text.strip(" ")
        parameters = [p.strip(" ") for p in text.split(",")] if text else []
        channel, method, wanted, path = self.find(header, query, base)
        if query or wanted == 0:
            if parameters:
                raise ScpiError(-108, f"{header}{'?' if query else ''} takes none")
        elif not parameters or not all(parameters):
            raise ScpiError(-109, f"{header} takes a value")
        elif len(parameters) > wanted:
            raise ScpiError(-108, f"{header} takes one value")
        answer = await getattr(self, method)(channel, *parameters)
        if query and answer is not None:
            self.respond(answer)
        return base if path is None else path[:-1]

    def find(self, header: str, query: bool, base: list[tuple[str, str]]
             ) -> tuple[int, str, int, list[tuple[str, str]] | None]:
        """The channel, the method, the parameter count and the matched path (None for a common command).

        As in SCPI, a header after a `;` is first tried below the path of the command before it
        (INP2:ATT 3.5;ATT? reads channel 2), then from the root; a leading colon means the root.
        """
        if header.startswith("*"):
            if not _COMMON.match(header):
                raise ScpiError(-102, f"{header[:20]!r} is no common command")
            forms = COMMON.get(header.upper())
            method = forms and forms[0 if query else 1]
            if not method:
                raise ScpiError(-113, f"{header}{'?' if query else ''} is not a command")
            return 0, method, 0, None
        rooted = header.startswith(":")
        parts = []
        for token in (header[1:] if rooted else header).split(":"):
            match = _KEYWORD.match(token)
            if not match:
                raise ScpiError(-102, f"{header[:40]!r} is no header")
            parts.append((match.group(1).upper(), match.group(2)))
        for path in ([parts] if rooted or not base else [base + parts, parts]):
            node = next((node for node in TREE if len(node.path) == len(path)
                         and all(word in forms for (word, _), forms in zip(path, node.path))), None)
            if node is None:
                continue
            if any(suffix for _, suffix in path[1:]) or (path[0][1] and not node.channel):
                raise ScpiError(-113, f"{header}: only INPut and OUTPut take a channel suffix")
            method = node.query if query else node.command
            if method is None:
                raise ScpiError(-113, f"{header}{'?' if query else ''} is not a {'query' if query else 'command'}")
            channel = 1
            if node.channel:
                digits = path[0][1]
                channel = 1 if not digits else int(digits) if len(digits.lstrip("0")) <= 3 else 0
                if channel not in self.owner.channels:
                    raise ScpiError(-114, f"channel {digits}: the channels are 1 to {self.owner.channels[-1]}")
            return channel, method, node.parameters, path
        raise ScpiError(-113, f"{header[:40]}{'?' if query else ''}")

    async def instrument(self, future: Future[T], setting: bool = False) -> T:
        """The owner's answer to a request, its failures as SCPI errors."""
        try:
            return await asyncio.wrap_future(future)
        except NoReply as error:
            also = "; the setting may or may not have taken effect: query it" if setting else ""
            raise ScpiError(-240, f"no reply from the instrument to {error.command}{also}") from None
        except PortUnavailable:
            raise ScpiError(-241, f"the port {shown(self.owner.port)} is not open; the server tries to open it "
                                  f"every {self.owner.reopen_every:g} s") from None
        except NotSupported as error:
            listed = ",".join(map(str, error.supported)) or "none"
            raise ScpiError(-224, f"channel {error.channel} supports {listed} nm") from None
        except SettingsConflict as error:
            raise ScpiError(-221, str(error)) from None
        except Busy as error:
            raise ScpiError(-300, str(error)) from None
        except ValueError:
            raise ScpiError(-222, units.ACCEPTED) from None
        except InstrumentError as error:
            raise ScpiError(-240, str(error)) from None

    # -- the commands ------------------------------------------------------------------------

    async def identify(self, _: int) -> str:
        version = await self.instrument(self.owner.version())
        port = "".join(c if " " <= c <= "~" and c not in ',;"' else "_" for c in shown(self.owner.port))
        return f"TOLVAN,attenuator,{port},{version.module}.{version.hardware}.{version.software}"

    async def clear_status(self, _: int) -> None:
        self.errors.clear()

    async def reset(self, _: int) -> None:
        self.errors.clear()  # the light is never changed by a reset

    async def operation_complete(self, _: int) -> str:
        return "1"  # this client's commands run one after another: every earlier one is done

    async def wait(self, _: int) -> None:
        pass

    async def next_error(self, _: int) -> str:
        return self.errors.popleft() if self.errors else '0,"No error"'

    async def error_count(self, _: int) -> str:
        return str(len(self.errors))

    async def channel_count(self, _: int) -> str:
        return str(len(self.owner.channels))

    async def attenuation(self, ch: int, value: str) -> None:
        await self.instrument(self.owner.set_attenuation(ch, parse_attenuation(value)), setting=True)

    async def attenuation_query(self, ch: int) -> str:
        status = await self.instrument(self.owner.status(ch))
        return NOT_A_NUMBER if status.attenuation_db is None else f"{status.attenuation_db:.2f}"

    async def clear(self, ch: int) -> None:
        await self.instrument(self.owner.clear(ch), setting=True)

    async def wavelength(self, ch: int, value: str) -> None:
        await self.instrument(self.owner.select(ch, parse_number(value, ("", "NM"))[0]), setting=True)

    async def wavelength_query(self, ch: int) -> str:
        status = await self.instrument(self.owner.status(ch))
        return NOT_A_NUMBER if status.wavelength_nm is None else str(status.wavelength_nm)

    async def wavelength_list(self, ch: int) -> str:
        listed = await self.instrument(self.owner.wavelengths(ch))
        return ",".join(map(str, listed))

    async def state(self, ch: int, value: str) -> None:
        word = value.upper()
        if word in ("ON", "1"):
            await self.instrument(self.owner.reconnect(ch), setting=True)
        elif word in ("OFF", "0"):
            await self.instrument(self.owner.disconnect(ch), setting=True)
        else:
            raise ScpiError(-224, "ON, OFF, 1 or 0")

    async def state_query(self, ch: int) -> str:
        return "1" if (await self.instrument(self.owner.status(ch))).connected else "0"


# -- the server --------------------------------------------------------------------------------

def _address(peer: Any) -> ipaddress.IPv4Address | ipaddress.IPv6Address | None:
    try:
        address = ipaddress.ip_address(str(peer[0]).partition("%")[0])
    except (TypeError, ValueError, IndexError):
        return None
    if isinstance(address, ipaddress.IPv6Address) and address.ipv4_mapped is not None:
        return address.ipv4_mapped
    return address


def is_allowed(peer: Any, allow: tuple[ipaddress.IPv4Network | ipaddress.IPv6Network, ...]) -> bool:
    """Whether a client at `peer` (a socket's peer name) may connect: its address lies in `allow`."""
    address = _address(peer)
    return address is not None and any(address in network for network in allow)


def _shown_peer(peer: Any) -> str:
    try:
        host, port = peer[0], peer[1]
    except (TypeError, IndexError):
        return str(peer)
    return f"[{host}]:{port}" if ":" in str(host) else f"{host}:{port}"


class ScpiServer:
    """Serves SCPI on `host:port` to the clients whose address lies in `allow`."""

    def __init__(self, owner: Owner, host: str, port: int,
                 allow: Iterable[ipaddress.IPv4Network | ipaddress.IPv6Network] = LOOPBACK) -> None:
        self.owner = owner
        self.host, self.port = host, port
        self.allow = tuple(allow)
        self.sessions: set[Session] = set()
        self._tasks: set[asyncio.Task[Any]] = set()
        self._server: asyncio.base_events.Server | None = None

    async def start(self) -> str:
        """Listens; the address it listens on, as HOST:PORT."""
        self._server = await asyncio.start_server(self._connected, self.host, self.port, limit=MAX_LINE,
                                                  reuse_address=True)
        bound = self._server.sockets[0].getsockname()
        self.port = bound[1]
        return _shown_peer(bound)

    async def stop(self) -> None:
        if self._server is not None:
            self._server.close()
        for session in list(self.sessions):
            session.close("the server is stopping")
        if self._tasks:
            await asyncio.wait(self._tasks, timeout=5)

    async def _connected(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        peer = writer.get_extra_info("peername")
        shown_peer = _shown_peer(peer)
        if not is_allowed(peer, self.allow):
            allowed = ", ".join(map(str, self.allow))
            log.warning("SCPI: refused %s: not an allowed address (allowed: %s; --allow CIDR adds others)",
                        shown_peer, allowed)
            writer.transport.abort()
            return
        if len(self.sessions) >= MAX_CLIENTS:
            log.warning("SCPI: refused %s: %d clients are connected already", shown_peer, MAX_CLIENTS)
            writer.transport.abort()
            return
        sock = writer.get_extra_info("socket")
        if sock is not None:
            try:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, SEND_BUFFER)
            except OSError:
                pass
        session = Session(self, writer, shown_peer)
        self.sessions.add(session)
        task = asyncio.current_task()
        if task is not None:
            self._tasks.add(task)
        log.info("SCPI: client %s connected (%d of %d)", shown_peer, len(self.sessions), MAX_CLIENTS)
        why = "it closed the connection"
        try:
            while not session.closing:
                try:
                    line = await reader.readuntil(b"\n")
                except asyncio.IncompleteReadError:
                    break  # the client closed; a last line without its LF is not a command
                except asyncio.LimitOverrunError:
                    session.error(ScpiError(-223, f"a line longer than {MAX_LINE} bytes"))
                    session.close(f"it sent a line longer than {MAX_LINE} bytes")
                    break
                await session.run_line(line[:-1])
                await asyncio.sleep(0)  # a turn for the other clients: a line of local queries never waits
        except (ConnectionError, OSError) as error:
            why = f"the connection failed: {error}"
        except asyncio.CancelledError:
            why = "the server is stopping"
            raise
        finally:
            self.sessions.discard(session)
            if task is not None:
                self._tasks.discard(task)
            if session.closing:
                why = session.closing
            writer.transport.abort() if session.closing else writer.close()
            log.info("SCPI: client %s disconnected (%s)", shown_peer, why)

