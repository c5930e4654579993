"""Steps one channel's attenuation through `tolvan serve --scpi` with a PyMeasure Procedure, and
records, at each step, the attenuation set and the attenuation the instrument then reports.

    tolvan serve -p /dev/ttyUSB0 --scpi 5025 &          # or: tolvan serve --sim --scpi 5025 &
    python examples/pymeasure_sweep.py --channel 2 --start 0 --stop 10 --points 21 sweep.csv

Each point is set to the nearest 0.01 dB step the instrument holds (10/6 dB becomes 1.67 dB), and
that step is what the file records as set. The channel and the grid are checked before anything
is sent. Needs the extra `tolvan[pymeasure]`. The results are a PyMeasure CSV file (its header
lists the procedure's parameters), which PyMeasure's ManagedWindow and `Results.load` read back.
"""

import argparse
import logging
import sys

import numpy as np
from pymeasure.experiment import FloatParameter, IntegerParameter, Parameter, Procedure, Results, Worker

from tolvan_lab.pymeasure import TolvanAttenuator
from tolvan_lab.units import MAX_DB, nearest_step

log = logging.getLogger(__name__)
log.addHandler(logging.NullHandler())


class AttenuationSweep(Procedure):
    """Sets the attenuation to `points` values from `start` to `stop` (each the nearest 0.01 dB
    step) and reads each back."""

    resource = Parameter("VISA resource", default="TCPIP::127.0.0.1::5025::SOCKET")
    channel = IntegerParameter("Channel", minimum=1, maximum=255, default=2)
    start = FloatParameter("Start", units="dB", minimum=0, maximum=MAX_DB, default=0.0)
    stop = FloatParameter("Stop", units="dB", minimum=0, maximum=MAX_DB, default=10.0)
    points = IntegerParameter("Points", minimum=2, maximum=10_000, default=21)

    DATA_COLUMNS = ["Set attenuation (dB)", "Read attenuation (dB)"]

    def startup(self):
        self.attenuator = TolvanAttenuator(self.resource)
        served = len(self.attenuator.channels)
        if not 1 <= self.channel <= served:
            raise ValueError(f"channel {self.channel} is not served: the server serves channels 1 to {served}")
        self.target = getattr(self.attenuator, f"ch_{self.channel}")

    def execute(self):
        setpoints = grid(self.start, self.stop, self.points)
        for done, db in enumerate(setpoints, start=1):
            self.target.attenuation = db  # returns once the instrument acknowledged it
            self.emit("results", {"Set attenuation (dB)": db, "Read attenuation (dB)": self.target.attenuation})
            self.emit("progress", 100 * done / len(setpoints))
            if self.should_stop():
                log.warning("sweep stopped after %d of %d points", done, len(setpoints))
                break

    def shutdown(self):
        if hasattr(self, "attenuator"):
            self.attenuator.adapter.close()


def grid(start, stop, points):
    """The steps the sweep sets: `points` from `start` to `stop`, each the nearest 0.01 dB step;
    ValueError for a bound the instrument cannot hold."""
    return [nearest_step(db) for db in np.linspace(start, stop, points)]  # its first and last are start, stop


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("file", help="the CSV file to write (PyMeasure's format)")
    parser.add_argument("--resource", default=AttenuationSweep.resource.default,
                        help="the server as a VISA resource (default %(default)s)")
    parser.add_argument("--channel", type=int, default=2, help="1 to 255, one the server serves")
    parser.add_argument("--start", type=float, default=0.0, help="dB")
    parser.add_argument("--stop", type=float, default=10.0, help="dB")
    parser.add_argument("--points", type=int, default=21, help="2 to 10000")
    args = parser.parse_args(argv)
    for name in ("channel", "points"):
        low, high = getattr(AttenuationSweep, name).minimum, getattr(AttenuationSweep, name).maximum
        if not low <= getattr(args, name) <= high:
            parser.error(f"--{name} must be {low} to {high}, not {getattr(args, name)}")
    try:
        grid(args.start, args.stop, args.points)
    except ValueError as error:
        parser.error(f"--start {args.start:g} --stop {args.stop:g}: {error}")
    logging.basicConfig(level=logging.INFO, format="%(message)s")

    procedure = AttenuationSweep()
    for name in ("resource", "channel", "start", "stop", "points"):
        setattr(procedure, name, getattr(args, name))
    worker = Worker(Results(procedure, args.file))
    worker.start()
    worker.join(timeout=3600)
    if procedure.status != Procedure.FINISHED:
        status = Procedure.STATUS_STRINGS.get(procedure.status, procedure.status)
        print(f"the sweep did not finish ({status}): the lines above say why", file=sys.stderr)
        return 1
    print(f"{args.points} points written to {args.file}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
