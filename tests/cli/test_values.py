"""The command's value rules, in memory: what each option takes, what it refuses, and the two
decimals every face shows for a reading."""

import argparse
import ipaddress

import pytest

from tolvan_cli import values
from tolvan_lab import units

TAKEN = [
    (values.retries, "0", 0),
    (values.retries, " 10 ", 10),
    (values.listen_address, "5025", ("127.0.0.1", 5025)),
    (values.listen_address, "0.0.0.0:0", ("0.0.0.0", 0)),
    (values.listen_address, "[::1]:65535", ("::1", 65535)),
    (values.listen_address, "localhost:5025", ("localhost", 5025)),
    (values.network, "192.168.1.7/24", ipaddress.ip_network("192.168.1.0/24")),
    (values.network, "::1", ipaddress.ip_network("::1/128")),
    (values.poll_seconds, "0.05", 0.05),
    (values.poll_seconds, "86400", 86400.0),
    (values.channel_count, "255", 255),
    (values.ipv4_interface, " 0.0.0.0 ", "0.0.0.0"),
]

REFUSED = [
    (values.retries, "11", "not a count of retries: '11' (accepted: 0 to 10)"),
    (values.retries, "-1", "not a count of retries"),
    (values.retries, "٣", "not a count of retries"),  # a digit, but not an ASCII one
    (values.listen_address, "70000", "70000: give [HOST:]PORT"),
    (values.listen_address, ":5025", "give [HOST:]PORT"),
    (values.listen_address, "5025" + "0" * 5000, "give [HOST:]PORT"),
    (values.listen_address, "::1:5025", "write an IPv6 address in brackets, as [::1]:5025"),
    (values.listen_address, "[::1]5025", "write an IPv6 address as [::1]:5025"),
    (values.network, "10.0.0.300", "10.0.0.300: not an address or network"),
    (values.poll_seconds, "0.049", "0.049: give seconds, 0.05 to 86400"),
    (values.poll_seconds, "nan", "give seconds"),
    (values.poll_seconds, "inf", "give seconds"),
    (values.channel_count, "0", "0: give how many channels the instrument has, 1 to 255"),
    (values.channel_count, "256", "1 to 255"),
    (values.ipv4_interface, "::1", "::1: give an IPv4 address of this computer"),
]


@pytest.mark.parametrize("rule, text, value", TAKEN, ids=lambda case: getattr(case, "__name__", None))
def test_values_each_option_takes(rule, text, value):
    assert rule(text) == value


@pytest.mark.parametrize("rule, text, says", REFUSED, ids=lambda case: getattr(case, "__name__", None))
def test_values_each_option_refuses_saying_what_it_takes(rule, text, says):
    with pytest.raises(argparse.ArgumentTypeError) as refused:
        rule(text)
    assert says in str(refused.value) and len(str(refused.value)) < 200


def test_every_reading_is_shown_as_the_step_the_instrument_holds():
    # A reading arrives as the float of its step count (0.29 dB is 0.28999999999999998): shown as
    # that count's two decimals, never one step low.
    for count in range(units.DISCONNECTED_STEPS):
        expected = f"{count // 100}.{count % 100:02d}"
        assert values.decimals(units.db(count)) == expected, count
        assert values.decimals(count) == expected, count
    assert values.db_text(units.db(29)) == "0.29 dB" and values.db_text(None) == "-"
