"""read_device_version: the three version numbers from an exactly 10-byte reply."""

import pytest

from conftest import frame

REQUEST = frame("7B 01 05 00 03 7C 7D")


@pytest.mark.parametrize(
    "reply, result",
    [
        (frame("7B 01 05 00 03 02 32 20 00 7D"), {"module_version": 2, "hard_version": 50, "soft_version": 32}),
        (frame("7B FF FF FF FF 00 FF 07 AA 7D"), {"module_version": 0, "hard_version": 255, "soft_version": 7}),
        (frame("7B 01 05 00 03 02 32 20 00 00 7D"), None),   # 11 bytes
        (frame("7B 01 05 00 03 02 32 20 7D"), None),         # 9 bytes
        (frame("7C 01 05 00 03 02 32 20 00 7D"), None),
        (frame("7B 01 05 00 03 02 32 20 00 7C"), None),
        (None, None),
    ],
)
def test_reply_decoding(driver, reply, result):
    driver.ser.replies = [reply]
    decoded = driver.read_device_version()
    assert decoded == result
    if result is not None:
        assert list(decoded) == ["module_version", "hard_version", "soft_version"]
    assert driver.ser.written == [REQUEST]


def test_always_sends_the_fixed_frame(driver):
    driver.ser.replies = [None, None, None]
    driver.read_current_status(3)
    driver.set_attenuation(1100, 2)
    driver.read_device_version()
    assert driver.ser.written[-1] == REQUEST


def test_partial_reply_fails_and_its_rest_is_read_next(driver):
    whole = frame("7B 01 05 00 03 02 32 20 00 7D")
    driver.ser.replies = [whole[:6]]
    assert driver.read_device_version() is None
    driver.ser.replies = [whole[6:]]        # the rest arrives after the first read
    assert driver.read_device_version() is None
    driver.ser.replies = [whole]
    assert driver.read_device_version() == {"module_version": 2, "hard_version": 50, "soft_version": 32}
