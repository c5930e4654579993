"""tolvan wavelength NM [--ch N]: select one of a channel's supported wavelengths."""

from __future__ import annotations

from tolvan_cli.session import Session, UsageError


def run(session: Session) -> None:
    ch, nm = session.args.ch, session.args.nm
    channel = session.instrument()[ch]
    session.doc = {"channel": ch, "wavelength_nm": nm, "ok": False}
    try:
        channel.wavelength = nm  # reads the channel's list first: one it lacks is refused, naming those it has
    except ValueError as error:
        raise UsageError(str(error)) from None
    session.doc["ok"] = True
    session.say(f"channel {ch}: wavelength {nm} nm selected")
