"""tolvan info [--channels LIST]: the version, and per channel its wavelengths and state."""

from __future__ import annotations

from tolvan_cli.session import Session
from tolvan_cli.status import describe, read_channel


def run(session: Session) -> None:
    tl = session.driver()
    version = tl.read_device_version()
    session.doc = {"version": version, "channels": []}
    if version is None:
        session.problem("read_device_version()")
        session.say(f"instrument on {tl.port}: no reply to the version request")
    else:
        session.say(f"instrument on {tl.port}: module version {version['module_version']}, "
                    f"hardware {version['hard_version']}, software {version['soft_version']}")
    rows = [("channel", "wavelengths (nm)", "selected", "attenuation", "connected")]
    for ch in session.args.channels:
        state = read_channel(session, tl, ch)
        session.doc["channels"].append(state)
        listed = state["wavelengths_nm"]
        rows.append((str(ch), "-" if listed is None else " ".join(map(str, listed)) or "(none)", *describe(state)))
    session.table(rows)
