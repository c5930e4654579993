"""`tolvan serve` on the command line: options refused before anything is opened, its help, and a
SCPI address that is taken."""

from __future__ import annotations

import json
import socket
import subprocess
import sys

import pytest

from .conftest import environment

USAGE = [  # (options after `serve -p PORT`, what the error says)
    ([], "give --scpi [HOST:]PORT, --epics PREFIX, --http [HOST:]PORT, or several"),
    (["--scpi", "70000"], "argument --scpi: 70000: give [HOST:]PORT"),
    (["--scpi", "::1:5025"], "write an IPv6 address in brackets, as [::1]:5025"),
    (["--scpi", "[::1]5025"], "write an IPv6 address as [::1]:5025"),
    (["--scpi", "--allow", "10.0.0.300"], "argument --allow: 10.0.0.300: not an address or network"),
    (["--scpi", "--poll", "1"], "--poll sets how often the EPICS readbacks and the panel are read: it needs --epics or --http"),
    (["--http", "localhost:x"], "argument --http: localhost:x: give [HOST:]PORT"),
    (["--scpi", "--http-read-only"], "--http-read-only serves the panel without controls: it needs --http"),
    (["--epics", "LAB:", "--poll", "0"], "argument --poll: 0: give seconds, 0.05 to 86400"),
    (["--epics", "LAB:", "--poll", "nan"], "argument --poll: nan: give seconds"),
    (["--epics", "LAB ATT:"], "--epics LAB ATT:: a prefix may hold only letters, digits"),
    (["--epics", "LAB.ATT1:"], "--epics LAB.ATT1:: a prefix may hold only letters, digits"),  # . names a field
    (["--epics", "L" * 42], "a prefix is at most 41 characters long"),
    (["--scpi", "--channels", "0"], "argument --channels: 0: give how many channels the instrument has, 1 to 255"),
    (["--scpi", "--epics-interface", "10.0.0.7"], "--epics-interface sets where the EPICS records are served: "
                                                  "it needs --epics"),
    (["--epics", "LAB:", "--epics-interface", "eth0"], "argument --epics-interface: eth0: give an IPv4 address"),
]


def tolvan(*args: str, timeout: float = 30) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "tolvan_cli", *args], env=environment(), stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=timeout)


@pytest.mark.parametrize("options, said", USAGE, ids=lambda case: " ".join(case) if isinstance(case, list) else "")
def test_options_refused_before_anything_opens(options, said, tmp_path):
    done = tolvan("serve", "-p", str(tmp_path / "no-such-port"), *options)
    assert done.returncode == 2, done.stderr
    assert said in done.stderr
    assert done.stdout == "" and "Traceback" not in done.stderr


def test_help_documents_every_option_with_examples():
    done = tolvan("serve", "--help")
    assert done.returncode == 0
    for option in ("--scpi [[HOST:]PORT]", "--epics PREFIX", "--allow CIDR", "--poll SECONDS", "--channels N",
                   "-p PORT", "--sim",
                   "tolvan serve -p /dev/ttyUSB0 --scpi 0.0.0.0:5025 --allow 127.0.0.0/8 --allow 192.168.1.0/24",
                   "EPICS_CAS_INTF_ADDR_LIST", "no authentication"):
        assert option in " ".join(done.stdout.split()), option


def test_a_scpi_address_in_use_is_reported_and_nothing_is_opened(instrument):
    sim = instrument()
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        done = tolvan("serve", "-p", sim.port, "--scpi", f"127.0.0.1:{port}", "--json")
    assert done.returncode == 1
    assert json.loads(done.stdout)["error"].startswith("cannot listen")
    assert f"cannot listen for SCPI on 127.0.0.1:{port}: Address already in use" in done.stderr
    assert sim.received() == []
