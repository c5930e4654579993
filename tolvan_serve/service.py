"""The server in one process: the owner thread and the faces asked for, until told to stop.

    from tolvan_serve.service import Config, run
    run(Config("/dev/ttyUSB0", scpi=("127.0.0.1", 5025), epics="LAB:ATT1:"))   # until SIGTERM or Ctrl-C
"""

from __future__ import annotations

import asyncio
import ipaddress
import logging
import os
import re
import signal
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from tolvan_lab.errors import shown
from tolvan_serve.owner import Owner
from tolvan_serve.reach import LOOPBACK, reach_warning
from tolvan_serve.scpi import TAKE_OVER_AFTER, ScpiServer

log = logging.getLogger("tolvan_serve")

Network = ipaddress.IPv4Network | ipaddress.IPv6Network


# What an EPICS record name may hold (EPICS takes a few more; these are safe everywhere; never
# ".", which separates a record's name from a field's), and the longest name EPICS base 7 takes.
_NAME_CHARACTERS = re.compile(r"[A-Za-z0-9_:;<>\[\]\-]*\Z")
LONGEST_NAME = 60
LONGEST_SUFFIX = len("CH255:CONNECTED_RBV")


def check_prefix(prefix: str) -> str | None:
    """Why `prefix` cannot start the EPICS record names, or None when it can."""
    if not _NAME_CHARACTERS.match(prefix):
        return "a prefix may hold only letters, digits and _ : ; < > [ ] - (not \".\", which names a field)"
    if len(prefix) + LONGEST_SUFFIX > LONGEST_NAME:
        return (f"a prefix is at most {LONGEST_NAME - LONGEST_SUFFIX} characters long (EPICS names are at most "
                f"{LONGEST_NAME})")
    return None


class ServeError(Exception):
    """A face could not start (its address taken, say): nothing was served."""


@dataclass
class Config:
    port: str
    channels: int = 4
    scpi: tuple[str, int] | None = None  # host, port (0: any free port)
    allow: tuple[Network, ...] = LOOPBACK
    take_over_after: float = TAKE_OVER_AFTER  # seconds of silence after which a SCPI client's place may go
    epics: str | None = None  # the record names' prefix
    epics_interface: str = "127.0.0.1"  # Channel Access and PV Access listen here, unless their variables say
    poll: float = 2.0  # seconds in which every channel is read once, with EPICS or the panel
    http: tuple[str, int] | None = None  # the front panel's host, port
    http_read_only: bool = False
    # Told what is served once it is: {"scpi": "HOST:PORT" or None, "epics": prefix or None,
    # "http": "HOST:PORT" or None}.
    ready: Callable[[dict[str, Any]], None] | None = field(default=None, repr=False)


async def serve(config: Config, stop: asyncio.Event) -> None:
    """Serves until `stop` is set; then closes every connection and the port, sending nothing more."""
    loop = asyncio.get_running_loop()
    # Changes that only a poll sees (the instrument's own keys) reach the readbacks and the panel.
    polled = config.epics is not None or config.http is not None
    owner = Owner(config.port, channels=config.channels, poll=config.poll if polled else None)
    face = None
    if config.epics is not None:
        from tolvan_serve.epics import EpicsFace

        for name, value in epics_interfaces(config.epics_interface, os.environ).items():
            os.environ[name] = value  # read when the IOC starts
        face = EpicsFace(owner, config.epics, loop)
    scpi = None
    address = None
    if config.scpi is not None:
        scpi = ScpiServer(owner, config.scpi[0], config.scpi[1], config.allow, config.take_over_after)
        try:
            address = await scpi.start()
        except OSError as error:
            raise _cannot_listen("SCPI", config.scpi, error) from None
    panel = None
    panel_address = None
    if config.http is not None:
        from tolvan_serve.http import PanelServer

        panel = PanelServer(owner, config.http[0], config.http[1], config.allow, read_only=config.http_read_only)
        try:
            panel_address = await panel.start()
        except OSError as error:
            if scpi is not None:
                await scpi.stop()
            raise _cannot_listen("the panel", config.http, error) from None
    owner.start()
    try:
        if face is not None:
            face.start()
        served = []
        if scpi is not None and address is not None:
            served.append(f"SCPI on {address}")
            warning = reach_warning(scpi.listening(), config.allow)
            if warning:
                log.warning("%s", warning)
        if config.epics is not None:
            served.append(f"EPICS records {config.epics}* (Channel Access on {os.environ[CA_INTERFACES]}, PV Access "
                          f"on {os.environ[PVA_INTERFACES]}; each channel read every {config.poll:g} s)")
            _warn_about_epics_reach()
        if panel_address is not None:
            kind = "read-only panel" if config.http_read_only else "panel"
            served.append(f"the {kind} on http://{panel_address}/ (each channel read every {config.poll:g} s)")
            _warn_about_panel(config)
        log.info("serving %s, channels 1 to %d: %s", shown(config.port), config.channels, "; ".join(served))
        if config.ready is not None:
            config.ready({"scpi": address, "epics": config.epics, "http": panel_address})
        await stop.wait()
    finally:
        owner.stop(wait=False)  # what waits in its queue fails now, so that the clients' tasks end
        if scpi is not None:
            await scpi.stop()
        if panel is not None:
            await panel.stop()
        await loop.run_in_executor(None, owner.stop)


