"""`tolvan_lab.units.nearest_step`, which the adapters' scans set: the nearest 0.01 dB step for a
value in range, and the layer's refusal, at once, for one outside it."""

import time
from decimal import Decimal
from fractions import Fraction

import pytest

from tolvan_lab.units import nearest_step


def _shown(value):
    try:
        return repr(value)[:30]
    except ValueError:  # more digits than Python turns into text
        return f"{type(value).__name__} of many digits"


@pytest.mark.parametrize("asked, held", [
    (10 / 6, 1.67),                            # a point of np.linspace(0, 10, 7)
    (0.1 + 0.2, 0.3),                          # float noise: the step it stands for, not 0.30000000000000004
    (3.14159, 3.14),
    (0.125, 0.12),                             # a half: the even step
    (Decimal("2.675"), 2.68),
    (Fraction(1, 3), 0.33),
    (Decimal("1E-99999999"), 0.0),             # a long exponent, not expanded
    (Decimal("-1E-99999999"), 0.0),            # as tiny below 0: 0 dB, as the layer's rule takes it
    (Fraction(1, 10**5000), 0.0),
    (655.34, 655.34),
    (7, 7.0),
], ids=lambda value: _shown(value))
def test_a_value_in_range_becomes_its_nearest_step(asked, held):
    assert nearest_step(asked) == held


@pytest.mark.parametrize("asked, refused, said", [
    (-0.001, ValueError, "negative"),
    (655.345, ValueError, "above 655.34 dB"),  # its nearest step would be the disconnected mark
    (Decimal("655.3401"), ValueError, "above 655.34 dB"),
    (655.35, ValueError, "655.35"),
    (10**5000, ValueError, "655.35"),
    (Decimal("1E+99999999"), ValueError, "655.35"),
    (float("nan"), ValueError, "not a number"),
    (Decimal("NaN"), ValueError, "not a number"),
    (float("-inf"), ValueError, "not a number"),
    ("3", TypeError, "not str"),
    (True, TypeError, "not bool"),
], ids=lambda value: _shown(value))
def test_a_value_out_of_range_is_refused_at_once(asked, refused, said):
    began = time.monotonic()
    with pytest.raises(refused, match=said):
        nearest_step(asked)
    assert time.monotonic() - began < 1  # no arithmetic on the value's digits
