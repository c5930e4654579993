"""What the command line accepts: attenuations in dB, channels, channel lists, seconds, retries, and
the server's listening addresses, networks, poll period and channel count. Each is an argparse type: the
rule once, the refusal in argparse's own form ("argument --ch: not a channel: ...", status 2).

An attenuation is read exactly, as a Decimal built from its digits (never through a float),
and judged by tolvan_lab.units.steps, the one rule of what the instrument takes; the result is
a count of 0.01 dB steps. The layer is imported when a value is read, not for --help.
"""

from __future__ import annotations

import argparse
import re

TYPE_CHECKING = False  # neither typing nor ipaddress is imported for --help
if TYPE_CHECKING:
    from ipaddress import IPv4Network, IPv6Network

MAX_CHANNEL = 255  # the channel is one byte of the request frame
# A dwell longer than a day is a typing slip (--dwell 1e10 is 317 years, and more than
# time.sleep can take): refused before anything is sent.
MAX_DWELL_S = 86400.0
# Each retry of a command that got no reply costs at least the instrument's 0.2 s pause.
MAX_RETRIES = 10
MIN_POLL_S = 0.05

FORMS = "written 3.5, 3.5dB or 3500mdB"
ACCEPTED = f"0 to 655.34 dB in steps of 0.01 dB, {FORMS}"
_NUMBER = re.compile(r"([+-]?)(\d*)(?:\.(\d*))?\s*(mdb|db)?", re.IGNORECASE | re.ASCII)
_LONGEST = 40  # characters: anything longer is no attenuation anyone means


def attenuation(text: str) -> int:
    """An attenuation, from 3.5, 3.5dB or 3500mdB, as a count of the instrument's 0.01 dB steps;
    what the instrument cannot hold is refused with the layer's own reason."""
    from decimal import Decimal

    from tolvan_lab import units

    match = _NUMBER.fullmatch(text.strip()) if len(text) <= _LONGEST else None
    if match is None or not (match[2] or match[3]):
        raise argparse.ArgumentTypeError(f"not an attenuation: {shorter(text)!r} (accepted: {ACCEPTED})")
    sign, whole, fraction, unit = match[1], match[2] or "0", match[3], (match[4] or "dB").lower()
    # Built from the digits as written, with the unit as an exponent: exact, whatever the length.
    value = Decimal(f"{sign}{whole}{'.' + fraction if fraction else ''}{'E-3' if unit == 'mdb' else ''}")
    try:
        return units.steps(value)
    except ValueError as error:
        raise argparse.ArgumentTypeError(f"{text!r}: {error}; {FORMS}") from None


def step(text: str) -> int:
    """A sweep's step, in 0.01 dB steps: 0.01 to 655.34 dB (its direction comes from --from and --to)."""
    try:
        count = attenuation(text)
    except argparse.ArgumentTypeError:
        count = 0
    if count == 0:
        raise argparse.ArgumentTypeError(f"not a step: {shorter(text)!r} (accepted: 0.01 to 655.34 dB in steps of "
                                         f"0.01 dB; the sweep runs downwards when --to is below --from)")
    return count


def channel(text: str) -> int:
    digits = text.strip()
    if not (digits.isascii() and digits.isdigit() and len(digits) <= 3 and 1 <= int(digits) <= MAX_CHANNEL):
        raise argparse.ArgumentTypeError(f"not a channel: {shorter(text)!r} (accepted: 1 to {MAX_CHANNEL})")
    return int(digits)


def channel_list(text: str) -> list[int]:
    """Channels from `1-4`, `1,3` or `1-2,4`, in the order given, each once."""
    found: list[int] = []
    for part in text.split(","):
        first, dash, last = part.partition("-")
        try:
            low = channel(first)
            high = channel(last) if dash else low
        except argparse.ArgumentTypeError:
            raise argparse.ArgumentTypeError(f"not a channel list: {shorter(text)!r} (accepted: channels 1 to "
                                             f"{MAX_CHANNEL}, such as 1-4 or 1,3)") from None
        if high < low:
            raise argparse.ArgumentTypeError(f"the range {part!r} runs backwards: write {high}-{low}")
        found += [ch for ch in range(low, high + 1) if ch not in found]
    return found


