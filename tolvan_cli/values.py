"""What the command line accepts: attenuations in dB, channels, channel lists.

Plain string and integer arithmetic (no decimal, no float): the instrument's
step is 0.01 dB, and a value finer than that must be refused, not rounded.
"""

from __future__ import annotations

import argparse
import re

# The instrument holds an unsigned 16-bit count of 0.01 dB steps; its top value,
# 655.35 dB (0xFFFF), is what the disconnect command sets: a channel reading it is
# disconnected, so it cannot be set as an attenuation.
STEP_MDB = 10
DISCONNECTED_MDB = 0xFFFF * STEP_MDB
MAX_CHANNEL = 255  # the channel is one byte of the request frame

ACCEPTED = "0 to 655.34 dB in steps of 0.01 dB, written 3.5, 3.5dB or 3500mdB"
_NUMBER = re.compile(r"([+-]?)(\d*)(?:\.(\d*))?\s*(mdb|db)?", re.IGNORECASE)


def mdb(text: str) -> int:
    """An attenuation as the driver takes it, in mdB, from 3.5, 3.5dB or 3500mdB; refuses what the instrument cannot hold."""
    match = _NUMBER.fullmatch(text.strip())
    if match is None or not (match[2] or match[3]):
        raise argparse.ArgumentTypeError(f"not an attenuation: {text!r} (accepted: {ACCEPTED})")
    sign, whole, fraction, unit = match[1], match[2] or "0", match[3] or "", (match[4] or "dB").lower()
    scaled: int = int(whole + fraction) * (1 if unit == "mdb" else 1000)
    value, remainder = divmod(scaled, int(10 ** len(fraction)))
    if sign == "-" and (value or remainder):
        raise argparse.ArgumentTypeError(f"negative attenuation {text!r} (accepted: {ACCEPTED})")
    if remainder or value % STEP_MDB:
        raise argparse.ArgumentTypeError(f"{text!r} is finer than the instrument's step of 0.01 dB "
                                         f"(accepted: {ACCEPTED})")
    if value >= DISCONNECTED_MDB:
        raise argparse.ArgumentTypeError(f"{text!r} is at or above 655.35 dB, the value that marks a "
                                         f"disconnected channel (accepted: {ACCEPTED})")
    return value


def positive_mdb(text: str) -> int:
    """A sweep's step: 0.01 to 655.34 dB (its direction comes from --from and --to)."""
    try:
        value = mdb(text)
    except argparse.ArgumentTypeError:
        value = 0
    if value == 0:
        raise argparse.ArgumentTypeError(f"not a step: {text!r} (accepted: 0.01 to 655.34 dB in steps of 0.01 dB; "
                                         f"the sweep runs downwards when --to is below --from)")
    return value


def channel(text: str) -> int:
    if not text.strip().isdigit() or not 1 <= int(text) <= MAX_CHANNEL:
        raise argparse.ArgumentTypeError(f"not a channel: {text!r} (accepted: 1 to {MAX_CHANNEL})")
    return int(text)


def channel_list(text: str) -> list[int]:
    """Channels from `1-4`, `1,3` or `1-2,4`, in the order given, each once."""
    found: list[int] = []
    for part in text.split(","):
        first, dash, last = part.partition("-")
        try:
            low = channel(first)
            high = channel(last) if dash else low
        except argparse.ArgumentTypeError:
            raise argparse.ArgumentTypeError(
                f"not a channel list: {text!r} (accepted: channels 1 to {MAX_CHANNEL}, such as 1-4 or 1,3)") from None
        if high < low:
            raise argparse.ArgumentTypeError(f"the range {part!r} runs backwards: write {high}-{low}")
        found += [ch for ch in range(low, high + 1) if ch not in found]
    return found


def wavelength(text: str) -> int:
    if not text.strip().isdigit() or not 0 < int(text) <= 0xFFFF:
        raise argparse.ArgumentTypeError(f"not a wavelength in nm: {text!r} (such as 1550)")
    return int(text)


def seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not 0 <= value < float("inf"):
        raise argparse.ArgumentTypeError(f"not a number of seconds (0 or more): {text!r}")
    return value


def db(value_mdb: int | None) -> float | None:
    """mdB as dB for the JSON documents: 3500 -> 3.5 (exact: the values are whole 0.01 dB steps)."""
    return None if value_mdb is None else round(value_mdb / 1000, 2)


def db_text(value_mdb: int | None) -> str:
    return "-" if value_mdb is None else f"{value_mdb / 1000:.2f} dB"
