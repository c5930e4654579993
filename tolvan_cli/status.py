"""tolvan status [--ch N]: one channel's selected wavelength, attenuation and connection."""

from __future__ import annotations

from typing import Any

from tolvan_lab import Attenuator, NoReply

from tolvan_cli.session import Session
from tolvan_cli.values import db_text


def read_channel(session: Session, att: Attenuator, ch: int) -> dict[str, Any]:
    """{"channel", "wavelengths_nm", "wavelength_nm", "attenuation_db", "connected"}, null where no reply came.

    Each command without a reply is reported as a problem (exit status 1).
    """
    channel = att[ch]
    try:
        listed: list[int] | None = list(channel.wavelengths)
    except NoReply as error:
        session.problem(error)
        listed = None
    try:
        if listed is not None:
            status = channel.status()
            nm, attenuation, connected = status.wavelength_nm, status.attenuation_db, status.connected
        else:  # the status read alone: the attenuation, but no wavelength to name its position
            nm, attenuation = None, channel.attenuation
            connected = attenuation is not None
    except NoReply as error:
        session.problem(error)
        nm = attenuation = connected = None
    return {"channel": ch, "wavelengths_nm": listed, "wavelength_nm": nm, "attenuation_db": attenuation,
            "connected": connected}


def describe(state: dict[str, Any]) -> tuple[str, str, str]:
    """The selected wavelength, the attenuation and the connection, as the text output shows them."""
    nm = state["wavelength_nm"]
    connected = {True: "connected", False: "disconnected", None: "-"}[state["connected"]]
    return ("-" if nm is None else f"{nm} nm"), db_text(state["attenuation_db"]), connected


def run(session: Session) -> None:
    ch = session.args.ch
    state = read_channel(session, session.instrument(), ch)
    session.doc = {key: value for key, value in state.items() if key != "wavelengths_nm"}
    shown = [part for part in describe(state) if part != "-"]
    if shown:  # what did come, as `info` shows it (the status is 1 when a reply was missing)
        session.say(f"channel {ch}: " + ", ".join(shown))
