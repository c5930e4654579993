"""tolvan wavelength NM [--ch N]: select one of a channel's supported wavelengths."""

from __future__ import annotations

from tolvan_cli.session import Failed, Session, UsageError


def run(session: Session) -> None:
    ch, nm = session.args.ch, session.args.nm
    tl = session.driver()
    session.doc = {"channel": ch, "wavelength_nm": nm, "ok": False}
    try:
        # The driver reads the channel's list, then selects the position of NM in it.
        session.doc["ok"] = tl.set_optical_length(nm, ch)
    except ValueError:
        supported = tl.read_optical_length(ch)  # asked again, to name them
        listed = (f"it supports {', '.join(map(str, supported))}" if supported else
                  f"`tolvan info --channels {ch}` lists those it supports (no reply when asked again)")
        raise UsageError(f"channel {ch} does not support {nm} nm; {listed}") from None
    except RuntimeError:
        raise Failed(f"channel {ch} listed no wavelengths: no reply to read_optical_length(ch={ch}), or an empty "
                     f"list, on {tl.port}; see Troubleshooting in the tolvan README") from None
    if not session.doc["ok"]:
        raise Failed(session.no_reply(f"set_optical_length({nm}, ch={ch})"))
    session.say(f"channel {ch}: wavelength {nm} nm selected")
