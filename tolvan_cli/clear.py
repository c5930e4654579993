"""tolvan clear [--ch N]: clear a channel's attenuation."""

from __future__ import annotations

from tolvan_cli.session import Session


def run(session: Session) -> None:
    ch = session.args.ch
    channel = session.instrument()[ch]
    session.doc = {"channel": ch, "ok": False}
    session.change(ch, "clearing it", "attenuation cleared", channel.clear)
    session.doc["ok"] = True
    session.say(f"channel {ch}: attenuation cleared")
