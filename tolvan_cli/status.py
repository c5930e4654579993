"""tolvan status [--ch N]: one channel's selected wavelength, attenuation and connection."""

from __future__ import annotations

from typing import Any

from tolvan_cli.session import Session
from tolvan_cli.values import DISCONNECTED_MDB, db, db_text


def read_channel(session: Session, tl: Any, ch: int) -> dict[str, Any]:
    """{"channel", "wavelengths_nm", "wavelength_nm", "attenuation_db", "connected"}, null where no reply came.

    Each command without a reply is reported as a problem (exit status 1).
    """
    wavelengths = tl.read_optical_length(ch)
    if wavelengths is None:
        session.problem(f"read_optical_length(ch={ch})")
    status = tl.read_current_status(ch)
    if status is None:
        session.problem(f"read_current_status(ch={ch})")
        return {"channel": ch, "wavelengths_nm": wavelengths, "wavelength_nm": None,
                "attenuation_db": None, "connected": None}
    index, attenuation = status["optical_length_index"], status["attenuation"]
    connected = attenuation != DISCONNECTED_MDB
    return {"channel": ch, "wavelengths_nm": wavelengths,
            "wavelength_nm": wavelengths[index] if wavelengths and 0 <= index < len(wavelengths) else None,
            "attenuation_db": db(attenuation) if connected else None, "connected": connected}


def describe(state: dict[str, Any]) -> tuple[str, str, str]:
    """The selected wavelength, the attenuation and the connection, as the text output shows them."""
    nm = state["wavelength_nm"]
    connected = {True: "connected", False: "disconnected", None: "-"}[state["connected"]]
    attenuation = "-" if state["attenuation_db"] is None else db_text(round(state["attenuation_db"] * 1000))
    return ("-" if nm is None else f"{nm} nm"), attenuation, connected


def run(session: Session) -> None:
    ch = session.args.ch
    state = read_channel(session, session.driver(), ch)
    session.doc = {key: value for key, value in state.items() if key != "wavelengths_nm"}
    shown = [part for part in describe(state) if part != "-"]
    if shown:  # what did come, as `info` shows it (the status is 1 when a reply was missing)
        session.say(f"channel {ch}: " + ", ".join(shown))
