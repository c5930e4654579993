"""A lab script on tolvan_lab, as a user writes it: passes mypy --strict."""

from tolvan_lab import Attenuator, ChannelStatus, NoReply, Version


def sweep(port: str) -> list[ChannelStatus]:
    seen: list[ChannelStatus] = []
    with Attenuator(port, channels=2, retries=1) as att:
        version: Version = att.version
        print(version.module, att.channels, len(att))
        ch = att[2]
        ch.wavelength = ch.wavelengths[-1]
        for db in (0, 0.5, 1.25):
            ch.attenuation = db
            seen.append(ch.status())
        reading: float | None = ch.attenuation
        if reading is not None:
            print(reading + 1.0)
        try:
            ch.disconnect()
        except NoReply as missed:
            print(missed.port, missed.command)
        connected: bool = ch.connected
        print(connected)
    return seen
