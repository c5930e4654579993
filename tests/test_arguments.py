"""The argument rules every method follows: exact types, counts including self, keyword errors."""

import pytest

from tolvan import TOLVAN


def type_error(message):
    return pytest.raises(TypeError, match="^" + __import__("re").escape(message) + "$")


class IntSubclass(int):
    pass


class StrSubclass(str):
    pass


def test_constructor_takes_exactly_a_str(driver):
    assert TOLVAN("COM3").port == "COM3"
    assert TOLVAN(serial_port="COM3").port == "COM3"
    with type_error("__init__() takes exactly 2 positional arguments (1 given)"):
        TOLVAN()
    for wrong, type_name in [(b"COM3", "bytes"), (None, "NoneType"), (StrSubclass("COM3"), "StrSubclass")]:
        with type_error(f"Argument 'serial_port' has incorrect type (expected str, got {type_name})"):
            TOLVAN(wrong)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda tl: tl.read_optical_length(True), "Argument 'ch' has incorrect type (expected int, got bool)"),
        (lambda tl: tl.read_current_status(ch=None), "Argument 'ch' has incorrect type (expected int, got NoneType)"),
        (lambda tl: tl.dis_connection(2.0), "Argument 'ch' has incorrect type (expected int, got float)"),
        (lambda tl: tl.clear_attenuation(IntSubclass(2)),
         "Argument 'ch' has incorrect type (expected int, got IntSubclass)"),
        (lambda tl: tl.set_attenuation(1100.0),
         "Argument 'attenuation' has incorrect type (expected int, got float)"),
        (lambda tl: tl.set_attenuation(1100, True), "Argument 'ch' has incorrect type (expected int, got bool)"),
        (lambda tl: tl.set_attenuation(1100.0, True),
         "Argument 'attenuation' has incorrect type (expected int, got float)"),
        (lambda tl: tl.set_optical_length(1310.0), "Argument 'length' has incorrect type (expected int, got float)"),
        (lambda tl: tl.set_optical_length(ch="1", length=1310),
         "Argument 'ch' has incorrect type (expected int, got str)"),
        (lambda tl: tl._TOLVAN__cal_crc((1, 2, 3)), "Argument 'data' has incorrect type (expected list, got tuple)"),
        (lambda tl: tl._TOLVAN__check_crc(bytearray(3)),
         "Argument 'data' has incorrect type (expected list, got bytearray)"),
        (lambda tl: tl._TOLVAN__write_and_read([1]), "Argument 'cmd' has incorrect type (expected bytes, got list)"),
    ],
)
def test_wrong_types_are_refused_before_anything_is_sent(driver, call, message):
    before = {name: list(getattr(TOLVAN, name)) for name in vars(TOLVAN) if name.startswith("_TOLVAN__CMD")}
    with type_error(message):
        call(driver)
    assert driver.ser.written == []
    assert {name: list(getattr(TOLVAN, name)) for name in before} == before


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda tl: tl.read_device_version(1), "read_device_version() takes exactly 1 positional argument (2 given)"),
        (lambda tl: tl.close_full_screen(1), "close_full_screen() takes exactly 1 positional argument (2 given)"),
        (lambda tl: tl.read_optical_length(1, 2), "read_optical_length() takes at most 2 positional arguments (3 given)"),
        (lambda tl: tl.set_attenuation(), "set_attenuation() takes at least 2 positional arguments (1 given)"),
        (lambda tl: tl.set_attenuation(ch=2), "set_attenuation() takes at least 2 positional arguments (1 given)"),
        (lambda tl: tl.set_attenuation(1, 2, 3), "set_attenuation() takes at most 3 positional arguments (4 given)"),
        (lambda tl: tl._TOLVAN__cal_crc(), "__cal_crc() takes exactly 2 positional arguments (1 given)"),
        (lambda tl: TOLVAN.dis_connection(), "dis_connection() takes at least 1 positional argument (0 given)"),
        (lambda tl: TOLVAN.open(), "open() takes exactly 1 positional argument (0 given)"),
        (lambda tl: tl.read_optical_length(chan=2), "read_optical_length() got an unexpected keyword argument 'chan'"),
        (lambda tl: tl.set_attenuation(100, ch=1, bogus=2), "set_attenuation() got an unexpected keyword argument 'bogus'"),
        (lambda tl: tl.set_attenuation(1100, attenuation=5),
         "set_attenuation() got multiple values for keyword argument 'attenuation'"),
        (lambda tl: TOLVAN.close(tl, self=tl), "close() got multiple values for keyword argument 'self'"),
    ],
)
def test_wrong_counts_and_keywords(driver, call, message):
    with type_error(message):
        call(driver)
    assert driver.ser.written == []


def test_every_parameter_may_be_given_by_keyword(driver):
    driver.ser.replies = [b"{}"] * 3
    assert driver.set_attenuation(attenuation=1100, ch=2) is True
    assert TOLVAN.clear_attenuation(self=driver, ch=3) is True
    assert driver.read_optical_length(ch=2) is None  # the third reply is not a list reply
    assert TOLVAN._TOLVAN__write_and_read(self=driver, cmd=b"") is None
    # a keyword equal to the parameter's name but not the same object, as a name read from JSON is
    driver.ser.replies = [b"{}"]
    assert driver.clear_attenuation(**{"".join(["c", "h"]): 4}) is True
    assert driver.ser.written[-1][1] == 4


def test_keywords_that_are_not_strings_are_refused(driver):
    # The interpreter refuses these itself for Python-level calls; the message names the method.
    with pytest.raises(TypeError, match="keywords must be strings"):
        driver.read_optical_length(**{1: 2})
