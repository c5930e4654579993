"""The front panel: one page, served with its script and style, and kept live over a WebSocket.

    GET  /                 the page (panel/index.html), /panel.js and /panel.css beside it
    GET  /live             WebSocket: the panel's state, then each change (tolvan_serve.panel_state)
    POST /channels/N       a change to channel N (tolvan_serve.panel_requests); the answer says
                           what the instrument did: 200 {"ok": true} or an error status and {"error": why}

Every request comes from an allowed address (the rule SCPI applies) and names this server in its
Host header; the WebSocket handshake and every POST also carry the page's own Origin, and a POST
the token the page was given over its WebSocket (tolvan_serve.web_origin). Read-only, the page
has no controls and every POST is refused. Needs aiohttp: pip install 'tolvan[web]'.
"""

from __future__ import annotations

import asyncio
import hmac
import importlib.resources
import ipaddress
import json
import logging
import secrets
import socket
from collections.abc import Awaitable, Callable, Iterable

from aiohttp import WSCloseCode, web

from tolvan_lab import InstrumentError, NoReply, PortUnavailable
from tolvan_lab.errors import shown
from tolvan_serve.events import Event
from tolvan_serve.owner import Owner
from tolvan_serve.refusals import Busy, SettingsConflict
from tolvan_serve.panel_requests import MAX_BODY, Refused, Request, judged, submitted
from tolvan_serve.panel_state import Message, PanelState
from tolvan_serve.reach import LOOPBACK, allows, client_address
from tolvan_serve.web_origin import host_allowed, same_origin

log = logging.getLogger("tolvan_serve")

MAX_PAGES = 32  # live pages at once
PAGE_QUEUE = 256  # messages waiting for one page; a page that falls this far behind is closed, and reconnects
TOKEN_HEADER = "X-Tolvan-Token"
STATIC = {"/": ("index.html", "text/html"), "/panel.js": ("panel.js", "text/javascript"),
          "/panel.css": ("panel.css", "text/css")}
HEADERS = {
    # Nothing from elsewhere, no framing by another site (a click on a hidden panel), no guessing of types.
    "Content-Security-Policy": "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
                               "img-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'",
    "X-Frame-Options": "DENY",
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
    "Cache-Control": "no-store",
}

Network = ipaddress.IPv4Network | ipaddress.IPv6Network
Handler = Callable[[web.Request], Awaitable[web.StreamResponse]]


class Page:
    """One live page: the messages it has yet to be sent."""

    def __init__(self, socket: web.WebSocketResponse, name: str) -> None:
        self.socket = socket
        self.name = name
        self.queue: asyncio.Queue[str | None] = asyncio.Queue(PAGE_QUEUE)

    def tell(self, text: str) -> bool:
        """Queues a message; False when the page is too far behind to take it."""
        try:
            self.queue.put_nowait(text)
        except asyncio.QueueFull:
            return False
        return True

    def drop(self) -> None:
        """Nothing more is sent: what waits is thrown away, and the sender closes the page."""
        while not self.queue.empty():
            self.queue.get_nowait()
        self.queue.put_nowait(None)


