"""Shared stand-ins: an in-memory serial port and a pause that returns at once."""

import types

import pytest

import tolvan

TEMPLATE_NAMES = [
    "_TOLVAN__CMD_READ_DEV_VER",
    "_TOLVAN__CMD_READ_OPTICAL_LEN",
    "_TOLVAN__CMD_READ_CURRENT_STATUS",
    "_TOLVAN__CMD_CLOSE_FULLSCREEN",
    "_TOLVAN__CMD_SET_OPTICAL_LEN",
    "_TOLVAN__CMD_SET_ATTENUATION",
    "_TOLVAN__CMD_CLEAR_ATTENUATION",
    "_TOLVAN__CMD_DIS_CONNECT",
]


class FakePort:
    """An in-memory pyserial port.

    Each write is answered by the next queued reply (bytes, or None for
    silence), which lands in the input buffer as if it arrived during the
    pause. Bytes that nobody read stay there for the next command.
    """

    def __init__(self, *replies):
        self.replies = list(replies)
        self.buffer = bytearray()
        self.written = []
        self.closed = False

    def write(self, data):
        frame = bytes(data)  # as pyserial does: ints outside 0..255 raise ValueError
        self.written.append(frame)
        if self.replies:
            reply = self.replies.pop(0)
            if reply is not None:
                self.buffer += reply
        return len(frame)

    def inWaiting(self):
        return len(self.buffer)

    def read(self, size):
        data = bytes(self.buffer[:size])
        del self.buffer[:size]
        return data

    def close(self):
        self.closed = True


def frame(channel, command=(), payload=()):
    """A frame as bytes: 7B, the channel, the frame's length less 2, the command bytes, the payload,
    the checksum, 7D, as in frame(2, b"\x14\x3C", [0x6E, 0]).

    Given one string instead, the frame written byte for byte in hex the way the protocol tables
    write it, as in frame("7B 02 05 14 36 34 7D"): for the frames whose exact bytes are the point,
    malformed ones included. The one frame builder of every suite."""
    if isinstance(channel, str):
        return bytes.fromhex(channel)
    body = bytes([0x7B, channel, len(command) + len(payload) + 3, *command, *payload])
    return body + bytes([-sum(body) & 0xFF, 0x7D])


@pytest.fixture(autouse=True)
def restore_templates():
    """The templates are class-wide and filled in place: put them back after each test."""
    saved = {name: list(getattr(tolvan.TOLVAN, name)) for name in TEMPLATE_NAMES}
    yield
    for name, content in saved.items():
        getattr(tolvan.TOLVAN, name)[:] = content


@pytest.fixture
def pauses(monkeypatch):
    """Replaces tolvan.time with one whose sleep records its argument and returns at once."""
    recorded = []
    monkeypatch.setattr(tolvan, "time", types.SimpleNamespace(sleep=recorded.append))
    return recorded


@pytest.fixture
def driver(pauses):
    """A TOLVAN object wired to an empty FakePort; set driver.ser.replies as needed."""
    tl = tolvan.TOLVAN("COM3")
    tl.ser = FakePort()
    return tl
