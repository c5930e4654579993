"""tolvan disconnect [--ch N]: disconnect a channel."""

from __future__ import annotations

from tolvan_cli.session import Session


def run(session: Session) -> None:
    ch = session.args.ch
    channel = session.instrument()[ch]
    session.doc = {"channel": ch, "ok": False}
    session.change(ch, "disconnecting it", "disconnected", channel.disconnect)
    session.doc["ok"] = True
    session.say(f"channel {ch}: disconnected")