def wavelength(text: str) -> int:
    digits = text.strip()
    if not (digits.isascii() and digits.isdigit() and len(digits) <= 5 and 0 < int(digits) <= 0xFFFF):
        raise argparse.ArgumentTypeError(f"not a wavelength in nm: {shorter(text)!r} (such as 1550)")
    return int(digits)


def seconds(text: str) -> float:
    """A dwell: 0 to a day, in seconds."""
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not 0 <= value <= MAX_DWELL_S:  # NaN and inf fail this too
        raise argparse.ArgumentTypeError(f"not a dwell: {shorter(text)!r} (accepted: 0 to {MAX_DWELL_S:.0f} "
                                         f"seconds, a day)")
    return value


def retries(text: str) -> int:
    """How many more times a command that got no reply is sent: 0 to MAX_RETRIES."""
    digits = text.strip()
    if not (digits.isascii() and digits.isdigit() and len(digits) <= 2 and int(digits) <= MAX_RETRIES):
        raise argparse.ArgumentTypeError(f"not a count of retries: {shorter(text)!r} (accepted: 0 to {MAX_RETRIES})")
    return int(digits)


def listen_address(text: str) -> tuple[str, int]:
    """Where the server listens (SCPI, the panel): ("127.0.0.1", 5025) from 5025, HOST:5025 or [IPv6]:5025."""
    host, port = "127.0.0.1", text
    if text.startswith("["):
        host, bracket, port = text[1:].partition("]")
        if not bracket or not port.startswith(":"):
            raise argparse.ArgumentTypeError(f"{shorter(text)}: write an IPv6 address as [::1]:5025")
        port = port[1:]
    elif ":" in text:
        host, _, port = text.rpartition(":")
        if ":" in host:
            raise argparse.ArgumentTypeError(f"{shorter(text)}: write an IPv6 address in brackets, as [::1]:5025")
    if not (port.isascii() and port.isdigit() and len(port) <= 5 and int(port) <= 65535 and host):
        raise argparse.ArgumentTypeError(f"{shorter(text)}: give [HOST:]PORT, such as 5025 or 127.0.0.1:5025 "
                                         f"(port 0 to 65535)")
    return host, int(port)


def network(text: str) -> IPv4Network | IPv6Network:
    """An address or network that SCPI clients may come from: 10.0.0.7, 192.168.1.0/24, ::1."""
    import ipaddress

    try:
        return ipaddress.ip_network(text.strip(), strict=False)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{shorter(text)}: not an address or network, such as 192.168.1.0/24 "
                                         f"or 10.0.0.7") from None


def ipv4_interface(text: str) -> str:
    """An IPv4 address of this computer to serve EPICS on, or 0.0.0.0 for every interface."""
    import ipaddress

    try:
        return str(ipaddress.IPv4Address(text.strip()))
    except ValueError:
        raise argparse.ArgumentTypeError(f"{shorter(text)}: give an IPv4 address of this computer, such as "
                                         f"192.168.1.20, or 0.0.0.0 for every interface") from None

def poll_seconds(text: str) -> float:
    """The period in which the server reads every channel for EPICS: MIN_POLL_S to a day."""
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not MIN_POLL_S <= value <= MAX_DWELL_S:  # NaN and inf fail this too
        raise argparse.ArgumentTypeError(f"{shorter(text)}: give seconds, {MIN_POLL_S} to {MAX_DWELL_S:.0f}, "
                                         f"such as --poll 2")
    return value


def channel_count(text: str) -> int:
    """How many channels the instrument has, 1 to MAX_CHANNEL."""
    digits = text.strip()
    if not (digits.isascii() and digits.isdigit() and len(digits) <= 3 and 1 <= int(digits) <= MAX_CHANNEL):
        raise argparse.ArgumentTypeError(f"{shorter(text)}: give how many channels the instrument has, "
                                         f"1 to {MAX_CHANNEL}")
    return int(digits)


def shorter(text: str) -> str:
    return text if len(text) <= _LONGEST else text[:_LONGEST] + "..."


def decimals(value: int | float) -> str:
    """An attenuation with its two decimals exactly, from a count of steps (int) or dB (float): 3.25."""
    count = value if isinstance(value, int) else round(value * 100)
    return f"{count // 100}.{count % 100:02d}"


def db_text(value: int | float | None) -> str:
    """An attenuation for the text output: 3.25 dB ("-" for none)."""
    return "-" if value is None else f"{decimals(value)} dB"
