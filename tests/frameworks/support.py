"""What the framework tests share: the sweep's setpoints, what the instrument was told, a silent
instrument, and `tolvan serve --scpi` running for the simulator."""

import re
import select
import signal
import subprocess
import sys
import threading
import time
from contextlib import contextmanager

import pytest

# The setpoints every sweep here steps through: 0 to 10 dB in 21 points, as np.linspace makes them.
SETPOINTS = [index * 0.5 for index in range(21)]

# 0 to 10 dB in 7 points, most of them between two 0.01 dB steps (1.6666666666666667): the steps
# the instrument takes for them, in dB and in mdB.
SEVEN_POINTS_HELD = [0.0, 1.67, 3.33, 5.0, 6.67, 8.33, 10.0]
SEVEN_POINTS_MDB = [0, 1670, 3330, 5000, 6670, 8330, 10_000]


def mdb_set_on(sim, channel):
    """The attenuations (mdB) the instrument was told to take on `channel`, in order."""
    return [command.value for command in sim.commands() if command.name == "set_attenuation"
            and command.channel == channel]


@contextmanager
def silenced(sim):
    """The instrument stops answering (its process is stopped) until the block ends."""
    sim.process.send_signal(signal.SIGSTOP)
    try:
        yield
    finally:
        sim.process.send_signal(signal.SIGCONT)


class Server:
    """`tolvan serve` for the simulator's port, with the given faces (SCPI on a free loopback port
    by default); `resource` is the SCPI face's VISA resource name."""

    def __init__(self, sim, *faces, env=None):
        faces = faces or ("--scpi", "127.0.0.1:0")
        self.process = subprocess.Popen([sys.executable, "-m", "tolvan_cli", "serve", "-p", sim.port, *faces],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=env)
        self.said = []
        deadline = time.monotonic() + 30
        while not any("tolvan serve: serving" in line for line in self.said):
            ready, _, _ = select.select([self.process.stderr], [], [], max(deadline - time.monotonic(), 0))
            line = self.process.stderr.readline() if ready else ""
            if not line:
                self.stop()
                pytest.fail(f"tolvan serve did not start serving: {''.join(self.said)}")
            self.said.append(line)
        found = re.search(r"SCPI on 127\.0\.0\.1:(\d+)", "".join(self.said))
        self.resource = f"TCPIP::127.0.0.1::{found.group(1)}::SOCKET" if found else None
        # Its log goes on being read, so that the pipe never fills.
        self._reader = threading.Thread(target=lambda: self.said.extend(self.process.stderr), daemon=True)
        self._reader.start()

    def stop(self):
        """SIGTERM; its exit status (0: a clean stop)."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        return self.process.wait(timeout=10)
