"""The driver through a real pseudo-terminal, real pyserial and the real lsof."""

import os
import shutil
import sys

import pytest

from tolvan import TOLVAN

pytestmark = [
    pytest.mark.skipif(sys.platform == "win32", reason="needs pseudo-terminals"),
    pytest.mark.skipif(shutil.which("lsof") is None, reason="needs lsof"),
]


@pytest.fixture
def pty_port():
    """A pseudo-terminal whose serial end nobody holds; yields (master fd, path)."""
    import pty

    master, follower = pty.openpty()
    path = os.ttyname(follower)
    os.close(follower)
    yield master, path
    os.close(master)


def read_frame(master, size):
    data = b""
    while len(data) < size:
        data += os.read(master, size - len(data))
    return data


def test_open_round_trip_and_close(pty_port, capsys):
    master, path = pty_port
    tl = TOLVAN(path)
    assert tl.check_port_available() is True
    assert tl.open() is True
    try:
        assert tl.check_port_available() is False     # this very process holds it now
        assert tl.open() is False
        assert capsys.readouterr().out.startswith("serial port already opened!")

        os.write(master, bytes.fromhex("7B 01 08 00 03 02 32 20 00 7D"))
        assert tl.read_device_version() == {"module_version": 2, "hard_version": 50, "soft_version": 32}
        assert read_frame(master, 7) == bytes.fromhex("7B 01 05 00 03 7C 7D")

        assert tl.set_attenuation(1100, 2) is False      # nobody answers
        assert read_frame(master, 9) == bytes.fromhex("7B 02 07 14 3C 6E 00 BE 7D")
    finally:
        tl.close()
    assert tl.ser.is_open is False
    assert tl.check_port_available() is True


def test_open_of_a_missing_device_reports_pyserial_text(capsys):
    tl = TOLVAN("/dev/tolvan-no-such-port")
    assert tl.check_port_available() is True           # lsof complains only on stderr
    assert tl.open() is False
    out = capsys.readouterr().out
    assert out.startswith("Cannot open serial port") and "/dev/tolvan-no-such-port" in out
    assert not hasattr(tl, "ser")
