"""SCPI over TCP: the instrument as a LAN instrument speaks to PyVISA, LabVIEW, MATLAB and sockets.

The grammar, the commands and each client's status are tolvan_serve.scpi_grammar's; this module
is the I/O around it: connections, lines, the owner's futures, limits. Each client's commands run
in the order it sent them, through the owner thread. Standard library only (asyncio).
"""

from __future__ import annotations

import asyncio
import logging
import socket
from collections.abc import Iterable
from typing import Any

from tolvan_lab.errors import shown
from tolvan_serve.owner import Owner
from tolvan_serve.reach import ALLOW_REPLACES, LOOPBACK, Network, allows, client_address
from tolvan_serve.scpi_grammar import Ask, Client, ScpiError

log = logging.getLogger("tolvan_serve")

MAX_CLIENTS = 32
MAX_LINE = 4096  # bytes in a line, less its LF
MAX_UNREAD = 64 * 1024  # bytes of responses a client may leave unread
SEND_BUFFER = 16 * 1024  # the kernel's share of a client's unread responses
TAKE_OVER_AFTER = 60.0  # seconds a client must have been silent for a newcomer to take its place when all are taken
REFUSALS_REMEMBERED = 1024  # (address, reason) pairs whose refusal was logged, not logged again


class Session:
    """One client's connection: the grammar's Client, and its responses."""

    def __init__(self, owner: Owner, writer: asyncio.StreamWriter, name: str, heard: float) -> None:
        self.owner = owner
        self.writer = writer
        self.name = name
        port = "".join(c if " " <= c <= "~" and c not in ',;"' else "_" for c in shown(owner.port))
        self.client = Client(owner.channels, f"TOLVAN,attenuator,{port}")
        self.heard = heard  # when its last line (or its connection) came, on the loop's clock
        self.closing = ""  # why the server closes this connection, once it does

    def respond(self, line: str) -> None:
        if self.closing or self.writer.transport.is_closing():  # nobody to read it: the commands still run
            return
        self.writer.write(line.encode("ascii", "replace") + b"\n")
        if self.writer.transport.get_write_buffer_size() > MAX_UNREAD:
            self.close(f"{MAX_UNREAD // 1024} KiB of its responses were left unread")

    def close(self, why: str) -> None:
        if not self.closing:
            self.closing = why
            self.writer.transport.abort()

    async def run_line(self, raw: bytes) -> None:
        steps = self.client.line(raw.removesuffix(b"\r"))
        try:
            ask = next(steps)
            while True:
                try:
                    answer = await asyncio.wrap_future(self._submit(ask))
                except Exception as error:  # the grammar tells the client what it means
                    ask = steps.throw(error)
                else:
                    ask = steps.send(answer)
        except StopIteration as done:
            if done.value is not None:
                self.respond(done.value)

    def _submit(self, ask: Ask) -> Any:
        return getattr(self.owner, ask.what)(*ask.arguments)


# -- the server --------------------------------------------------------------------------------

def _shown_peer(peer: Any) -> str:
    try:
        host, port = peer[0], peer[1]
    except (TypeError, IndexError):
        return str(peer)
    return f"[{host}]:{port}" if ":" in str(host) else f"{host}:{port}"


class ScpiServer:
    """Serves SCPI on `host:port` to the clients whose address lies in `allow`.

    When every place is taken, a newcomer takes the place of the client silent longest, once that
    one has been silent for `take_over_after` seconds; otherwise it is refused."""

    def __init__(self, owner: Owner, host: str, port: int, allow: Iterable[Network] = LOOPBACK,
                 take_over_after: float = TAKE_OVER_AFTER) -> None:
        self.owner = owner
        self.host, self.port = host, port
        self.allow = tuple(allow)
        self.take_over_after = take_over_after
        self.sessions: set[Session] = set()
        self._refusals_logged: set[tuple[str, str]] = set()
        self._tasks: set[asyncio.Task[Any]] = set()
        self._server: asyncio.base_events.Server | None = None

    async def start(self) -> str:
        """Listens; the address it listens on, as HOST:PORT."""
        self._server = await asyncio.start_server(self._connected, self.host, self.port, limit=MAX_LINE,
                                                  reuse_address=True)
        bound = self._server.sockets[0].getsockname()
        self.port = bound[1]
        return _shown_peer(bound)

    def listening(self) -> list[Any]:
        """The addresses it listens on (one per socket: `localhost` may be two)."""
        sockets = self._server.sockets if self._server is not None else ()
        return [address for sock in sockets if (address := client_address(sock.getsockname())) is not None]

    async def stop(self) -> None:
        if self._server is not None:
            self._server.close()
        for session in list(self.sessions):
            session.close("the server is stopping")
        if self._tasks:
            await asyncio.wait(self._tasks, timeout=5)

    def _refuse(self, writer: asyncio.StreamWriter, peer: str, address: Any, why: str) -> None:
        """Closes a connection it will not serve; logs the first refusal of an address for a reason."""
        writer.transport.abort()
        key = (str(address), why.partition(" (")[0])
        if key in self._refusals_logged:
            return
        if len(self._refusals_logged) >= REFUSALS_REMEMBERED:
            self._refusals_logged.clear()
        self._refusals_logged.add(key)
        log.warning("SCPI: refused %s: %s; further refusals of %s for this reason are not logged", peer, why, address)

    def _take_place(self, newcomer: str) -> bool:
        """Closes the client silent longest when it has been silent long enough; whether it did."""
        now = asyncio.get_running_loop().time()
        silent = min(self.sessions, key=lambda session: session.heard)
        if now - silent.heard < self.take_over_after:
            return False
        self.sessions.discard(silent)  # its task logs its disconnection, with this reason
        silent.close(f"silent for {now - silent.heard:.0f} s while all {MAX_CLIENTS} places were taken: "
                     f"its place went to {newcomer}")
        return True

    async def _connected(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        peer = writer.get_extra_info("peername")
        shown_peer = _shown_peer(peer)
        address = client_address(peer)
        if not allows(self.allow, address):
            allowed = ", ".join(map(str, self.allow))
            self._refuse(writer, shown_peer, address, f"not an allowed address (allowed: {allowed}; {ALLOW_REPLACES})")
            return
        if len(self.sessions) >= MAX_CLIENTS and not self._take_place(shown_peer):
            self._refuse(writer, shown_peer, address,
                         f"{MAX_CLIENTS} clients are connected already (none silent for {self.take_over_after:g} s)")
            return
        self._refusals_logged = {key for key in self._refusals_logged if key[0] != str(address)}
        sock = writer.get_extra_info("socket")
        if sock is not None:
            try:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, SEND_BUFFER)
            except OSError:
                pass
        loop = asyncio.get_running_loop()
        session = Session(self.owner, writer, shown_peer, loop.time())
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
                    session.client.error(ScpiError(-223, f"a line longer than {MAX_LINE} bytes"))
                    session.close(f"it sent a line longer than {MAX_LINE} bytes")
                    break
                session.heard = loop.time()
                await session.run_line(line[:-1])
                session.heard = loop.time()  # a client waiting for its answers is not silent
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
