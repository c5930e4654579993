"""tolvan clear [--ch N]: clear a channel's attenuation."""

from __future__ import annotations

from tolvan_cli.session import Session


def run(session: Session) -> None:
    ch = session.args.ch
    tl = session.driver()
    session.action(ch, f"clear_attenuation(ch={ch})", "clearing it", "attenuation cleared", tl.clear_attenuation, ch)
