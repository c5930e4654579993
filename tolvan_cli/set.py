"""tolvan set VALUE [--ch N]: set a channel's attenuation."""

from __future__ import annotations

from tolvan_cli.session import Session
from tolvan_cli.values import db, db_text


def run(session: Session) -> None:
    ch, value = session.args.ch, session.args.value
    tl = session.driver()
    session.doc = {"channel": ch, "attenuation_db": db(value)}
    session.action(ch, f"set_attenuation({value}, ch={ch})", f"setting {db_text(value)}",
                   f"attenuation set to {db_text(value)}", tl.set_attenuation, value, ch)
