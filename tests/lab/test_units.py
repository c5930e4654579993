"""The one number rule (tolvan_lab.units), in memory: which values are attenuations the instrument
takes, whatever their type, and which are refused, with the instrument's reason."""

import time
from decimal import Decimal

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tolvan_lab import units


@settings(max_examples=500, deadline=None, database=None)
@given(st.one_of(st.integers(-10, 70000), st.decimals(-1, 700, places=3),
                 st.fractions(-1, 700, max_denominator=1000)))
def test_exact_attenuation_values_the_instrument_takes(value):
    from fractions import Fraction

    whole = Fraction(value) * 100
    if value < 0 or whole.denominator != 1 or whole > 65534:
        with pytest.raises(ValueError, match=r"0 to 655\.34 dB in steps of 0\.01 dB"):
            units.steps(value)
    else:
        assert units.steps(value) == whole


@settings(max_examples=500, deadline=None, database=None)
@given(st.integers(0, 65534), st.integers(-9, 9), st.sampled_from([1, 3, 7]))
def test_float_attenuation_values_mean_the_nearest_step_only_when_they_are_one(count, tenths, scale):
    """Float noise (0.07 arrives as 0.07000000000000001; 3 * 0.1 as 0.30000000000000004) means the
    step; a float a tenth of a step or more away from every step is refused."""
    noisy = count / (100 * scale) * scale
    assert units.steps(noisy) == count and units.db(count) == count / 100
    off = (count * 10 + tenths) / 1000
    if tenths and 0 <= off:
        with pytest.raises(ValueError, match="finer than the instrument's step|at or above 655.35"):
            units.steps(off)


@pytest.mark.parametrize(("value", "error"), [
    (True, TypeError), (None, TypeError), ("3.5", TypeError), ([1], TypeError),
    (float("nan"), ValueError), (float("inf"), ValueError), (Decimal("NaN"), ValueError), (Decimal("sNaN"), ValueError),
    # judged at once, and named in a message of a few dozen characters: no 10**99999999 is ever built,
    # and an int of more digits than str() takes still gets the instrument's reason
    (Decimal("1E+99999999"), ValueError), (Decimal("-1E+99999999"), ValueError),
    (10**5000, ValueError), (-(10**5000), ValueError), (10**400, ValueError),
], ids=lambda value: f"int({value.bit_length()} bits)" if type(value) is int else repr(value)[:24])

def test_what_is_no_attenuation(value, error):
    began = time.monotonic()
    with pytest.raises(error, match=r"0 to 655\.34 dB in steps of 0\.01 dB\)$") as refused:
        units.steps(value)
    assert time.monotonic() - began < 0.5 and len(str(refused.value)) < 200


def test_a_value_too_small_to_tell_from_0_db_is_0_db_at_once():
    began = time.monotonic()
    assert units.steps(Decimal("1E-99999999")) == units.steps(1e-300) == 0
    assert time.monotonic() - began < 0.5


@st.composite
def numeric_texts(draw):
    """A number as a client writes it: a step, or near one (within the slack, at its edge, or
    beyond), or anything of up to 12 digits, with an exponent of up to 400 either way."""
    if draw(st.booleans()):
        off = draw(st.integers(-9, 9)) * Decimal(10) ** -draw(st.integers(3, 12))
        return str(Decimal(draw(st.integers(0, 65536))) / 100 + off)
    sign = draw(st.sampled_from(["", "", "-"]))
    digits = draw(st.text("0123456789", min_size=1, max_size=12))
    point = draw(st.integers(0, len(digits)))
    text = f"{digits[:point] or '0'}.{digits[point:] or '0'}"
    if draw(st.booleans()):
        text += f"e{draw(st.integers(-400, 400))}"
    return sign + text


def _outcome(value):
    try:
        return units.steps(value)
    except ValueError as refused:
        return str(refused).split(" dB is ", 1)[1]  # the reason, without the value as its type writes it


@settings(max_examples=1000, deadline=None, database=None)
@given(numeric_texts())
def test_one_number_one_outcome_whatever_its_type(text):
    from fractions import Fraction

    exact = Fraction(text)
    # A float overflows to infinity above 1.8e308 (not a number, rather than too high): left out there.
    assert _outcome(Decimal(text)) == _outcome(Fraction(text)) == (_outcome(float(text)) if abs(exact) < 10**308
                                                                     else _outcome(Decimal(text)))


def test_numpy_integers_are_ints():
    numpy = pytest.importorskip("numpy")
    assert units.steps(numpy.int64(3)) == 300 and units.steps(numpy.uint8(200)) == 20000
    with pytest.raises(TypeError, match="an int, float, Decimal or Fraction"):  # its float32 would carry noise
        units.steps(numpy.float32(0.07))
