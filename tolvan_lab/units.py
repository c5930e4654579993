"""Attenuation in dB as the instrument holds it: an unsigned 16-bit count of 0.01 dB steps.

The top count, 0xFFFF (655.35 dB), is what the disconnect command leaves: a channel
reading it is disconnected, so it is never set as an attenuation.
"""

from __future__ import annotations

import math
import numbers
import operator
from decimal import Decimal
from fractions import Fraction

STEPS_PER_DB = 100
DISCONNECTED_STEPS = 0xFFFF
MAX_STEPS = DISCONNECTED_STEPS - 1
MAX_DB = MAX_STEPS / STEPS_PER_DB  # 655.34
MDB_PER_STEP = 10  # the driver takes and gives attenuation in mdB
ACCEPTED = "0 to 655.34 dB in steps of 0.01 dB"

# How far a value may lie from a whole 0.01 dB step and still mean it, whatever its type: 0.07
# arrives as 0.07000000000000001, and arange/linspace grids carry such noise; a value meant finer
# than the step (3.1415) is far beyond it.
SLACK_STEPS = Fraction(1, 10**6)
# A Decimal this small lies within the slack of 0 dB: judged so without building 10**-exponent.
_NEGLIGIBLE_EXPONENT = -12


def steps(db: float | int | Decimal | Fraction) -> int:
    """The count of 0.01 dB steps for an attenuation in dB; ValueError for what the instrument
    cannot hold (negative, finer than 0.01 dB, 655.35 dB or more), TypeError for what is no number.

    One rule for every type: a value is judged by its exact decimal value (a float by the
    shortest decimal that gives it back, as repr() writes it), and means a step when it lies
    within SLACK_STEPS of it. So 1e-300 and -1e-300 mean 0 dB as a float, a Decimal or a
    Fraction alike.
    Integers of other types (numpy's) count as ints. The range is judged before any exact
    arithmetic, so that Decimal('1E-99999999') or 10**5000 is refused or taken at once."""
    if isinstance(db, bool) or not isinstance(db, (int, float, Decimal, Fraction, numbers.Integral)):
        raise TypeError(f"an attenuation is a number of dB, not {type(db).__name__} (an int, float, Decimal or "
                        f"Fraction: {ACCEPTED})")
    if not isinstance(db, (int, float, Decimal, Fraction)):
        db = operator.index(db)  # numpy.int64 and the like
    if isinstance(db, float) and not math.isfinite(db):
        raise ValueError(f"attenuation {db!r} dB is not a number the instrument can hold ({ACCEPTED})")
    if isinstance(db, Decimal) and not db.is_finite():
        raise ValueError(f"attenuation {db} dB is not a number the instrument can hold ({ACCEPTED})")
    if db < -1:
        raise _negative(db)
    if db >= (_DISCONNECTED_DB if isinstance(db, Decimal) else _DISCONNECTED_FRACTION):
        raise _above(db)
    scaled = _exactly(db) * STEPS_PER_DB
    count = round(scaled)
    if count < 0 or scaled < -SLACK_STEPS:  # a float's -1e-17 is the noise of 0 dB, as its 1e-17 is
        raise _negative(db)
    if abs(scaled - count) > SLACK_STEPS:
        raise ValueError(f"attenuation {_said(db)} dB is finer than the instrument's step of 0.01 dB ({ACCEPTED})")
    if count > MAX_STEPS:
        raise _above(db)
    return int(count)


def _exactly(db: float | int | Decimal | Fraction) -> Fraction:
    """The exact value of `db`, known to lie in -1 to 655.35: a float's as repr() writes it."""
    if isinstance(db, float):
        db = Decimal(float.__repr__(db))  # numpy's float64 included, whose own repr names its type
    if isinstance(db, Decimal) and db and db.adjusted() < _NEGLIGIBLE_EXPONENT:
        return Fraction(0)
    return Fraction(db)


_DISCONNECTED_DB = Decimal(DISCONNECTED_STEPS) / STEPS_PER_DB  # 655.35, exactly
_DISCONNECTED_FRACTION = Fraction(DISCONNECTED_STEPS, STEPS_PER_DB)


def _negative(db: float | int | Decimal | Fraction) -> ValueError:
    return ValueError(f"attenuation {_said(db)} dB is negative ({ACCEPTED})")


def nearest_step(db: float | int | Decimal | Fraction) -> float:
    """The attenuation the instrument holds nearest to `db`, in dB: 1.6666666666666667 -> 1.67
    (halves go to the even step). For a scan over points that need not fall on a step:
    `ch.attenuation = nearest_step(x)`.

    What `steps` takes is kept as it is; a value outside 0 to 655.34 dB, or no number, is
    refused as `steps` refuses it (ValueError, TypeError)."""
    try:
        return float(steps(db)) / STEPS_PER_DB
    except ValueError:
        where = _where(db)
        if where == "top":
            raise ValueError(f"attenuation {_said(db)} dB is above {MAX_DB} dB, the highest the instrument holds "
                             f"({ACCEPTED})") from None
        if where != "in range":
            raise
    # In range but between two steps: rounded at the scale of a step, so that neither a long
    # Decimal exponent nor a many-digit Fraction is expanded.
    if isinstance(db, Decimal):
        from decimal import ROUND_HALF_EVEN

        count = int((db * STEPS_PER_DB).to_integral_value(ROUND_HALF_EVEN))
    elif isinstance(db, Fraction):
        count = round(db * STEPS_PER_DB)
    else:
        count = round(float(db) * STEPS_PER_DB)
    return count / STEPS_PER_DB


def _where(db: object) -> str | None:
    """"in range" (0 to 655.34 dB), "top" (above that, below 655.35 dB), or None (negative, at or
    above 655.35 dB, or not comparable: NaN)."""
    try:
        if 0 <= db <= MAX_DB:  # type: ignore[operator]  # a number: steps checked its type
            return "in range"
        if MAX_DB < db < _DISCONNECTED_DB:  # type: ignore[operator]
            return "top"
    except ArithmeticError:  # Decimal's NaN refuses to be ordered
        pass
    return None


def _above(db: float | int | Decimal | Fraction) -> ValueError:
    return ValueError(f"attenuation {_said(db)} dB is at or above 655.35 dB, the value that marks a disconnected "
                      f"channel ({ACCEPTED})")


def _said(db: float | int | Decimal | Fraction) -> str:
    """The value as a message shows it: at most about 40 characters."""
    try:
        text = str(db)
    except ValueError:  # an int of more digits than Python converts to text
        return "(a number of more than 4300 digits)"
    return text if len(text) <= 40 else f"{text[:24]}...{text[-12:]} ({len(text)} characters)"


def db(step_count: int) -> float:
    """A count of 0.01 dB steps as dB: 350 -> 3.5 (the nearest float to the exact value)."""
    return step_count / STEPS_PER_DB
