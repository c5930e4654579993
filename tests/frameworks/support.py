"""What the framework tests share: the sweep's setpoints, what the instrument was told, a silent instrument."""

import signal
from contextlib import contextmanager

# The setpoints every sweep here steps through: 0 to 10 dB in 21 points, as np.linspace makes them.
SETPOINTS = [index * 0.5 for index in range(21)]


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
