"""Random replies, random arguments and random frames, bounded so that a run stays short.

Replies: whatever bytes arrive (0 to 64 of them), every command gives one of its
documented results, decided only by the framing test and the sizes the query
needs. Arguments: any value of any type gives the exact TypeError of the
argument rules, sends nothing and leaves the templates alone, or the call
proceeds. Checksums: any list of ints agrees with (~sum(data[:-2]) + 1) & 0xFF.
"""

import re
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import stand_ins as si
import tolvan
from tolvan import TOLVAN

FUZZ = settings(
    max_examples=si.FUZZ_EXAMPLES,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)


@pytest.fixture
def tl(monkeypatch):
    monkeypatch.setattr(tolvan, "time", si.INSTANT)
    driver = TOLVAN("/dev/ttyUSB0")
    driver.ser = si.ScriptedPort()
    return driver


def templates():
    return {name: list(getattr(TOLVAN, name)) for name in si.TEMPLATE_NAMES}


# -- replies -----------------------------------------------------------------------------------

def framed(reply):
    return len(reply) > 0 and reply[0] == 0x7B and reply[-1] == 0x7D


def u16(reply, offset):
    return reply[offset] + (reply[offset + 1] << 8)


def expected_version(reply):
    if not framed(reply) or len(reply) != 10:
        return None
    return {"module_version": reply[5], "hard_version": reply[6], "soft_version": reply[7]}


def expected_list(reply):
    if not framed(reply) or len(reply) < 8 or len(reply) < 8 + 2 * reply[5]:
        return None
    return [u16(reply, 6 + 2 * i) for i in range(reply[5])]


def expected_status(reply):
    if not framed(reply) or len(reply) < 12:
        return None
    return {"dev_work_mode": reply[5], "optical_length_index": reply[7], "attenuation": u16(reply, 8) * 10}


def framed_reply(prefix_length):
    """Replies opened by 7B and closed by 7D, so that the decoding paths are reached often."""
    return st.binary(max_size=prefix_length).map(lambda middle: b"\x7b" + middle + b"\x7d")


REPLIES = st.one_of(st.binary(max_size=64), framed_reply(62))
# List replies whose count byte is often within reach of their size.
LIST_REPLIES = st.one_of(
    REPLIES,
    st.tuples(st.integers(0, 8), st.binary(min_size=4, max_size=4), st.binary(max_size=20)).map(
        lambda parts: b"\x7b" + parts[1] + bytes([parts[0]]) + parts[2] + b"\x7d"
    ),
)

QUERIES = [
    ("read_device_version", (), expected_version),
    ("read_optical_length", (3,), expected_list),
    ("read_current_status", (3,), expected_status),
    ("close_full_screen", (), framed),
    ("set_attenuation", (1100, 3), framed),
    ("clear_attenuation", (3,), framed),
    ("dis_connection", (3,), framed),
]


@pytest.mark.parametrize("name, args, expected", QUERIES, ids=[query[0] for query in QUERIES])
@FUZZ
@given(reply=st.one_of(REPLIES, LIST_REPLIES))
def test_any_reply_gives_a_documented_result(tl, name, args, expected, reply):
    tl.ser = si.ScriptedPort(reply)
    result = getattr(tl, name)(*args)
    assert result == expected(reply)
    assert type(result) is type(expected(reply))
    assert tl.ser.buffer == b""  # everything that had arrived was read


@FUZZ
@given(data=st.data(), list_reply=LIST_REPLIES, select_reply=REPLIES)
def test_any_replies_to_a_selection_give_a_documented_result(tl, data, list_reply, select_reply):
    wavelengths = expected_list(list_reply)
    if wavelengths:
        length = data.draw(st.one_of(st.sampled_from(wavelengths), st.integers(0, 0xFFFF)), label="length")
    else:
        length = data.draw(st.integers(0, 0xFFFF), label="length")
    tl.ser = si.ScriptedPort(list_reply, select_reply)

    if not wavelengths:
        with pytest.raises(RuntimeError, match="^device read failed! Please check your connection!$"):
            tl.set_optical_length(length, 2)
        assert len(tl.ser.written) == 1
    elif length not in wavelengths:
        with pytest.raises(ValueError, match=f"^the length: {length} no supported yet!$"):
            tl.set_optical_length(length, 2)
        assert len(tl.ser.written) == 1
    else:
        assert tl.set_optical_length(length, 2) is framed(select_reply)
        position = wavelengths.index(length)
        assert tl.ser.written[1][:6] == bytes([0x7B, 2, 6, 0x14, 0x3A, position])


@FUZZ
@given(reply=REPLIES)
def test_read_returns_exactly_what_waits(tl, reply):
    tl.ser = si.ScriptedPort()
    tl.ser.buffer[:] = reply
    assert tl._TOLVAN__read() == (reply if reply else None)


