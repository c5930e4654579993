"""read_optical_length and set_optical_length."""

import pytest

from conftest import frame
from tolvan import TOLVAN

LIST_1310_1490_1535 = frame("7B 02 0C 07 2E 03 1E 05 D2 05 FF 05 00 7D")
ACK = frame("7B 02 05 14 3A 00 7D")


@pytest.mark.parametrize(
    "reply, result",
    [
        (LIST_1310_1490_1535, [1310, 1490, 1535]),
        (frame("7B 01 06 07 2E 00 00 7D"), []),                       # N = 0
        (frame("7B 01 06 07 2E 01 FF FF 00 7D"), [65535]),
        (frame("7B 01 06 07 2E 02 1E 05 00 7D"), None),               # announces one pair more than it carries
        (frame("7B 01 06 07 2E 03 1E 05 00 7D"), None),               # two more
        (frame("7B 01 06 07 2E 01 1E 05 AA BB 00 7D"), [1310]),       # bytes after the pairs are not examined
        (frame("7B 01 06 07 2E 00 7D"), None),                        # too short for the count and checksum
        (frame("7B 7D"), None),
        (frame("7B"), None),
        (None, None),
    ],
)
def test_list_reply_decoding(driver, reply, result):
    driver.ser.replies = [reply]
    assert driver.read_optical_length() == result


def test_list_request_carries_the_channel(driver):
    driver.ser.replies = [None, None]
    driver.read_optical_length(2)
    driver.read_optical_length()
    assert driver.ser.written == [frame("7B 02 05 07 2E 49 7D"), frame("7B 01 05 07 2E 4A 7D")]
    assert TOLVAN._TOLVAN__CMD_READ_OPTICAL_LEN == [123, 1, 5, 7, 46, 74, 125]


def test_selection_uses_the_list_of_the_channel_it_selects_on(driver, pauses):
    driver.ser.replies = [LIST_1310_1490_1535, ACK]
    assert driver.set_optical_length(1490, 2) is True
    assert driver.ser.written == [frame("7B 02 05 07 2E 49 7D"), frame("7B 02 06 14 3A 01 2E 7D")]
    assert pauses == [0.2, 0.2]
    assert TOLVAN._TOLVAN__CMD_SET_OPTICAL_LEN == [123, 2, 6, 20, 58, 1, 46, 125]


def test_selection_sends_the_first_position_of_a_repeated_wavelength(driver):
    driver.ser.replies = [frame("7B 01 0C 07 2E 03 1E 05 D2 05 D2 05 00 7D"), ACK]
    assert driver.set_optical_length(1490) is True
    assert driver.ser.written[1] == frame("7B 01 06 14 3A 01 2F 7D")


def test_selection_result_follows_the_framing_of_its_reply(driver):
    driver.ser.replies = [LIST_1310_1490_1535, frame("7B")]
    assert driver.set_optical_length(1310, 2) is False
    driver.ser.replies = [LIST_1310_1490_1535, frame("7B FF FF 7D")]
    assert driver.set_optical_length(1535, 2) is True
    assert driver.ser.written[-1] == frame("7B 02 06 14 3A 02 2D 7D")


def test_unsupported_wavelength_raises_value_error_and_sends_no_selection(driver):
    driver.ser.replies = [LIST_1310_1490_1535]
    with pytest.raises(ValueError) as raised:
        driver.set_optical_length(1550)
    assert str(raised.value) == "the length: 1550 no supported yet!"
    assert driver.ser.written == [frame("7B 01 05 07 2E 4A 7D")]


@pytest.mark.parametrize("list_reply", [None, frame("7B 01 06 07 2E 00 00 7D"), frame("7B 7D")])
def test_unreadable_or_empty_list_raises_runtime_error(driver, list_reply):
    driver.ser.replies = [list_reply]
    with pytest.raises(RuntimeError, match="^device read failed! Please check your connection!$"):
        driver.set_optical_length(1310, 3)
    assert len(driver.ser.written) == 1


def test_selection_goes_through_the_instance_lookup(driver):
    seen = []
    driver.read_optical_length = lambda ch=1: seen.append(ch) or [1550, 1310]
    driver.ser.replies = [ACK]
    assert driver.set_optical_length(1310, 4) is True
    assert seen == [4]
    assert driver.ser.written == [frame("7B 04 06 14 3A 01 2C 7D")]


def test_a_negative_count_in_a_list_reply_announces_no_wavelengths(driver):
    reply = [0x7B, 1, 6, 7, 0x2E, -1, 0x1E, 0x05, 0, 0x7D]   # a port that hands over ints, not bytes
    driver.ser.read = lambda size: reply
    driver.ser.inWaiting = reply.__len__
    assert driver.read_optical_length() == []


def test_selection_stores_the_channel_before_looking_up_the_position(driver):
    class Unindexable(list):
        def index(self, value):
            raise LookupError(value)

    driver.read_optical_length = lambda ch=1: Unindexable([1310, 1490])
    with pytest.raises(LookupError):
        driver.set_optical_length(1490, 4)
    assert TOLVAN._TOLVAN__CMD_SET_OPTICAL_LEN == [123, 4, 6, 20, 58, 1, 47, 125]
    assert driver.ser.written == []
