"""Type information for the extension module `tolvan`.

Parameters are plain ints, but the module refuses subclasses of int at run
time (a bool for `ch` raises TypeError), which no type checker can express.
"""

import platform as platform
import subprocess as subprocess
import time as time
from typing import ClassVar, TypedDict, type_check_only

import serial as serial

@type_check_only
class DeviceVersion(TypedDict):
    """Result of `TOLVAN.read_device_version`: three byte values, no scaling."""

    module_version: int
    hard_version: int
    soft_version: int

@type_check_only
class ChannelStatus(TypedDict):
    """Result of `TOLVAN.read_current_status`."""

    dev_work_mode: int
    # 0-based position in the list that read_optical_length returns.
    optical_length_index: int
    # In mdB, a multiple of 10 (the instrument counts 0.01 dB steps).
    attenuation: int

class TOLVAN:
    # Request frame templates: one int per byte, shared by every instance and
    # filled in place by the commands.
    _TOLVAN__CMD_READ_DEV_VER: ClassVar[list[int]]
    _TOLVAN__CMD_READ_OPTICAL_LEN: ClassVar[list[int]]
    _TOLVAN__CMD_READ_CURRENT_STATUS: ClassVar[list[int]]
    _TOLVAN__CMD_CLOSE_FULLSCREEN: ClassVar[list[int]]
    _TOLVAN__CMD_SET_OPTICAL_LEN: ClassVar[list[int]]
    _TOLVAN__CMD_SET_ATTENUATION: ClassVar[list[int]]
    _TOLVAN__CMD_CLEAR_ATTENUATION: ClassVar[list[int]]
    _TOLVAN__CMD_DIS_CONNECT: ClassVar[list[int]]

    port: str
    # Set by open() once the port has opened; absent before that.
    ser: serial.Serial

    def __init__(self, serial_port: str) -> None: ...
    def _TOLVAN__check_crc(self, data: list[int]) -> bool: ...
    def _TOLVAN__cal_crc(self, data: list[int]) -> None: ...
    def _TOLVAN__read(self) -> bytes | None: ...
    def _TOLVAN__write_and_read(self, cmd: bytes) -> None: ...
    def read_device_version(self) -> DeviceVersion | None: ...
    def read_optical_length(self, ch: int = 1) -> list[int] | None: ...
    def set_optical_length(self, length: int, ch: int = 1) -> bool: ...
    def read_current_status(self, ch: int = 1) -> ChannelStatus | None: ...
    def close_full_screen(self) -> bool: ...
    def set_attenuation(self, attenuation: int, ch: int = 1) -> bool: ...
    def clear_attenuation(self, ch: int = 1) -> bool: ...
    def dis_connection(self, ch: int = 1) -> bool: ...
    def check_port_available(self) -> bool: ...
    def open(self) -> bool: ...
    def close(self) -> None: ...
