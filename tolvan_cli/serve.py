"""tolvan serve: the instrument over SCPI (TCP), EPICS and a browser panel, in the foreground until SIGTERM or Ctrl-C."""

from __future__ import annotations

import logging
import sys
from typing import Any

from tolvan_cli.session import Failed, UsageError

PROG = "tolvan serve"


class Stamped(logging.Formatter):
    """Each line with its local time to the millisecond and the offset from UTC."""

    def formatTime(self, record: logging.LogRecord, datefmt: str | None = None) -> str:
        from datetime import datetime

        return datetime.fromtimestamp(record.created).astimezone().isoformat(timespec="milliseconds")


def run(session: Any) -> None:
    args = session.args  # each value already judged by tolvan_cli.values: here, which go together
    if args.scpi is None and args.epics is None and args.http is None:
        raise UsageError("give --scpi [HOST:]PORT, --epics PREFIX, --http [HOST:]PORT, or several "
                         "(tolvan serve --help has examples)")
    if args.http_read_only and args.http is None:
        raise UsageError("--http-read-only serves the panel without controls: it needs --http [HOST:]PORT")
    if args.poll is not None and args.epics is None and args.http is None:
        raise UsageError("--poll sets how often the EPICS readbacks and the panel are read: it needs --epics or "
                         "--http (SCPI alone polls nothing)")
    if args.epics_interface is not None and args.epics is None:
        raise UsageError("--epics-interface sets where the EPICS records are served: it needs --epics")
    if args.retries:
        raise UsageError("--retries is for the other commands: the server sends each client's request once and "
                         "tells the client when no reply came, so that the client decides whether to send it again")
    from tolvan_serve.service import Config, ServeError, check_prefix, run as serve

    if args.epics is not None:
        import importlib.util

        why = check_prefix(args.epics)
        if why:
            raise UsageError(f"--epics {args.epics}: {why}")
        if importlib.util.find_spec("softioc") is None:
            raise UsageError("--epics needs pythonSoftIOC, which is not installed: "
                             "pip install '.[epics]' in a checkout of tolvan, pip install 'tolvan[epics]' from a release")
    if args.http is not None:
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
    config = Config(port, channels=args.channels, scpi=args.scpi, epics=args.epics, http=args.http,
                    http_read_only=args.http_read_only)
    if args.epics_interface is not None:
        config.epics_interface = args.epics_interface
    if args.poll is not None:
        config.poll = args.poll
    if args.allow:
        config.allow = tuple(args.allow)
    session.doc = {"port": port, "scpi": None, "epics": args.epics, "http": None}
    config.ready = lambda served: session.doc.update(served)
    try:
        session.doc["stopped_by"] = serve(config)
    except ServeError as error:
        raise Failed(str(error)) from None
