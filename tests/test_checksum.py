"""The frame checksum: minus the sum of all elements but the last two, as one byte."""

import pytest

from conftest import TEMPLATE_NAMES
from tolvan import TOLVAN


@pytest.fixture
def tl():
    return TOLVAN("COM3")


@pytest.mark.parametrize(
    "frame, checksum",
    [
        ([0x7B, 0x01, 0x05, 0x00, 0x03, 0xEE, 0x7D], 0x7C),
        ([0x7B, 0x01, 0xFF, 0xFF, 0x00, 0x7D], 0x86),   # sum above one byte
        ([0x100, 0x55, 0x7D], 0x00),                     # out-of-range elements count in full
        ([-1, 0x55, 0x7D], 0x01),
        ([10**30, 0, 0], (-(10**30)) % 256),
        ([5, 9, 7], 251),                                # (-a) mod 256 goes to index 1
        ([5, 9], 0),                                     # nothing covered
    ],
)
def test_cal_crc_stores_the_checksum_in_place(tl, frame, checksum):
    expected = frame[:-2] + [checksum, frame[-1]]
    assert tl._TOLVAN__cal_crc(frame) is None
    assert frame == expected
    tl._TOLVAN__cal_crc(frame)                           # idempotent: covered elements untouched
    assert frame == expected
    assert tl._TOLVAN__check_crc(frame) is True


def test_check_crc_compares_only_the_checksum_element(tl):
    assert tl._TOLVAN__check_crc([0x7B, 0x01, 0x05, 0x00, 0x03, 0x7C, 0x7D]) is True
    assert tl._TOLVAN__check_crc([0x7B, 0x01, 0x05, 0x00, 0x03, 0x7C, 0x00]) is True   # end byte not covered
    assert tl._TOLVAN__check_crc([0x7B, 0x01, 0x05, 0x00, 0x03, 0x7D, 0x7D]) is False
    assert tl._TOLVAN__check_crc([0, 0x55]) is True
    assert tl._TOLVAN__check_crc([3, 0x55]) is False


def test_every_stored_template_already_holds_its_checksum(tl):
    for name in TEMPLATE_NAMES:
        template = getattr(TOLVAN, name)
        before = list(template)
        assert tl._TOLVAN__check_crc(template) is True
        tl._TOLVAN__cal_crc(template)
        assert template == before, name


@pytest.mark.parametrize(
    "frame, error",
    [
        ([1, "x", 0, 0], TypeError),     # cannot be added
        ([1, None, 0, 0], TypeError),
        ([1.5, 2.0, 0, 0], TypeError),   # adds up, but ~ is not defined for floats
        ([7], IndexError),               # no checksum element
        ([], IndexError),
    ],
)
def test_bad_frames_raise_and_stay_unchanged(tl, frame, error):
    before = list(frame)
    with pytest.raises(error):
        tl._TOLVAN__cal_crc(frame)
    with pytest.raises(error):
        tl._TOLVAN__check_crc(frame)
    assert frame == before


def test_elements_with_their_own_arithmetic_are_summed_as_python_does(tl):
    class Byte(int):
        def __radd__(self, other):
            return int(other) + int(self) + 1   # a deliberately odd sum

    frame = [Byte(1), Byte(2), 0, 0x7D]
    tl._TOLVAN__cal_crc(frame)
    assert frame[2] == (-(0 + 1 + 1 + 2 + 1)) & 0xFF
