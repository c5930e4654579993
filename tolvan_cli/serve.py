"""tolvan serve: the instrument over SCPI (TCP), EPICS and a browser panel, in the foreground until SIGTERM or Ctrl-C."""

from __future__ import annotations

import ipaddress
import logging
import math
import sys
from typing import Any

from tolvan_cli.session import Failed, UsageError

PROG = "tolvan serve"


def scpi_address(text: str, option: str = "--scpi") -> tuple[str, int]:
    """("127.0.0.1", 5025) from 5025, HOST:5025 or [IPv6]:5025."""
    host, port = "127.0.0.1", text
    if text.startswith("["):
        host, bracket, port = text[1:].partition("]")
        if not bracket or not port.startswith(":"):
            raise UsageError(f"{option} {text}: write an IPv6 address as [::1]:5025")
        port = port[1:]
    elif ":" in text:
        host, _, port = text.rpartition(":")
        if ":" in host:
            raise UsageError(f"{option} {text}: write an IPv6 address in brackets, as [::1]:5025")
    if not port.isdigit() or not 0 <= int(port) <= 65535 or not host:
        raise UsageError(f"{option} {text}: give [HOST:]PORT, such as 5025 or 127.0.0.1:5025 (port 0 to 65535)")
    return host, int(port)


def networks(texts: list[str] | None) -> tuple[Any, ...] | None:
    if not texts:
        return None
    found = []
    for text in texts:
        try:
            found.append(ipaddress.ip_network(text.strip(), strict=False))
        except ValueError:
            raise UsageError(f"--allow {text}: not an address or network, such as 192.168.1.0/24 or 10.0.0.7")
    return tuple(found)


def epics_interface(text: str | None, epics: bool) -> str:
    if text is None:
        return "127.0.0.1"
    if not epics:
        raise UsageError("--epics-interface sets where the EPICS records are served: it needs --epics")
    try:
        return str(ipaddress.IPv4Address(text.strip()))
    except ValueError:
        raise UsageError(f"--epics-interface {text}: give an IPv4 address of this computer, such as 192.168.1.20, "
                         f"or 0.0.0.0 for every interface") from None


def poll_period(text: str | None, polled: bool) -> float:
    if text is None:
        return 2.0
    if not polled:
        raise UsageError("--poll sets how often the EPICS readbacks and the panel are read: it needs --epics or "
                         "--http (SCPI alone polls nothing)")
    try:
        seconds = float(text)
    except ValueError:
        seconds = math.nan
    if not 0.05 <= seconds <= 86400:
        raise UsageError(f"--poll {text}: give seconds, 0.05 to 86400, such as --poll 2")
    return seconds


class Stamped(logging.Formatter):
    """Each line with its local time to the millisecond and the offset from UTC."""

    def formatTime(self, record: logging.LogRecord, datefmt: str | None = None) -> str:
        from datetime import datetime

        return datetime.fromtimestamp(record.created).astimezone().isoformat(timespec="milliseconds")


def run(session: Any) -> None:
    args = session.args
    if args.scpi is None and args.epics is None and args.http is None:
        raise UsageError("give --scpi [HOST:]PORT, --epics PREFIX, --http [HOST:]PORT, or several "
                         "(tolvan serve --help has examples)")
    if args.http_read_only and args.http is None:
        raise UsageError("--http-read-only serves the panel without controls: it needs --http [HOST:]PORT")
    scpi = scpi_address(args.scpi) if args.scpi is not None else None
    http = scpi_address(args.http, "--http") if args.http is not None else None
    allowed = networks(args.allow)
    poll = poll_period(args.poll, args.epics is not None or http is not None)
    interface = epics_interface(args.epics_interface, args.epics is not None)
    channels = args.channels
    if not channels.isdigit() or not 1 <= int(channels) <= 255:
        raise UsageError(f"--channels {channels}: give how many channels the instrument has, 1 to 255")
    from tolvan_serve.service import Config, ServeError, check_prefix, run as serve

    if args.epics is not None:
        import importlib.util

        why = check_prefix(args.epics)
        if why:
            raise UsageError(f"--epics {args.epics}: {why}")
        if importlib.util.find_spec("softioc") is None:
            raise UsageError("--epics needs pythonSoftIOC, which is not installed: pip install 'tolvan[epics]'")
    if http is not None:
        try:
            import aiohttp  # noqa: F401
        except ImportError:
            raise UsageError("--http needs aiohttp, which is not installed: pip install 'tolvan[web]' "
                             "(in a checkout: pip install '.[web]')") from None

    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(Stamped(f"%(asctime)s {PROG}: %(message)s"))
    server_log = logging.getLogger("tolvan_serve")
    server_log.addHandler(handler)
    server_log.setLevel(logging.INFO)
    server_log.propagate = False
    if args.trace:  # every frame, as the layer logs it (its message holds the time)
        frames = logging.getLogger("tolvan_lab.frames")
        frames.addHandler(handler)
        frames.setLevel(logging.DEBUG)

    port = session.port_name()
    config = Config(port, channels=int(channels), scpi=scpi, epics=args.epics, poll=poll, http=http,
                    http_read_only=args.http_read_only, epics_interface=interface)
    if allowed is not None:
        config.allow = allowed
    session.doc = {"port": port, "scpi": None, "epics": args.epics, "http": None}
    config.ready = lambda served: session.doc.update(served)
    try:
        session.doc["stopped_by"] = serve(config)
    except ServeError as error:
        raise Failed(str(error)) from None
