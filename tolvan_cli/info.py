"""tolvan info [--channels LIST]: the version, and per channel its wavelengths and state."""

from __future__ import annotations

from tolvan_lab import NoReply
from tolvan_lab.errors import shown

from tolvan_cli.session import Session
from tolvan_cli.status import describe, read_channel


def run(session: Session) -> None:
    att = session.instrument()
    session.doc = {"version": None, "channels": []}
    try:
        version = att.version
    except NoReply as error:
        session.problem(error)
        session.say(f"instrument on {shown(att.port)}: no reply to the version request")
    else:
        session.doc["version"] = {"module_version": version.module, "hard_version": version.hardware,
                                  "soft_version": version.software}
        session.say(f"instrument on {shown(att.port)}: module version {version.module}, "
                    f"hardware {version.hardware}, software {version.software}")
    rows = [("channel", "wavelengths (nm)", "selected", "attenuation", "connected")]
    for ch in session.args.channels:
        state = read_channel(session, att, ch)
        session.doc["channels"].append(state)
        listed = state["wavelengths_nm"]
        rows.append((str(ch), "-" if listed is None else " ".join(map(str, listed)) or "(none)", *describe(state)))
    session.table(rows)
