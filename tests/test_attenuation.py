"""set_attenuation and clear_attenuation: frames, unit conversion, results."""

import pytest

from conftest import FakePort, frame
from tolvan import TOLVAN


@pytest.mark.parametrize(
    "args, sent",
    [
        ((1100, 1), "7B 01 07 14 3C 6E 00 BF 7D"),
        ((1100, 2), "7B 02 07 14 3C 6E 00 BE 7D"),
        ((1234,), "7B 01 07 14 3C 7B 00 B2 7D"),
        ((1239,), "7B 01 07 14 3C 7B 00 B2 7D"),   # truncated, not rounded
        ((0, 3), "7B 03 07 14 3C 00 00 2B 7D"),
        ((655350,), "7B 01 07 14 3C FF FF 2F 7D"),
        ((9,), "7B 01 07 14 3C 00 00 2D 7D"),
        ((-5,), "7B 01 07 14 3C 00 00 2D 7D"),     # toward zero
    ],
)
def test_set_attenuation_frames(driver, args, sent):
    driver.ser.replies = [frame("7B 7D")]
    assert driver.set_attenuation(*args) is True
    assert driver.ser.written == [frame(sent)]


@pytest.mark.parametrize(
    "attenuation, ch, template",
    [
        (-15, 1, [123, 1, 7, 20, 60, 0xFF, -1, 0x2F, 125]),
        (655360, 1, [123, 1, 7, 20, 60, 0, 256, 0x2D, 125]),
        (1100, 300, [123, 300, 7, 20, 60, 110, 0, (-(123 + 300 + 7 + 20 + 60 + 110)) & 0xFF, 125]),
        (10**30, 1, [123, 1, 7, 20, 60, int(10**30 / 10) & 0xFF, int(10**30 / 10) >> 8, None, 125]),
    ],
)
def test_out_of_range_values_reach_the_port_which_refuses_them(driver, attenuation, ch, template):
    with pytest.raises(ValueError, match="bytes must be in range"):
        driver.set_attenuation(attenuation, ch)
    held = TOLVAN._TOLVAN__CMD_SET_ATTENUATION
    if template[7] is None:
        template[7] = (-sum(template[:7])) & 0xFF
    assert held == template
    assert driver.ser.written == []


def test_values_too_large_for_a_float_raise_overflow(driver):
    with pytest.raises(OverflowError):
        driver.set_attenuation(10**400)
    assert driver.ser.written == []


def test_default_channel_is_written_every_time(driver):
    driver.ser.replies = [None, None]
    driver.set_attenuation(1100, 2)
    assert driver.set_attenuation(500) is False
    assert driver.ser.written[1] == frame("7B 01 07 14 3C 32 00 FB 7D")


@pytest.mark.parametrize("ch, sent", [(1, "7B 01 07 14 34 00 00 35 7D"), (2, "7B 02 07 14 34 00 00 34 7D")])
def test_clear_attenuation_frames(driver, ch, sent):
    driver.ser.replies = [frame("7B 00 00 7D")]
    assert driver.clear_attenuation(ch=ch) is True
    assert driver.ser.written == [frame(sent)]


def test_templates_keep_the_last_call_and_each_command_touches_only_its_own(driver):
    driver.ser.replies = [None, None]
    driver.set_attenuation(1100, 2)
    assert TOLVAN._TOLVAN__CMD_SET_ATTENUATION == [123, 2, 7, 20, 60, 110, 0, 190, 125]
    driver.clear_attenuation(3)
    assert TOLVAN._TOLVAN__CMD_SET_ATTENUATION == [123, 2, 7, 20, 60, 110, 0, 190, 125]
    assert TOLVAN._TOLVAN__CMD_CLEAR_ATTENUATION == [123, 3, 7, 20, 52, 0, 0, 51, 125]
    assert TOLVAN._TOLVAN__CMD_DIS_CONNECT == [123, 1, 7, 20, 52, 255, 255, 55, 125]


@pytest.mark.parametrize("reply, result", [(None, False), (frame("7B"), False), (frame("7D"), False),
                                           (frame("7B 7D"), True), (frame("7B 00 00 7D"), True)])
def test_results_follow_the_reply_framing(driver, reply, result):
    driver.ser.replies = [reply, reply]
    assert driver.set_attenuation(1100) is result
    assert driver.clear_attenuation() is result


def test_without_an_open_port_the_template_is_filled_before_the_error():
    tl = TOLVAN("COM3")
    with pytest.raises(AttributeError):
        tl.set_attenuation(1100, 2)
    assert TOLVAN._TOLVAN__CMD_SET_ATTENUATION == [123, 2, 7, 20, 60, 110, 0, 190, 125]
    with pytest.raises(AttributeError):
        tl.clear_attenuation(4)
    assert TOLVAN._TOLVAN__CMD_CLEAR_ATTENUATION == [123, 4, 7, 20, 52, 0, 0, 50, 125]


def test_write_errors_reach_the_caller(driver):
    class Closed(FakePort):
        def write(self, data):
            raise OSError("port closed")

    driver.ser = Closed()
    with pytest.raises(OSError, match="port closed"):
        driver.set_attenuation(1100)


class StoreLog(list):
    """A template that records each store into it, in order. Being no exact list, it is refused by
    the checksum that follows the stores, so that nothing reaches the port."""

    def __setitem__(self, index, value):
        self.stores.append(index)
        super().__setitem__(index, value)


@pytest.mark.parametrize("name, call, order", [
    ("_TOLVAN__CMD_SET_ATTENUATION", lambda tl: tl.set_attenuation(1100, 2), [5, 6, 1]),  # payload, then channel
    ("_TOLVAN__CMD_CLEAR_ATTENUATION", lambda tl: tl.clear_attenuation(2), [1]),
    ("_TOLVAN__CMD_SET_OPTICAL_LEN", lambda tl: tl.set_optical_length(1490, 4), [1, 5]),  # channel, then position
])
def test_each_command_stores_its_fields_in_the_template_in_order(driver, name, call, order):
    template = StoreLog(getattr(TOLVAN, name))
    template.stores = []
    setattr(driver, name, template)  # the template is looked up through the instance
    driver.read_optical_length = lambda ch=1: [1310, 1490]
    with pytest.raises(TypeError):
        call(driver)
    assert template.stores == order
    assert driver.ser.written == []
