"""The driver's device commands written as plain Python: what the module must do with whatever
a port, a caller's override or a template hands it.

The hostile-object checks run each scenario through the module and through this class and
compare what happens. Being written in Python, it indexes, compares and computes exactly as
the language does, whatever the objects do in their special methods. Like the module, it
finds the pause through a module global, `time`, which the checks set.
"""

time = None


def _exact_list(data):
    if type(data) is not list:
        raise TypeError(f"Argument 'data' has incorrect type (expected list, got {type(data).__name__})")


def _framed_reply(self):
    """The pause, the read and the framing test after a request was written: buf, or None."""
    time.sleep(0.2)
    read_bytes = self._TOLVAN__read()
    buf = list(read_bytes) if read_bytes else None
    if buf is not None and len(buf) != 0 and buf[0] == 123 and buf[-1] == 125:
        return buf
    return None


def _send(self, template, fields):
    """Stores the fields in the template in the order given, checksums it and writes it."""
    for index, value in fields:
        template[index] = value
    self._TOLVAN__cal_crc(template)
    self.ser.write(template)


class TOLVAN:
    __CMD_READ_DEV_VER = [123, 1, 5, 0, 3, 124, 125]
    __CMD_READ_OPTICAL_LEN = [123, 1, 5, 7, 46, 74, 125]
    __CMD_READ_CURRENT_STATUS = [123, 1, 5, 20, 54, 53, 125]
    __CMD_CLOSE_FULLSCREEN = [123, 1, 5, 0, 5, 122, 125]
    __CMD_SET_OPTICAL_LEN = [123, 1, 6, 20, 58, 1, 47, 125]
    __CMD_SET_ATTENUATION = [123, 1, 7, 20, 60, 244, 1, 56, 125]
    __CMD_CLEAR_ATTENUATION = [123, 1, 7, 20, 52, 0, 0, 53, 125]
    __CMD_DIS_CONNECT = [123, 1, 7, 20, 52, 255, 255, 55, 125]

    def __init__(self, serial_port):
        self.port = serial_port

    def __check_crc(self, data):
        _exact_list(data)
        checksum = (~sum(data[:-2]) + 1) & 0xFF
        return data[-2] == checksum

    def __cal_crc(self, data):
        _exact_list(data)
        data[-2] = (~sum(data[:-2]) + 1) & 0xFF

    def __read(self):
        buf_len = self.ser.inWaiting()
        if buf_len > 0:
            return self.ser.read(buf_len)
        return None

    def read_device_version(self):
        self.ser.write(self.__CMD_READ_DEV_VER)
        buf = _framed_reply(self)
        result = {}
        if buf is not None and len(buf) == 10:
            result["module_version"] = buf[5]
            result["hard_version"] = buf[6]
            result["soft_version"] = buf[7]
            return result
        return None

    def read_optical_length(self, ch=1):
        _send(self, self.__CMD_READ_OPTICAL_LEN, [(1, ch)])
        buf = _framed_reply(self)
        if buf is None or len(buf) < 8:
            return None
        count = buf[5]
        if len(buf) < 8 + 2 * count:
            return None
        lengths = [0] * count
        for i in range(count):
            lengths[i] = buf[6 + i * 2] + (buf[7 + i * 2] << 8)
        return lengths

    def set_optical_length(self, length, ch=1):
        ch_optical_lengths = self.read_optical_length(ch)
        if not ch_optical_lengths:
            raise RuntimeError("device read failed! Please check your connection!")
        if length not in ch_optical_lengths:
            raise ValueError("the length: " + str(length) + " no supported yet!")
        template = self.__CMD_SET_OPTICAL_LEN
        template[1] = ch
        _send(self, template, [(5, ch_optical_lengths.index(length))])
        return _framed_reply(self) is not None

    def read_current_status(self, ch=1):
        _send(self, self.__CMD_READ_CURRENT_STATUS, [(1, ch)])
        buf = _framed_reply(self)
        result = {}
        if buf is None or len(buf) < 12:
            return None
        result["dev_work_mode"] = buf[5]
        result["optical_length_index"] = buf[7]
        result["attenuation"] = (buf[8] + (buf[9] << 8)) * 10
        return result

    def close_full_screen(self):
        self.ser.write(self.__CMD_CLOSE_FULLSCREEN)
        return _framed_reply(self) is not None

    def set_attenuation(self, attenuation, ch=1):
        steps = int(attenuation / 10)
        _send(self, self.__CMD_SET_ATTENUATION, [(5, steps & 0xFF), (6, steps >> 8), (1, ch)])
        return _framed_reply(self) is not None

    def clear_attenuation(self, ch=1):
        _send(self, self.__CMD_CLEAR_ATTENUATION, [(1, ch)])
        return _framed_reply(self) is not None

    def dis_connection(self, ch=1):
        _send(self, self.__CMD_DIS_CONNECT, [(1, ch)])
        return _framed_reply(self) is not None
