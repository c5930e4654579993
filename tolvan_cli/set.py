"""tolvan set VALUE [--ch N]: set a channel's attenuation."""

from __future__ import annotations

from tolvan_lab.units import db

from tolvan_cli.session import Session
from tolvan_cli.values import db_text


def run(session: Session) -> None:
    ch, count = session.args.ch, session.args.value
    channel = session.instrument()[ch]
    session.doc = {"channel": ch, "attenuation_db": db(count), "ok": False}

    def set_it() -> None:
        channel.attenuation = db(count)

    session.change(ch, f"setting {db_text(count)}", f"attenuation set to {db_text(count)}", set_it)
    session.doc["ok"] = True
    session.say(f"channel {ch}: attenuation set to {db_text(count)}")