CA_INTERFACES, PVA_INTERFACES = "EPICS_CAS_INTF_ADDR_LIST", "EPICS_PVAS_INTF_ADDR_LIST"


def epics_interfaces(interface: str, environ: Any) -> dict[str, str]:
    """The variables to set so that Channel Access and PV Access listen on `interface` alone: each
    one the user has set is theirs, and stays."""
    return {name: interface for name in (CA_INTERFACES, PVA_INTERFACES) if not environ.get(name, "").strip()}


def _warn_about_epics_reach() -> None:
    for name in (CA_INTERFACES, PVA_INTERFACES):
        addresses = os.environ[name].split()
        if not all(_is_loopback(address) for address in addresses):
            log.warning("EPICS has no authentication: any client that reaches %s (%s) can change the light; "
                        "let a firewall stand in front", " ".join(addresses), name)


def _cannot_listen(face: str, where: tuple[str, int], error: OSError) -> ServeError:
    host = f"[{where[0]}]" if ":" in where[0] else where[0]
    why = os.strerror(error.errno) if error.errno else str(error)
    return ServeError(f"cannot listen for {face} on {host}:{where[1]}: {why} (another program listens "
                      f"there, or the address is not this computer's: choose another)")


def _is_loopback(host: str) -> bool:
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return host == "localhost"


def _warn_about_panel(config: Config) -> None:
    assert config.http is not None
    if _is_loopback(config.http[0]) or all(network.is_loopback for network in config.allow):
        return  # only this computer's browsers: the page and its origin checks are the whole story
    log.warning("the panel has no login: any browser at an allowed address (%s) can change the light%s",
                ", ".join(map(str, config.allow)),
                "" if config.http_read_only else "; --http-read-only serves it without controls")


def run(config: Config) -> str:
    """Serves until SIGTERM, SIGINT (Ctrl-C) or SIGHUP; the name of the signal that stopped it."""
    stopped_by: list[str] = []

    async def main() -> None:
        loop = asyncio.get_running_loop()
        stop = asyncio.Event()
        for sig in (signal.SIGTERM, signal.SIGINT, getattr(signal, "SIGHUP", None), getattr(signal, "SIGBREAK", None)):
            if sig is None:
                continue

            def stopping(name: str = sig.name) -> None:
                stopped_by.append(name)
                stop.set()
            try:
                loop.add_signal_handler(sig, stopping)
            except NotImplementedError:  # Windows: a plain handler, which hands the stop to the loop
                def handler(number: int, frame: object, stopping: Callable[[], None] = stopping) -> None:
                    loop.call_soon_threadsafe(stopping)
                signal.signal(sig, handler)
        await serve(config, stop)

    asyncio.run(main())
    reason = stopped_by[0] if stopped_by else "the end"
    log.info("stopped by %s: port closed, nothing sent on the way out", reason)
    return reason
