"""read_current_status: work mode, selected position and attenuation in mdB."""

import pytest

from conftest import frame
from tolvan import TOLVAN


@pytest.mark.parametrize(
    "reply, result",
    [
        (frame("7B 01 0A 14 36 00 AA 01 6E 00 00 7D"), {"dev_work_mode": 0, "optical_length_index": 1,
                                                         "attenuation": 1100}),
        (frame("7B 01 0A 14 36 00 00 02 FF FF 00 7D"), {"dev_work_mode": 0, "optical_length_index": 2,
                                                         "attenuation": 655350}),
        (frame("7B 01 0A 14 36 03 00 00 00 00 00 7D"), {"dev_work_mode": 3, "optical_length_index": 0,
                                                         "attenuation": 0}),
        (frame("7B 01 0A 14 36 00 00 01 6E 00 00 00 00 7D"), {"dev_work_mode": 0, "optical_length_index": 1,
                                                               "attenuation": 1100}),   # longer is fine
        (frame("7B 01 0A 14 36 00 00 01 6E 7D"), None),    # 10 bytes: end byte would be the high byte
        (frame("7B 01 0A 14 36 00 00 01 6E 00 7D"), None),
        (frame("7B 7D"), None),
        (frame("7B"), None),
        (frame("00 01 0A 14 36 00 00 01 6E 00 00 7D"), None),
        (None, None),
    ],
)
def test_status_reply_decoding(driver, reply, result):
    driver.ser.replies = [reply]
    status = driver.read_current_status()
    assert status == result
    if status is not None:
        assert list(status) == ["dev_work_mode", "optical_length_index", "attenuation"]


def test_status_request_carries_the_channel_and_stays_in_the_shared_template(driver):
    driver.ser.replies = [None, None]
    driver.read_current_status(2)
    assert TOLVAN._TOLVAN__CMD_READ_CURRENT_STATUS == [123, 2, 5, 20, 54, 52, 125]
    assert TOLVAN("COM9")._TOLVAN__CMD_READ_CURRENT_STATUS == [123, 2, 5, 20, 54, 52, 125]
    driver.read_current_status()
    assert driver.ser.written == [frame("7B 02 05 14 36 34 7D"), frame("7B 01 05 14 36 35 7D")]