class PanelServer:
    """Serves the panel of `owner`'s instrument on `host:port` to browsers at addresses in `allow`."""

    def __init__(self, owner: Owner, host: str, port: int, allow: Iterable[Network] = LOOPBACK, *,
                 read_only: bool = False) -> None:
        self.owner = owner
        self.host, self.port = host, port
        self.allow = tuple(allow)
        self.read_only = read_only
        self.state = PanelState(shown(owner.port), owner.channels, read_only=read_only,
                                token=secrets.token_urlsafe(24))
        self.pages: set[Page] = set()
        self.names = {host.lower(), socket.gethostname().lower(), socket.getfqdn().lower()}
        self.files = {path: (importlib.resources.files("tolvan_serve").joinpath("panel", name).read_bytes(), kind)
                      for path, (name, kind) in STATIC.items()}
        self._loop: asyncio.AbstractEventLoop | None = None
        self._runner: web.AppRunner | None = None
        owner.listen(self._heard)

    # -- life --------------------------------------------------------------------------------

    async def start(self) -> str:
        """Listens; the address it listens on, as HOST:PORT."""
        self._loop = asyncio.get_running_loop()
        app = web.Application(middlewares=[self._guard], client_max_size=MAX_BODY)
        app.router.add_get("/", self._static)
        app.router.add_get("/panel.js", self._static)
        app.router.add_get("/panel.css", self._static)
        app.router.add_get("/favicon.ico", _no_icon)
        app.router.add_get("/live", self._live)
        app.router.add_post("/channels/{channel}", self._change)
        self._runner = web.AppRunner(app, access_log=None, shutdown_timeout=2.0)
        await self._runner.setup()
        site = web.TCPSite(self._runner, self.host, self.port, reuse_address=True)
        try:
            await site.start()
        except OSError:
            await self._runner.cleanup()
            raise
        bound = self._runner.addresses[0]
        self.port = bound[1]
        return f"[{bound[0]}]:{bound[1]}" if ":" in str(bound[0]) else f"{bound[0]}:{bound[1]}"

    async def stop(self) -> None:
        closing = [asyncio.ensure_future(page.socket.close(code=WSCloseCode.GOING_AWAY, message=b"the server is stopping"))
                   for page in self.pages]
        if closing:
            await asyncio.wait(closing, timeout=2.0)  # a page that does not answer its close is not waited for
        if self._runner is not None:
            await self._runner.cleanup()

    # -- what the owner tells --------------------------------------------------------------------

    def _heard(self, event: Event) -> None:
        """In the owner thread: the pages are told on the event loop, in the order heard."""
        if self._loop is not None:
            self._loop.call_soon_threadsafe(self._show, event)

    def _show(self, event: Event) -> None:
        for message in self.state.apply(event):
            self._broadcast(message)

    def _broadcast(self, message: Message) -> None:
        text = json.dumps(message)
        for page in list(self.pages):
            if not page.tell(text):
                log.warning("panel: page %s fell %d messages behind: closed (it reconnects)", page.name, PAGE_QUEUE)
                self.pages.discard(page)
                page.drop()

    # -- requests ----------------------------------------------------------------------------

    @web.middleware
    async def _guard(self, request: web.Request, handler: Handler) -> web.StreamResponse:
        peer = request.transport.get_extra_info("peername") if request.transport is not None else None
        if not allows(self.allow, client_address(peer)):
            log.warning("panel: refused %s: not an allowed address (allowed: %s; --allow CIDR adds others)",
                        request.remote, ", ".join(map(str, self.allow)))
            return _refusal(403, "this address may not use the panel (tolvan serve --allow CIDR admits others)")
        if not host_allowed(request.headers.get("Host"), self.names):
            return _refusal(421, "the Host header does not name this server: open the panel by its address")
        changes = request.method not in ("GET", "HEAD")
        if (changes or request.path == "/live") and not same_origin(request.headers.get("Origin"),
                                                                     request.headers.get("Host")):
            log.warning("panel: refused %s %s from %s: not from the panel's own page (Origin %r)", request.method,
                        request.path, request.remote, request.headers.get("Origin", "")[:80])
            return _refusal(403, "only the panel's own page may change the instrument or follow it live: open the "
                                 "panel's address in the browser and use its controls")
        response = await handler(request)
        if not response.prepared:
            response.headers.update(HEADERS)
        return response

    async def _static(self, request: web.Request) -> web.Response:
        body, kind = self.files[request.path]
        return web.Response(body=body, content_type=kind, charset="utf-8")

    async def _live(self, request: web.Request) -> web.StreamResponse:
        if len(self.pages) >= MAX_PAGES:
            return _refusal(503, f"{MAX_PAGES} pages are open already: close one")
        ws = web.WebSocketResponse(max_msg_size=4096, heartbeat=20.0)
        await ws.prepare(request)
        page = Page(ws, str(request.remote))
        page.tell(json.dumps(self.state.hello()))
        self.pages.add(page)
        log.info("panel: page at %s connected (%d of %d)", page.name, len(self.pages), MAX_PAGES)
        sender = asyncio.create_task(self._send(page))
        try:
            async for _ in ws:
                pass  # the page says nothing here: its changes come as POSTs
        finally:
            self.pages.discard(page)
            sender.cancel()
            log.info("panel: page at %s disconnected", page.name)
        return ws

    async def _send(self, page: Page) -> None:
        try:
            while (text := await page.queue.get()) is not None:
                await page.socket.send_str(text)
            await page.socket.close(code=WSCloseCode.TRY_AGAIN_LATER, message=b"too far behind")
        except (ConnectionError, RuntimeError):
            pass  # the page went: its handler ends with it

    async def _change(self, request: web.Request) -> web.Response:
        if self.read_only:
            return _refusal(403, "this panel is read-only (tolvan serve --http-read-only)")
        token = request.headers.get(TOKEN_HEADER, "")
        if not hmac.compare_digest(token.encode(), self.state.token.encode()):
            return _refusal(403, "the page is out of date: reload it")
        try:
            body = await request.read()
        except web.HTTPRequestEntityTooLarge:
            return _refusal(413, f"a request is at most {MAX_BODY} bytes")
        try:
            asked = judged(request.match_info["channel"], body, self.owner.channels)
        except Refused as refused:
            self._broadcast(self.state.note("refused", f"channel {request.match_info['channel'][:10]}: {refused.reason}"))
            return _refusal(refused.status, refused.reason)
        status, why = await self._outcome(asked)
        if status != 200:
            self._broadcast(self.state.note("refused", f"{asked.described()}: {why}"))
            return _refusal(status, why)
        return web.json_response({"ok": True})

    async def _outcome(self, asked: Request) -> tuple[int, str]:
        """The HTTP status and words for what the instrument did with a request."""
        try:
            await asyncio.wrap_future(submitted(self.owner, asked))
        except NoReply as error:
            return 504, f"{error}; the setting may or may not have taken effect"
        except (PortUnavailable, Busy) as error:
            return 503, str(error)
        except SettingsConflict as error:
            return 409, str(error)
        except (ValueError, TypeError) as error:  # the layer's refusal, nothing sent: NotSupported among them
            return 422, str(error)
        except InstrumentError as error:
            return 502, str(error)
        return 200, ""


async def _no_icon(request: web.Request) -> web.Response:
    return web.Response(status=204)  # asked for by every browser; the page has none


def _refusal(status: int, why: str) -> web.Response:
    return web.json_response({"error": why}, status=status, headers=HEADERS)
