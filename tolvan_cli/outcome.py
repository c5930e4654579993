"""One command word run to its end, whatever happens in it: the exit status, the message on
standard error, and with --json the one document on standard output.

The command works with Ctrl-C, SIGTERM and SIGHUP armed (tolvan_cli.stops); its clean-up and
its report run disarmed, so that every way out closes the port and leaves one document.
"""

from __future__ import annotations

import argparse
import importlib
from typing import Any, TextIO

from tolvan_lab.errors import InstrumentError, NoReply, PortUnavailable

from tolvan_cli import stops
from tolvan_cli.failures import (FAILED, OK, PORT, PROG, USAGE, Failed, OutputFailed, PortError, UsageError, silence,
                                 warn)


def run(args: argparse.Namespace, out: TextIO | None, module: str) -> int:
    session: Any = None
    status, error = OK, None
    try:
        try:
            try:
                from tolvan_cli.session import Session

                session = Session(args, out)
                importlib.import_module(f"tolvan_cli.{module}").run(session)
            finally:
                try:
                    stops.disarm()
                finally:
                    if session is not None:
                        session.close()
            if session.problems:
                status, error = FAILED, session.problems_message()
        except UsageError as usage:
            warn(f"{PROG} {args.command}: error: {usage}")
            return USAGE  # nothing on standard output, as for argparse's own usage errors
        except Failed as failure:
            status, error = FAILED, f"{failure}{left_note(session)}"
        except PortError as port_error:
            status, error = PORT, str(port_error)
        except OutputFailed as failed:
            status = FAILED
            error = (f"stopped, {failed}" if failed.closed else str(failed)) + f"; {closed_and_left(session)}"
        except (NoReply, PortUnavailable) as lost:  # no reply, or the port failed in use (the layer closed it)
            status, error = FAILED, f"{lost}{left_note(session, always=isinstance(lost, PortUnavailable))}"
        except InstrumentError as refused:
            status, error = FAILED, f"{refused}{left_note(session)}"
        except (KeyboardInterrupt, stops.Terminated) as stop:
            status, error = stops.status(stop), f"interrupted; {closed_and_left(session)}"
        except Exception as bug:  # a fault of this program: its traceback, and still one document with --json
            import traceback

            traceback.print_exc()
            status, error = FAILED, f"unexpected {type(bug).__name__}: {bug}; {closed_and_left(session)}"
        return report(args, out, session, status, error)
    except (KeyboardInterrupt, stops.Terminated) as stop:  # asked again and again to stop: stop now
        return stops.status(stop) if status == OK else status
    finally:
        stops.finish()  # the outcome is told: nothing may interrupt the exit and tell another


def report(args: argparse.Namespace, out: TextIO | None, session: Any, status: int, error: str | None) -> int:
    """The message on standard error and, with --json, the document on standard output."""
    stops.told = True
    if error is not None:
        warn(f"{PROG} {args.command}: {error}")
    if not args.json:
        return status
    import json

    doc = {} if session is None else session.doc
    if error is not None:
        doc = {"error": error, args.command: doc} if isinstance(doc, list) else {**doc, "error": error}
    try:
        if out is None:  # started with standard output closed (`>&-`): as a reader that has gone
            raise BrokenPipeError
        out.write(json.dumps(doc) + "\n")
        out.flush()
    except (OSError, ValueError) as failed:
        silence(out)
        why = ("standard output was closed" if isinstance(failed, BrokenPipeError) else
               f"{failed.strerror if isinstance(failed, OSError) and failed.strerror else failed}")
        warn(f"{PROG} {args.command}: cannot write the JSON document: {why}; {closed_and_left(session)}")
        return status or FAILED
    return status


def closed_and_left(session: Any) -> str:
    """`port closed; channel 1 attenuation left at 2.00 dB`, or what little is known."""
    if session is None:
        return "nothing was sent to the instrument"
    return f"{'port closed; ' if session.opened else ''}{session.where_left()}"


def left_note(session: Any, always: bool = False) -> str:
    """Where the attenuation was left, after a failure, for a command that changes it."""
    if session is None or not (always or session.changes()):
        return ""
    return f"; {session.where_left()}"