# -- arguments ----------------------------------------------------------------------------------

class IntSub(int):
    pass


class StrSub(str):
    pass


class ListSub(list):
    pass


class BytesSub(bytes):
    pass


ANY_VALUE = st.one_of(
    st.integers(),
    st.integers(0, 255),
    st.booleans(),
    st.none(),
    st.floats(allow_nan=False),
    st.complex_numbers(allow_nan=False),
    st.text(max_size=8),
    st.binary(max_size=8),
    st.binary(max_size=8).map(bytearray),
    st.lists(st.integers(0, 255), max_size=10),
    st.lists(st.integers(), max_size=10).map(tuple),
    st.dictionaries(st.text(max_size=3), st.integers(), max_size=3),
    st.integers().map(IntSub),
    st.text(max_size=8).map(StrSub),
    st.lists(st.integers(0, 255), max_size=10).map(ListSub),
    st.binary(max_size=8).map(BytesSub),
    st.builds(object),
    st.just(int),
)

# name: parameters after self, each (name, exact type, has default)
SIGNATURES = {
    "__init__": [("serial_port", str, False)],
    "_TOLVAN__check_crc": [("data", list, False)],
    "_TOLVAN__cal_crc": [("data", list, False)],
    "_TOLVAN__read": [],
    "_TOLVAN__write_and_read": [("cmd", bytes, False)],
    "read_device_version": [],
    "read_optical_length": [("ch", int, True)],
    "set_optical_length": [("length", int, False), ("ch", int, True)],
    "read_current_status": [("ch", int, True)],
    "close_full_screen": [],
    "set_attenuation": [("attenuation", int, False), ("ch", int, True)],
    "clear_attenuation": [("ch", int, True)],
    "dis_connection": [("ch", int, True)],
    "check_port_available": [],
    "open": [],
    "close": [],
}

ARGUMENT_RULE = re.compile(
    r"has incorrect type|positional argument|unexpected keyword argument|multiple values for keyword argument"
)


@pytest.fixture
def sandbox(monkeypatch):
    """Stand-ins for everything a proceeding call may reach: nothing real is opened or run."""
    si.set_globals(monkeypatch, time=si.INSTANT, platform=si.fake_platform("Linux"),
                   subprocess=si.fake_subprocess(), serial=si.fake_serial())


def count_message(method, parameters, given):
    """The TypeError text for `given` positional arguments (self included) of `method`."""
    name = method.replace("_TOLVAN", "")
    total = len(parameters) + 1
    required = total - sum(1 for parameter in parameters if parameter[2])
    if required == total:
        word, count = "exactly", total
    elif given > total:
        word, count = "at most", total
    else:
        word, count = "at least", required
    return f"{name}() takes {word} {count} positional argument{'' if count == 1 else 's'} ({given} given)"


def invoke(tl, method, args, kwargs):
    if method == "__init__":
        return TOLVAN(*args, **kwargs)
    return getattr(tl, method)(*args, **kwargs)


def assert_refused(tl, method, args, kwargs, message):
    before = templates()
    with pytest.raises(TypeError) as raised:
        invoke(tl, method, args, kwargs)
    assert str(raised.value) == message
    assert tl.ser.written == []
    assert templates() == before


@pytest.mark.parametrize("method", list(SIGNATURES))
@FUZZ
@given(data=st.data())
def test_any_argument_values_are_refused_exactly_or_accepted(tl, sandbox, method, data):
    parameters = SIGNATURES[method]
    values = [data.draw(ANY_VALUE, label=name) for name, _, _ in parameters]
    by_keyword = [data.draw(st.booleans(), label=f"{name} by keyword") for name, _, _ in parameters]
    # Positional arguments come first: once one is given by keyword, the rest are too.
    for i in range(1, len(by_keyword)):
        by_keyword[i] = by_keyword[i] or by_keyword[i - 1]
    args = [value for value, keyword in zip(values, by_keyword) if not keyword]
    kwargs = {name: value for (name, _, _), value, keyword in zip(parameters, values, by_keyword) if keyword}
    tl.ser = si.ScriptedPort(si.LIST_REPLY, si.SELECT_REPLY)

    wrong = [(name, kind, value) for (name, kind, _), value in zip(parameters, values) if type(value) is not kind]
    if wrong:
        name, kind, value = wrong[0]
        message = (f"Argument '{name}' has incorrect type "
                   f"(expected {kind.__name__}, got {type(value).__name__})")
        assert_refused(tl, method, args, kwargs, message)
        return
    try:
        invoke(tl, method, args, kwargs)
    except TypeError as error:
        # The body ran and something in it refused a value (a non-number in a checksum list).
        assert not ARGUMENT_RULE.search(str(error)), error
    except (ValueError, IndexError, OverflowError, RuntimeError):
        pass  # frames pyserial refuses, short checksum lists, huge attenuations, unreadable lists


