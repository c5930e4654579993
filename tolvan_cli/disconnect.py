"""tolvan disconnect [--ch N]: disconnect a channel."""

from __future__ import annotations

from tolvan_cli.session import Session


def run(session: Session) -> None:
    ch = session.args.ch
    tl = session.driver()
    session.action(ch, f"dis_connection(ch={ch})", "disconnecting it", "disconnected", tl.dis_connection, ch)
