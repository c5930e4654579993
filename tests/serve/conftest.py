"""`tolvan serve` run as users run it, in a process of its own, against simulators on real
pseudo-terminals, and spoken to by real clients: PyVISA (pyvisa-py) and pyepics.

Each server listens on a free port of its own (`--scpi 127.0.0.1:0`; the port is read from its
log), so that the pytest-xdist workers never meet. Every server must stop cleanly: SIGTERM,
exit status 0, and nothing sent to the instrument on the way out.
"""

from __future__ import annotations

import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from tolvan_sim import find_simulator

HAVE_PTYS = sys.platform != "win32" and os.path.exists("/dev/ptmx")
SIMULATOR = find_simulator() if HAVE_PTYS else None
START_TIMEOUT = 30.0


def environment(**extra: str) -> dict[str, str]:
    """This process's environment (PYTHONPATH too: a source tree under test stays first) for the server."""
    env = {key: value for key, value in os.environ.items() if key not in ("TOLVAN_PORT", "COLUMNS")}
    env.update(extra)
    return env


class Server:
    """A running `tolvan serve`; its log lines as they come, and its SCPI port."""

    def __init__(self, args: list[str], env: dict[str, str], cwd: Path) -> None:
        self.args = args
        self.process = subprocess.Popen([sys.executable, "-m", "tolvan_cli", "serve", *args], cwd=cwd, env=env,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True, errors="replace")
        self.lines: list[str] = []
        self._changed = threading.Condition()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()
        self.out = ""
        self.status: int | None = None
        line = self.wait_for(r"serving |error|Traceback", START_TIMEOUT)
        if "serving " not in line:
            self.stop()
            pytest.fail(f"tolvan serve did not start: {self.log()}", pytrace=False)
        found = re.search(r"SCPI on 127\.0\.0\.1:(\d+)", line)
        self.scpi_port = int(found.group(1)) if found else None

    def _read(self) -> None:
        assert self.process.stderr is not None
        for line in self.process.stderr:
            with self._changed:
                self.lines.append(line.rstrip("\n"))
                self._changed.notify_all()
        with self._changed:
            self.lines.append("<end>")
            self._changed.notify_all()

    def log(self) -> str:
        return "\n".join(self.lines)

    def wait_for(self, pattern: str, timeout: float = 10.0, after: int = 0) -> str:
        """The first log line from index `after` on that matches `pattern`; fails after `timeout` s."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                for line in self.lines[after:]:
                    if re.search(pattern, line):
                        return line
                if "<end>" in self.lines[after:]:
                    pytest.fail(f"tolvan serve ended before logging {pattern!r}:\n{self.log()}", pytrace=False)
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    pytest.fail(f"tolvan serve logged no {pattern!r} within {timeout} s:\n{self.log()}", pytrace=False)
                self._changed.wait(remaining)

    def stop(self, sig: int = signal.SIGTERM) -> int:
        if self.status is None:
            if self.process.poll() is None:
                self.process.send_signal(sig)
            try:
                self.process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
            self._reader.join(5)  # standard error is the reader's alone
            assert self.process.stdout is not None
            self.out = self.process.stdout.read()
            self.process.stdout.close()
            self.status = self.process.returncode
        return self.status


@pytest.fixture
def instrument(make_tolvan_sim, tmp_path):
    """instrument(*options) starts a simulator with a frame log."""
    if SIMULATOR is None:
        pytest.skip("needs the simulator tolvan-sim (pseudo-terminals: Linux, macOS)")
    count = iter(range(1000))
    return lambda *options: make_tolvan_sim(*options, log=tmp_path / f"wire{next(count)}.log")


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    if call.when == "call":
        item.serve_failed = outcome.get_result().failed


@pytest.fixture
def serve(tmp_path, request):
    """serve(port, *options, env=None) starts `tolvan serve -p PORT OPTIONS` (default: --scpi 127.0.0.1:0);
    every server is stopped after the test, and must have exited 0. A failed test shows their logs."""
    started: list[Server] = []

    def start(port: str, *options: str, env: dict[str, str] | None = None) -> Server:
        server = Server(["-p", str(port), *(options or ("--scpi", "127.0.0.1:0"))], environment(**(env or {})),
                        tmp_path)
        started.append(server)
        return server

    yield start
    for server in started:
        status = server.stop()
        if getattr(request.node, "serve_failed", False):
            print(f"tolvan serve {' '.join(server.args)} (exit status {status}):\n{server.log()}")
        assert status == 0, f"tolvan serve ended with {status}:\n{server.log()}"
        assert "Traceback" not in server.log(), server.log()


@pytest.fixture
def visa():
    """visa(port) opens a PyVISA session (pyvisa-py) on a SCPI port, closed after the test."""
    pyvisa = pytest.importorskip("pyvisa", reason="the SCPI tests speak through PyVISA: pip install 'tolvan[test-clients]'")
    pytest.importorskip("pyvisa_py", reason="the SCPI tests use PyVISA's pyvisa-py backend: "
                                            "pip install 'tolvan[test-clients]'")
    manager = pyvisa.ResourceManager("@py")
    opened = []

    def open_session(port: int, timeout_ms: int = 3000):
        session = manager.open_resource(f"TCPIP::127.0.0.1::{port}::SOCKET", read_termination="\n",
                                        write_termination="\n", timeout=timeout_ms)
        opened.append(session)
        return session

    yield open_session
    for session in opened:
        try:
            session.close()
        except Exception:
            pass
    manager.close()


class Line:
    """A plain socket to a SCPI port, for what PyVISA cannot do (bytes that are no text, a client that never reads)."""

    def __init__(self, port: int, source: str | None = None, receive_buffer: int | None = None) -> None:
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if receive_buffer is not None:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, receive_buffer)
        if source is not None:
            self.sock.bind((source, 0))
        self.sock.settimeout(5)
        self.sock.connect(("127.0.0.1", port))
        self.buffer = b""

    def send(self, data: bytes) -> None:
        self.sock.sendall(data)

    def read_line(self, timeout: float = 5.0) -> str:
        self.sock.settimeout(timeout)
        while b"\n" not in self.buffer:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise ConnectionError("closed by the server")
            self.buffer += chunk
        line, _, self.buffer = self.buffer.partition(b"\n")
        return line.decode()

    def query(self, text: str, timeout: float = 5.0) -> str:
        self.send(text.encode() + b"\n")
        return self.read_line(timeout)

    def closed_by_server(self, timeout: float = 5.0) -> bool:
        """Whether the server has closed this connection (within `timeout` s), what was sent unread aside."""
        self.sock.settimeout(timeout)
        try:
            while self.sock.recv(65536):
                pass
        except socket.timeout:
            return False
        except ConnectionError:
            pass
        return True

    def close(self) -> None:
        self.sock.close()


@pytest.fixture
def line():
    opened: list[Line] = []

    def connect(port: int, **options) -> Line:
        opened.append(Line(port, **options))
        return opened[-1]

    yield connect
    for each in opened:
        each.close()


def errors(session) -> list[str]:
    """Every entry of a client's error queue, read through SYSTem:ERRor? until it says no error."""
    found = []
    for _ in range(40):
        entry = session.query("SYST:ERR?")
        if entry.startswith("0,"):
            return found
        found.append(entry)
    raise AssertionError(f"the error queue never emptied: {found}")
