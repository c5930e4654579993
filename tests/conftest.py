"""Shared stand-ins: an in-memory serial port, a pause that returns at once, the frame builder; and
the in-memory tier, which the test command runs first and alone."""

import os
import socket
import subprocess
import types
from pathlib import Path

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



def free_ports(count):
    """The first of `count` consecutive ports free for TCP and UDP on loopback (an IOC's Channel
    Access and PV Access ports: one UDP port on one host serves one IOC's searches). Below the range
    the kernel hands out to connections, where a client's port could take one later, and in a block
    of this pytest-xdist worker's own, so that two workers starting together never pick the same."""
    import random

    worker = int(os.environ.get("PYTEST_XDIST_WORKER", "gw0").removeprefix("gw") or 0)
    block = 20000 + 500 * (worker % 24)  # 20000 to 31999
    for first in random.sample(range(block, block + 500 - count), 60):
        try:
            for port in range(first, first + count):
                for kind in (socket.SOCK_STREAM, socket.SOCK_DGRAM):
                    with socket.socket(socket.AF_INET, kind) as taken:
                        taken.bind(("127.0.0.1", port))
        except OSError:
            continue
        return first
    raise RuntimeError(f"no {count} free ports in a row on 127.0.0.1 between {block} and {block + 499}")

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


# The in-memory tier (`pytest -m in_memory`): files whose tests start no process, open no
# pseudo-terminal and touch no network, so that they run in seconds and first. A test of these
# files that does start a process is marked `spawns` and runs with the rest; one that does so
# unmarked fails, saying which.
IN_MEMORY = ["test_arguments.py", "test_attenuation.py", "test_checksum.py", "test_class_surface.py",
             "test_display_link.py", "test_exchange.py", "test_status.py", "test_version.py", "test_wavelengths.py",
             "lab/test_replies.py", "lab/test_units.py", "serve/test_owner.py", "serve/test_scpi_grammar.py",
             "serve/test_panel_logic.py", "cli/test_values.py", "tooling/"]
HERE = Path(__file__).parent
# The longest tests (ten seconds and more on a loaded machine, mostly waiting), run first: spread
# over the workers from the start, rather than one worker running the last of them alone at the end
# (the test command hands tests out two at a time: --maxschedchunk 2).
LONGEST = ["lab/test_in_step.py::", "lab/test_remote.py::test_the_readme_examples_run_through_the_address",
           "lab/test_remote.py::test_the_commands_device_words_say_the_same_through_the_address",
           "lab/test_remote.py::test_no_reply_retries_and_a_closed_attenuator",
           "cli/test_sweep.py::test_plot_drawn_or_how_to_get_it", "cli/test_sweep.py::test_csv_rows_as_the_instrument_answered",
           "frameworks/test_readme_examples.py::test_the_qcodes_example",
           "frameworks/test_readme_examples.py::test_the_bluesky_example",
           "frameworks/test_pymeasure.py::test_a_late_answer_is_dropped_not_taken_for_the_next_one",
           "serve/test_epics.py::test_alarms_while_the_instrument_is_gone_or_silent_and_the_recovery",
           "serve/test_epics.py::test_records_puts_readbacks_and_both_faces",
           "serve/test_panel.py::test_the_page_shows_and_drives_the_instrument",
           "serve/test_panel.py::test_the_page_follows_the_instrument_and_the_server_away_and_back"]


def pytest_configure(config):
    config.addinivalue_line("markers", "in_memory: needs no process, pseudo-terminal or network (tests/conftest.py "
                                       "IN_MEMORY); the test command runs these first")
    config.addinivalue_line("markers", "spawns: starts a process, in a file of the in-memory tier")


def pytest_collection_modifyitems(config, items):
    longest = set()
    for item in items:
        where = Path(item.path).resolve()
        if not where.is_relative_to(HERE):
            continue
        name = where.relative_to(HERE).as_posix()
        if item.get_closest_marker("spawns") is None and any(
                name == entry or entry.endswith("/") and name.startswith(entry) for entry in IN_MEMORY):
            item.add_marker(pytest.mark.in_memory)
        if f"{name}::{item.originalname}".startswith(tuple(LONGEST)):
            longest.add(item)
    items.sort(key=lambda item: item not in longest)  # stable: the rest keep their order


@pytest.fixture(autouse=True)
def in_memory_only(request, monkeypatch):
    """In the in-memory tier, starting a process, opening a pseudo-terminal or a connection fails."""
    if request.node.get_closest_marker("in_memory") is None:
        return

    def refuse(what):
        def refused(*args, **kwargs):
            raise AssertionError(f"{request.node.nodeid} {what}, in the in-memory tier: mark it "
                                 f"@pytest.mark.spawns, or take its file out of IN_MEMORY (tests/conftest.py)")
        return refused

    monkeypatch.setattr(subprocess.Popen, "__init__", refuse("started a process"))
    monkeypatch.setattr(os, "openpty", refuse("opened a pseudo-terminal"))
    monkeypatch.setattr(socket.socket, "connect", refuse("opened a connection"))
    monkeypatch.setattr(socket.socket, "bind", refuse("bound a socket"))
