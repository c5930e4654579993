"""close_full_screen and dis_connection."""

import pytest

from conftest import frame
from tolvan import TOLVAN


def test_close_full_screen_sends_its_fixed_frame_whatever_came_before(driver):
    driver.ser.replies = [None, frame("7B 01 05 00 05 7A 7D")]
    driver.dis_connection(3)
    assert driver.close_full_screen() is True
    assert driver.ser.written[-1] == frame("7B 01 05 00 05 7A 7D")
    assert TOLVAN._TOLVAN__CMD_CLOSE_FULLSCREEN == [123, 1, 5, 0, 5, 122, 125]


@pytest.mark.parametrize(
    "args, kwargs, sent",
    [
        ((), {}, "7B 01 07 14 34 FF FF 37 7D"),
        ((1,), {}, "7B 01 07 14 34 FF FF 37 7D"),
        ((), {"ch": 2}, "7B 02 07 14 34 FF FF 36 7D"),
        ((3,), {}, "7B 03 07 14 34 FF FF 35 7D"),
    ],
)
def test_dis_connection_frames(driver, args, kwargs, sent):
    driver.ser.replies = [frame("7B 7D")]
    assert driver.dis_connection(*args, **kwargs) is True
    assert driver.ser.written == [frame(sent)]


def test_dis_connection_leaves_its_channel_in_its_own_template_only(driver):
    driver.ser.replies = [None]
    assert driver.dis_connection(ch=2) is False
    assert TOLVAN._TOLVAN__CMD_DIS_CONNECT == [123, 2, 7, 20, 52, 255, 255, 54, 125]
    assert TOLVAN._TOLVAN__CMD_CLEAR_ATTENUATION == [123, 1, 7, 20, 52, 0, 0, 53, 125]


@pytest.mark.parametrize("reply", [None, frame("7B"), frame("7D")])
def test_unframed_replies_give_false(driver, reply):
    driver.ser.replies = [reply, reply]
    assert driver.close_full_screen() is False
    assert driver.dis_connection() is False