@pytest.mark.parametrize("method", list(SIGNATURES))
@FUZZ
@given(data=st.data())
def test_any_argument_count_or_keyword_mistake_is_refused_exactly(tl, sandbox, method, data):
    parameters = SIGNATURES[method]
    names = ["self"] + [name for name, _, _ in parameters]
    shown = method.replace("_TOLVAN", "")
    good = {"serial_port": "/dev/ttyUSB0", "data": [123, 1, 5, 125], "cmd": b"", "length": 1310,
            "ch": 1, "attenuation": 1100}
    mistake = data.draw(st.sampled_from(["too many", "too few", "unknown keyword", "given twice"]))
    tl.ser = si.ScriptedPort()
    if mistake == "too many":
        args = [good[name] for name in names[1:]] + data.draw(st.lists(ANY_VALUE, min_size=1, max_size=3))
        assert_refused(tl, method, args, {}, count_message(method, parameters, len(args) + 1))
    elif mistake == "too few":
        required = [name for name, _, has_default in parameters if not has_default]
        if not required:
            return
        given = data.draw(st.integers(0, len(required) - 1))
        args = [good[name] for name in required[:given]]
        assert_refused(tl, method, args, {}, count_message(method, parameters, given + 1))
    elif mistake == "unknown keyword":
        keyword = data.draw(st.text(min_size=1, max_size=10).filter(lambda text: text not in names))
        args = [good[name] for name in names[1:]]
        assert_refused(tl, method, args, {keyword: data.draw(ANY_VALUE)},
                       f"{shown}() got an unexpected keyword argument '{keyword}'")
    elif len(names) > 1:
        args = [good[name] for name in names[1:]]
        twice = data.draw(st.sampled_from(names[1:]))
        assert_refused(tl, method, args, {twice: good[twice]},
                       f"{shown}() got multiple values for keyword argument '{twice}'")


# -- checksum -----------------------------------------------------------------------------------

INT_LISTS = st.lists(st.one_of(st.integers(), st.integers(-(2**31), 2**31), st.integers(0, 255)), max_size=300)


def checksum(data):
    return (~sum(data[:-2]) + 1) & 0xFF


@FUZZ
@given(data=INT_LISTS)
def test_cal_crc_stores_the_checksum_of_any_int_list(tl, data):
    original = list(data)
    if len(data) < 2:
        with pytest.raises(IndexError):
            tl._TOLVAN__cal_crc(data)
        assert data == original
        return
    assert tl._TOLVAN__cal_crc(data) is None
    assert data[-2] == checksum(original) and type(data[-2]) is int
    assert data[:-2] == original[:-2] and data[-1] == original[-1]


@FUZZ
@given(data=INT_LISTS, stored=st.one_of(st.none(), st.integers()))
def test_check_crc_compares_the_stored_checksum_of_any_int_list(tl, data, stored):
    if stored is not None and len(data) >= 2:
        data[-2] = stored
    original = list(data)
    if len(data) < 2:
        with pytest.raises(IndexError):
            tl._TOLVAN__check_crc(data)
    else:
        assert tl._TOLVAN__check_crc(data) is (data[-2] == checksum(data))
        assert tl._TOLVAN__check_crc(data[:-2] + [checksum(data), data[-1]]) is True
    assert data == original


def test_checksums_agree_when_sum_is_not_the_interpreters_own():
    """The module sums in C only when the `sum` it bound at load is the builtin one; with a
    replacement bound, every checksum goes through it, and the results are the same."""
    script = """
import builtins, random, sys
real_sum = builtins.sum
calls = []
def sum(values, start=0):
    calls.append(list(values))
    return real_sum(values, start)
builtins.sum = sum
import tolvan
tl = tolvan.TOLVAN("COM3")
draw = random.Random(2026)
pick = [lambda: draw.randrange(-2**70, 2**70), lambda: draw.randrange(-2**31, 2**31), lambda: draw.randrange(256)]
wrong = 0
for size in [*range(2, 12), *(draw.randrange(2, 301) for _ in range(200))]:
    data = [draw.choice(pick)() for _ in range(size)]
    expected = (~real_sum(data[:-2]) + 1) & 0xFF
    stored = list(data)
    tl._TOLVAN__cal_crc(stored)
    wrong += stored[-2] != expected or stored[:-2] != data[:-2] or stored[-1] != data[-1]
    wrong += tl._TOLVAN__check_crc(data) is not (data[-2] == expected) or tl._TOLVAN__check_crc(stored) is not True
before = len(calls)
tl._TOLVAN__cal_crc([1, 2, 3, 0, 0])
sys.exit(1 if wrong else 2 if calls[before:] != [[1, 2, 3]] or before != 3 * 210 else 0)
"""
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
