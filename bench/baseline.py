"""A plain-Python driver with the behaviour of the native `tolvan.TOLVAN`.

Written only as the yardstick for bench/run.py: the same frames, the same
pause, the same reply tests and results (including the minimum reply sizes of
the queries and the channel's own list in set_optical_length), so that the
benchmark compares the cost of the two implementations and nothing else. The
argument checks are those of the native methods: exact types, refused before
anything is sent.
"""

import platform
import subprocess
import time

import serial


def _wrong_type(name, value, expected):
    return TypeError(f"Argument '{name}' has incorrect type (expected {expected}, got {type(value).__name__})")


class PlainTOLVAN:
    __CMD_READ_DEV_VER = [0x7B, 0x01, 0x05, 0x00, 0x03, 0x7C, 0x7D]
    __CMD_READ_OPTICAL_LEN = [0x7B, 0x01, 0x05, 0x07, 0x2E, 0x4A, 0x7D]
    __CMD_READ_CURRENT_STATUS = [0x7B, 0x01, 0x05, 0x14, 0x36, 0x35, 0x7D]
    __CMD_CLOSE_FULLSCREEN = [0x7B, 0x01, 0x05, 0x00, 0x05, 0x7A, 0x7D]
    __CMD_SET_OPTICAL_LEN = [0x7B, 0x01, 0x06, 0x14, 0x3A, 0x01, 0x2F, 0x7D]
    __CMD_SET_ATTENUATION = [0x7B, 0x01, 0x07, 0x14, 0x3C, 0xF4, 0x01, 0x38, 0x7D]
    __CMD_CLEAR_ATTENUATION = [0x7B, 0x01, 0x07, 0x14, 0x34, 0x00, 0x00, 0x35, 0x7D]
    __CMD_DIS_CONNECT = [0x7B, 0x01, 0x07, 0x14, 0x34, 0xFF, 0xFF, 0x37, 0x7D]

    def __init__(self, serial_port: str):
        if type(serial_port) is not str:
            raise _wrong_type("serial_port", serial_port, "str")
        self.port = serial_port

    def __check_crc(self, data: list) -> bool:
        if type(data) is not list:
            raise _wrong_type("data", data, "list")
        return data[-2] == (~sum(data[:-2]) + 1) & 0xFF

    def __cal_crc(self, data: list) -> None:
        if type(data) is not list:
            raise _wrong_type("data", data, "list")
        data[-2] = (~sum(data[:-2]) + 1) & 0xFF

    def __read(self):
        buf_len = self.ser.inWaiting()
        if buf_len > 0:
            return self.ser.read(buf_len)
        return None

    def __write_and_read(self, cmd: bytes):
        if type(cmd) is not bytes:
            raise _wrong_type("cmd", cmd, "bytes")
        return None

    # Each command written out in full, as a plain driver would be: fill, checksum, write,
    # pause, read, framing test, decode.

    def read_device_version(self):
        self.ser.write(self.__CMD_READ_DEV_VER)
        time.sleep(0.2)
        read_bytes = self.__read()
        buf = list(read_bytes) if read_bytes else None
        if buf and buf[0] == 123 and buf[-1] == 125 and len(buf) == 10:
            return {"module_version": buf[5], "hard_version": buf[6], "soft_version": buf[7]}
        return None

    def read_optical_length(self, ch: int = 1):
        if type(ch) is not int:
            raise _wrong_type("ch", ch, "int")
        self.__CMD_READ_OPTICAL_LEN[1] = ch
        self.__cal_crc(self.__CMD_READ_OPTICAL_LEN)
        self.ser.write(self.__CMD_READ_OPTICAL_LEN)
        time.sleep(0.2)
        read_bytes = self.__read()
        buf = list(read_bytes) if read_bytes else None
        if not (buf and buf[0] == 123 and buf[-1] == 125) or len(buf) < 8:
            return None
        count = buf[5]
        if len(buf) < 8 + 2 * count:
            return None
        return [buf[6 + i * 2] + (buf[7 + i * 2] << 8) for i in range(count)]

    def set_optical_length(self, length: int, ch: int = 1):
        if type(length) is not int:
            raise _wrong_type("length", length, "int")
        if type(ch) is not int:
            raise _wrong_type("ch", ch, "int")
        ch_optical_lengths = self.read_optical_length(ch)
        if not ch_optical_lengths:
            raise RuntimeError("device read failed! Please check your connection!")
        if length not in ch_optical_lengths:
            raise ValueError(f"the length: {length} no supported yet!")
        self.__CMD_SET_OPTICAL_LEN[1] = ch
        self.__CMD_SET_OPTICAL_LEN[5] = ch_optical_lengths.index(length)
        self.__cal_crc(self.__CMD_SET_OPTICAL_LEN)
        self.ser.write(self.__CMD_SET_OPTICAL_LEN)
        time.sleep(0.2)
        read_bytes = self.__read()
        buf = list(read_bytes) if read_bytes else None
        return bool(buf) and buf[0] == 123 and buf[-1] == 125

    def read_current_status(self, ch: int = 1):
        if type(ch) is not int:
            raise _wrong_type("ch", ch, "int")
        self.__CMD_READ_CURRENT_STATUS[1] = ch
        self.__cal_crc(self.__CMD_READ_CURRENT_STATUS)
        self.ser.write(self.__CMD_READ_CURRENT_STATUS)
        time.sleep(0.2)
        read_bytes = self.__read()
        buf = list(read_bytes) if read_bytes else None
        if buf and buf[0] == 123 and buf[-1] == 125 and len(buf) >= 12:
            return {
                "dev_work_mode": buf[5],
                "optical_length_index": buf[7],
                "attenuation": (buf[8] + (buf[9] << 8)) * 10,
            }
        return None

    def close_full_screen(self) -> bool:
        self.ser.write(self.__CMD_CLOSE_FULLSCREEN)
        time.sleep(0.2)
        read_bytes = self.__read()
        buf = list(read_bytes) if read_bytes else None
        return bool(buf) and buf[0] == 123 and buf[-1] == 125

    def set_attenuation(self, attenuation: int, ch: int = 1) -> bool:
        if type(attenuation) is not int:
            raise _wrong_type("attenuation", attenuation, "int")
        if type(ch) is not int:
            raise _wrong_type("ch", ch, "int")
        value = int(attenuation / 10)
        self.__CMD_SET_ATTENUATION[5] = value & 0xFF
        self.__CMD_SET_ATTENUATION[6] = value >> 8
        self.__CMD_SET_ATTENUATION[1] = ch
        self.__cal_crc(self.__CMD_SET_ATTENUATION)
        self.ser.write(self.__CMD_SET_ATTENUATION)
        time.sleep(0.2)
        read_bytes = self.__read()
        buf = list(read_bytes) if read_bytes else None
        return bool(buf) and buf[0] == 123 and buf[-1] == 125

    def clear_attenuation(self, ch: int = 1) -> bool:
        if type(ch) is not int:
            raise _wrong_type("ch", ch, "int")
        self.__CMD_CLEAR_ATTENUATION[1] = ch
        self.__cal_crc(self.__CMD_CLEAR_ATTENUATION)
        self.ser.write(self.__CMD_CLEAR_ATTENUATION)
        time.sleep(0.2)
        read_bytes = self.__read()
        buf = list(read_bytes) if read_bytes else None
        return bool(buf) and buf[0] == 123 and buf[-1] == 125

    def dis_connection(self, ch: int = 1):
        if type(ch) is not int:
            raise _wrong_type("ch", ch, "int")
        self.__CMD_DIS_CONNECT[1] = ch
        self.__cal_crc(self.__CMD_DIS_CONNECT)
        self.ser.write(self.__CMD_DIS_CONNECT)
        time.sleep(0.2)
        read_bytes = self.__read()
        buf = list(read_bytes) if read_bytes else None
        return bool(buf) and buf[0] == 123 and buf[-1] == 125

    def check_port_available(self) -> bool:
        if platform.system().lower() == "windows":
            try:
                ser = serial.Serial(self.port)
                ser.close()
                return True
            except serial.SerialException:
                return False
        try:
            result = subprocess.run(["lsof", self.port], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            return not result.stdout
        except Exception as e:
            print("检查端口时出错: " + str(e))
            return False

    def open(self) -> bool:
        try:
            if self.check_port_available():
                self.ser = serial.Serial(self.port, 115200, 8, "N", timeout=50, stopbits=1)
                return True
            print("serial port already opened!, Please close and try                       again!")
            return False
        except serial.SerialException as e:
            print("Cannot open serial port" + str(e))
            return False
        except Exception:
            return False

    def close(self):
        self.ser.close()
