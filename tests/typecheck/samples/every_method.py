"""Calls every method of TOLVAN the way a user would; mypy --strict must accept it.

assert_type pins the result types that a type checker sees after installing
the package, so a stub that loosens one (say to Any) fails here.
"""

from typing import TYPE_CHECKING, assert_type

import tolvan
from tolvan import TOLVAN

if TYPE_CHECKING:
    from tolvan import ChannelStatus, DeviceVersion


def exercise(port: str) -> None:
    tl = TOLVAN(port)
    tl = TOLVAN(serial_port=port)
    assert_type(tl.port, str)
    assert_type(tl.check_port_available(), bool)
    if not tl.open():
        return

    version = tl.read_device_version()
    assert_type(version, "DeviceVersion | None")
    if version is not None:
        numbers: tuple[int, int, int] = (
            version["module_version"],
            version["hard_version"],
            version["soft_version"],
        )
        print(numbers)

    wavelengths = tl.read_optical_length()
    assert_type(wavelengths, list[int] | None)
    assert_type(tl.read_optical_length(2), list[int] | None)
    assert_type(tl.read_optical_length(ch=2), list[int] | None)
    if wavelengths:
        assert_type(tl.set_optical_length(wavelengths[0]), bool)
        assert_type(tl.set_optical_length(wavelengths[-1], 2), bool)
        assert_type(tl.set_optical_length(length=1310, ch=2), bool)

    status = tl.read_current_status(ch=2)
    assert_type(status, "ChannelStatus | None")
    assert_type(tl.read_current_status(), "ChannelStatus | None")
    if status is not None:
        db: float = status["attenuation"] / 1000
        index: int = status["optical_length_index"]
        mode: int = status["dev_work_mode"]
        print(db, index, mode)

    assert_type(tl.set_attenuation(1100), bool)
    assert_type(tl.set_attenuation(1100, 2), bool)
    assert_type(tl.set_attenuation(attenuation=2500, ch=3), bool)
    assert_type(tl.clear_attenuation(), bool)
    assert_type(tl.clear_attenuation(ch=2), bool)
    assert_type(tl.close_full_screen(), bool)
    assert_type(tl.dis_connection(), bool)
    assert_type(tl.dis_connection(2), bool)

    # The class-private helpers are reachable under their stored names.
    frame = [0x7B, 0x01, 0x05, 0x00, 0x03, 0x00, 0x7D]
    assert_type(tl._TOLVAN__cal_crc(frame), None)
    assert_type(tl._TOLVAN__check_crc(frame), bool)
    assert_type(tl._TOLVAN__read(), bytes | None)
    assert_type(tl._TOLVAN__write_and_read(bytes(frame)), None)
    assert_type(TOLVAN._TOLVAN__CMD_SET_ATTENUATION, list[int])

    tl.ser.reset_input_buffer()
    assert_type(tl.close(), None)

    # The module globals that the methods look up at each call.
    print(tolvan.time.monotonic(), tolvan.platform.system(), tolvan.subprocess.PIPE)
    print(tolvan.serial.SerialException)
