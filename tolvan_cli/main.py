"""The `tolvan` command line: options, the port, exit statuses; each command word runs from a module of its own.

Only argparse, tolvan_cli.values and tolvan_cli.failures are imported to parse the command line (and
so for --help); the instrument layer tolvan_lab, the driver, pyserial and json come
with the command that needs them (tolvan_cli.outcome runs it).
"""

from __future__ import annotations

import argparse
import sys

TYPE_CHECKING = False  # typing itself is not imported: it would cost `tolvan --help` 2 ms
if TYPE_CHECKING:
    from typing import Any, TextIO

from tolvan_cli.failures import FAILED, INTERRUPTED, PROG


DESCRIPTION = """\
Find, read, set and sweep a programmable optical attenuator on a serial port.

The port comes from -p/--port, else from the environment variable TOLVAN_PORT;
it may be the address of a `tolvan serve --scpi` that holds the instrument
(scpi://HOST[:PORT], default port 5025). --sim instead starts a simulated
instrument for this one invocation (Linux, macOS).
"""

EPILOG = """\
examples:
  tolvan ports --probe                      which serial port is the attenuator?
  export TOLVAN_PORT=/dev/ttyUSB0           (or COM3; or give -p PORT each time)
  tolvan -p scpi://127.0.0.1:5025 info      through the tolvan serve that holds the port
  tolvan info                               version, and each channel's state
  tolvan set 3.5 --ch 2                     3.5 dB on channel 2 (also 3.5dB, 3500mdB)
  tolvan wavelength 1550 --ch 2
  tolvan sweep --from 0 --to 10 --step 0.5 --dwell 1 --csv sweep.csv
  tolvan --sim --json status                try any command on the simulator

exit status:
  0    done
  1    the instrument did not answer, or refused (the message names the command;
       see Troubleshooting in the README, and try --trace); or standard output or
       a file being written failed (a closed pipe, a full disk)
  2    usage error: an option, or a value the instrument cannot take
  3    the port could not be opened (missing, held by another program, no permission)
  130  interrupted (Ctrl-C): port closed, and a line says where the attenuation was left
       (SIGTERM, SIGHUP: the same clean-up, status 128 + the signal number)

`tolvan COMMAND --help` describes each command. With --json, standard output holds
one JSON document (an "error" key on failure; nothing on a usage error).
`tolvan --version` says which tolvan, driver, pyserial and Python run (for bug reports).
"""

# Under each command's own --help.
COMMAND_EPILOG = """\
exit status: 0 done; 1 the instrument did not answer or refused; 2 usage error;
3 the port could not be opened; 130 Ctrl-C (`tolvan --help` says more about each).
"""

# Under `tolvan serve --help`: the server ends its own way.
SERVE_EPILOG = """\
exit status: 0 stopped by Ctrl-C, SIGTERM or SIGHUP once serving (port closed, the light left
as it is); 1 the server could not start (such as a SCPI address another program holds);
2 usage error; 130 Ctrl-C before it began serving (128 + the signal number for SIGTERM
or SIGHUP then).
"""

# Each command word: (module, one-line help, description and examples).
COMMANDS = {
    "ports": ("ports", "list the serial ports; with --probe, find the attenuator", """\
Lists the serial ports pyserial finds (or the PORTs given), each with its description,
its USB VID:PID and serial number where known (how two identical adapters are told
apart), and who holds it (lsof). With --probe, asks each free port for its version:
those that answer are the attenuator. Without --probe nothing is written to any port,
and a port that is held, or whose holder is unknown (no lsof), is never probed. The
port of --sim, -p or TOLVAN_PORT is added.

  tolvan ports
  tolvan ports --probe
  tolvan ports --probe /dev/ttyUSB0 /dev/ttyUSB1
"""),
    "info": ("info", "version, and each channel's wavelengths and attenuation", """\
The instrument's version and, per channel, its supported wavelengths, the selected one,
the attenuation and whether it is connected. Exits 1 when any channel did not answer
(after showing what the others said).

  tolvan info
  tolvan info --channels 1,3
"""),
    "status": ("status", "one channel's wavelength, attenuation, connection", """\
One channel's selected wavelength, attenuation and whether it is connected (a channel
the instrument reports at 655.35 dB is disconnected).

  tolvan status --ch 2
"""),
    "set": ("set", "set a channel's attenuation", """\
Sets a channel's attenuation. The instrument's step is 0.01 dB: 0 to 655.34 dB.

  tolvan set 3.5
  tolvan set 3.25dB --ch 2
  tolvan set 12000mdB --ch 3
"""),
    "clear": ("clear", "clear a channel's attenuation", "Clears a channel's attenuation (the driver's clear_attenuation).\n\n  tolvan clear --ch 2\n"),
    "disconnect": ("disconnect", "disconnect a channel", """\
Disconnects a channel (the driver's dis_connection); it then reads as disconnected
until its attenuation is set or cleared.

  tolvan disconnect --ch 2
"""),
    "wavelength": ("wavelength", "select one of a channel's wavelengths", """\
Selects one of the channel's supported wavelengths (`tolvan info` lists them).

  tolvan wavelength 1550 --ch 2
"""),
    "sweep": ("sweep", "step the attenuation over a range, reading each step back", """\
Steps a channel's attenuation from A to B dB (either direction; B included when the
steps land on it, else the last step is the last one before it), reads each step back
and waits the dwell. A progress bar on standard error when it is a terminal.
--csv writes one row per step as it goes: time_s,set_db,read_db,ok,note (time since
the sweep began; read_db empty when there was no reply; ok: true when the set was
acknowledged and the read-back equals it; note, for a failed step: no reply to set, no
reply to read, read differs). --plot draws read against set (needs matplotlib:
pip install matplotlib). The dwell is at most a day.
Exits 1 when any step failed. Ctrl-C stops it with the CSV complete up to the last step.

  tolvan sweep --from 0 --to 10 --step 0.5
  tolvan sweep --from 20 --to 0 --step 2.5 --dwell 5 --ch 2 --csv down.csv --plot down.png
"""),
    "serve": ("serve", "serve the instrument over SCPI (TCP), EPICS and a browser panel until Ctrl-C", """\
Owns the instrument and serves it to many programs at once, in the foreground until
SIGTERM or Ctrl-C (both close the port and exit 0, leaving the light as it is).
SCPI over TCP (the LAN instruments' convention; PyVISA, LabVIEW, MATLAB, sockets):
lines such as INP2:ATT 3.5, INP2:ATT?, SYST:ERR? (the README lists the commands).
SCPI has no authentication: it listens on 127.0.0.1 and takes loopback clients only,
unless --scpi and --allow say otherwise. EPICS: an IOC with the records PREFIX CHn:ATT,
CHn:ATT_RBV, ... (needs pythonSoftIOC: pip install '.[epics]' in a checkout of tolvan,
pip install 'tolvan[epics]' from a release), on 127.0.0.1 only unless
--epics-interface or EPICS_CAS_INTF_ADDR_LIST / EPICS_PVAS_INTF_ADDR_LIST say
otherwise. The panel: a page for a browser that shows and drives every channel
(needs aiohttp: pip install '.[web]' in a checkout, pip install 'tolvan[web]' from a
release; loopback and --allow only, changes from its own page only; --http-read-only:
no controls). Standard error has one timestamped line per client connected, gone or
refused, and per change of the instrument's state. If the port goes (adapter
unplugged), the server keeps serving, answers -241, and reopens it every 2 s.

  tolvan serve -p /dev/ttyUSB0 --scpi                       SCPI on 127.0.0.1:5025
  tolvan serve -p /dev/ttyUSB0 --scpi 0.0.0.0:5025 --allow 127.0.0.0/8 --allow 192.168.1.0/24
  tolvan serve -p /dev/ttyUSB0 --epics LAB:ATT1: --poll 1
  tolvan serve -p /dev/ttyUSB0 --scpi 127.0.0.1:5025 --epics LAB:ATT1:
  tolvan serve -p /dev/ttyUSB0 --http 8080                  the panel on http://127.0.0.1:8080/
  tolvan serve --sim --scpi 5025                            try it on the simulator
  python -c "import pyvisa; print(pyvisa.ResourceManager('@py').open_resource(
      'TCPIP::127.0.0.1::5025::SOCKET', read_termination='\\n').query('*IDN?'))"
"""),
}


class Formatter(argparse.RawDescriptionHelpFormatter):
    """argparse's help layout, with the terminal's width read without importing shutil (and its
    compression modules), which argparse would do for every option it is given."""

    def __init__(self, prog: str, indent_increment: int = 2, max_help_position: int = 24,
                 width: int | None = None) -> None:
        if width is None:
            import os

            columns = os.environ.get("COLUMNS", "")
            if columns.isdigit():
                width = int(columns)
            else:
                try:
                    width = os.get_terminal_size(sys.__stdout__.fileno() if sys.__stdout__ else -1).columns
                except (OSError, ValueError):  # not a terminal, or no standard output
                    width = 80
            width = max(width, 40) - 2
        super().__init__(prog, indent_increment, max_help_position, width)

    def _split_lines(self, text: str, width: int) -> list[str]:
        import textwrap

        # Never between the dashes of an option, such as --sim-options.
        return textwrap.wrap(" ".join(text.split()), width, break_on_hyphens=False)


class Parser(argparse.ArgumentParser):
    """argparse's parser, whose --help says so when standard output cannot take it (argparse
    itself drops the error and exits 0, as if the help had been written)."""

    def print_help(self, file: Any = None) -> None:
        if file is not None:
            super().print_help(file)
        else:
            self.write_out(self.format_help(), "the help")

    def write_out(self, text: str, what: str) -> None:
        """`text` on standard output; when that fails, a line on standard error and exit 1."""
        out = sys.stdout
        try:
            if out is None:  # started with standard output closed (`>&-`): as a reader that has gone
                raise BrokenPipeError
            out.write(text)
            out.flush()
        except (OSError, ValueError) as error:
            from tolvan_cli.failures import silence

            silence(out)
            why = ("standard output was closed" if isinstance(error, BrokenPipeError) else
                   error.strerror if isinstance(error, OSError) and error.strerror else str(error))
            self.exit(FAILED, f"{self.prog}: cannot write {what}: {why}\n")


class Version(argparse.Action):
    """--version: what a bug report needs (tolvan_cli.version), then exit."""

    def __init__(self, option_strings: list[str], dest: str, help: str | None = None) -> None:
        super().__init__(option_strings, dest, nargs=0, default=argparse.SUPPRESS, help=help)

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: object,
                 option_string: str | None = None) -> None:
        from tolvan_cli.version import describe

        assert isinstance(parser, Parser)
        parser.write_out(describe() + "\n", "the version")
        parser.exit()


def add_global_options(parser: argparse.ArgumentParser, after_word: bool, retries_too: bool = True) -> None:
    """The options of every command, valid before the command word and after it (--retries not
    after `serve`, which sends each request once)."""
    from tolvan_cli.values import MAX_RETRIES, retries

    default = argparse.SUPPRESS if after_word else None
    flag = argparse.SUPPRESS if after_word else False
    group = parser.add_argument_group("global options") if after_word else parser
    group.add_argument("-p", "--port", default=default, metavar="PORT",
                       help="the serial port, such as /dev/ttyUSB0 or COM3, or the address of the tolvan serve --scpi "
                            "that holds it, scpi://HOST[:PORT] (default: $TOLVAN_PORT)")
    group.add_argument("--sim", action="store_true", default=flag,
                       help="start a simulated instrument for this invocation and use it (Linux, macOS)")
    group.add_argument("--sim-options", default=default, metavar="OPTIONS",
                       help='--sim, with tolvan-sim options as one string: --sim-options="--delay 250"')
    if retries_too:
        group.add_argument("--retries", type=retries, default=argparse.SUPPRESS if after_word else 0, metavar="N",
                           help=f"send a command that got no reply up to N more times, 0 to {MAX_RETRIES} (default "
                                f"0: a silence is reported at once)")
    group.add_argument("--json", action="store_true", default=flag,
                       help="print one JSON document on standard output instead of text")
    group.add_argument("--trace", action="store_true", default=flag,
                       help="write every frame sent, received or discarded, in hex with its time, on standard error "
                            "(and \"received nothing\" where no reply came)")


def build_parser() -> argparse.ArgumentParser:
    from tolvan_cli import values

    raw = Formatter
    parser = Parser(prog=PROG, description=DESCRIPTION, epilog=EPILOG, formatter_class=raw)
    parser.add_argument("--version", action=Version, help="which tolvan, driver, pyserial and Python run, and lsof")
    add_global_options(parser, after_word=False)
    words = parser.add_subparsers(dest="command", metavar="COMMAND", title="commands")
    sub = {}
    for word, (_, summary, description) in COMMANDS.items():
        sub[word] = words.add_parser(word, help=summary, description=description,
                                     epilog=SERVE_EPILOG if word == "serve" else COMMAND_EPILOG,
                                     formatter_class=raw)
        add_global_options(sub[word], after_word=True, retries_too=word != "serve")

    def add_channel(word: str) -> None:
        sub[word].add_argument("--ch", "--channel", dest="ch", type=values.channel, default=1, metavar="N",
                               help="channel, 1 to 255 (default 1)")

    sub["ports"].add_argument("ports", nargs="*", metavar="PORT", help="ports to look at (default: every port pyserial lists)")
    sub["ports"].add_argument("--probe", action="store_true", help="ask each free port for its version")
    sub["info"].add_argument("--channels", type=values.channel_list, default=[1, 2, 3, 4], metavar="LIST",
                             help="channels, such as 1-4 (the default) or 1,3")
    sub["set"].add_argument("value", type=values.attenuation, metavar="VALUE", help="attenuation: 3.5, 3.5dB or 3500mdB")
    sub["wavelength"].add_argument("nm", type=values.wavelength, metavar="NM", help="wavelength in nm, such as 1550")
    sweep = sub["sweep"]
    sweep.add_argument("--from", dest="start", type=values.attenuation, required=True, metavar="A",
                       help="first attenuation, dB")
    sweep.add_argument("--to", dest="stop", type=values.attenuation, required=True, metavar="B", help="last attenuation, dB")
    sweep.add_argument("--step", type=values.step, required=True, metavar="S", help="step, dB (0.01 or more)")
    sweep.add_argument("--dwell", type=values.seconds, default=0.0, metavar="SECONDS",
                       help="wait after each step, up to a day (default 0)")
    sweep.add_argument("--csv", metavar="FILE", help="write time_s,set_db,read_db,ok,note per step to FILE")
    sweep.add_argument("--plot", metavar="FILE", help="draw read against set into FILE (.png or .svg)")
    for word in ("status", "set", "clear", "disconnect", "wavelength", "sweep"):
        add_channel(word)
    serve = sub["serve"]  # which options go together is checked by tolvan_cli.serve
    serve.add_argument("--scpi", nargs="?", const="5025", type=values.listen_address, metavar="[HOST:]PORT",
                       help="serve SCPI over TCP on HOST:PORT (default host 127.0.0.1; --scpi alone: 127.0.0.1:5025; "
                            "0.0.0.0:5025 every interface; [::1]:5025 IPv6; port 0 any free port)")
    serve.add_argument("--epics", metavar="PREFIX",
                       help="serve the EPICS records PREFIXCHn:ATT and the rest, such as --epics LAB:ATT1:")
    serve.add_argument("--epics-interface", type=values.ipv4_interface, metavar="ADDR",
                       help="with --epics: serve Channel Access and PV Access on this IPv4 address (default "
                            "127.0.0.1; 0.0.0.0: every interface); EPICS_CAS_INTF_ADDR_LIST and "
                            "EPICS_PVAS_INTF_ADDR_LIST, when set, win")
    serve.add_argument("--allow", action="append", type=values.network, metavar="CIDR",
                       help="SCPI clients and panel browsers accepted from these addresses (repeatable; "
                            "default loopback only: 127.0.0.0/8 and ::1; --allow replaces that default, so "
                            "give --allow 127.0.0.0/8 too to keep this computer's clients), such as "
                            "--allow 127.0.0.0/8 --allow 192.168.1.0/24")
    serve.add_argument("--http", nargs="?", const="8080", type=values.listen_address, metavar="[HOST:]PORT",
                       help="serve the front panel, a page for a browser, on HOST:PORT (default host 127.0.0.1; "
                            "--http alone: 127.0.0.1:8080; needs aiohttp: pip install '.[web]' in a checkout, "
                            "'tolvan[web]' from a release)")
    serve.add_argument("--http-read-only", action="store_true",
                       help="the panel shows the instrument without controls, and refuses every change")
    serve.add_argument("--poll", type=values.poll_seconds, metavar="SECONDS",
                       help="with --epics or --http: each channel's status is read once in this period, in the gaps "
                            "between requests (default 2); SCPI alone polls nothing")
    serve.add_argument("--channels", type=values.channel_count, default=4, metavar="N",
                       help="channels served, 1 to N (default 4)")
    return parser


def check_port_options(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    import os

    from tolvan_lab.addresses import address, is_address

    if args.sim_options is not None:
        import shlex

        args.sim = True
        try:
            shlex.split(args.sim_options)
        except ValueError as error:  # an unclosed quotation mark
            parser.error(f"--sim-options {args.sim_options!r}: {error}: quote it as in --sim-options=\"--delay 250\"")
    if args.sim and args.port is not None:
        parser.error("give either -p/--port or --sim, not both")
    if args.sim and sys.platform == "win32":
        parser.error("--sim needs the simulator tolvan-sim, which is built on Linux and macOS only: give -p PORT")
    port = None if args.sim else args.port or os.environ.get("TOLVAN_PORT")
    if port and is_address(port):  # the address of a tolvan serve
        try:
            address(port)
        except ValueError as error:
            parser.error(f"{'-p/--port' if args.port else 'TOLVAN_PORT'}: {error}")
        if args.command == "serve":
            parser.error("tolvan serve needs the instrument's serial port (-p /dev/ttyUSB0): a scpi:// address is "
                         "a server's already")
    if args.command != "ports" and not (args.sim or args.port or os.environ.get("TOLVAN_PORT")):
        parser.error("no port: give -p PORT (such as -p /dev/ttyUSB0 or -p COM3), set the environment variable "
                     "TOLVAN_PORT, or try the simulator with --sim (`tolvan ports --probe` finds the instrument)")


def main(argv: list[str] | None = None) -> int:
    try:
        return start(argv)
    except KeyboardInterrupt:  # Ctrl-C while the command line was read, before the command began
        stops = sys.modules.get("tolvan_cli.stops")
        return INTERRUPTED if stops is not None and stops.told else stopped_early(argv, INTERRUPTED)
    except BaseException as stop:  # SIGTERM or SIGHUP there
        stops = sys.modules.get("tolvan_cli.stops")
        if stops is None or not isinstance(stop, stops.Terminated):
            raise
        return stops.status(stop) if stops.told else stopped_early(argv, stops.status(stop))


def stopped_early(argv: list[str] | None, status: int) -> int:
    """Stopped before the command began: a line, and with --json the document that says so."""
    from tolvan_cli.failures import silence, warn

    message = "interrupted; nothing was sent to the instrument"
    warn(f"{PROG}: {message}")
    if "--json" in (sys.argv[1:] if argv is None else argv):
        try:
            print(f'{{"error": "{message}"}}', file=sys.__stdout__, flush=True)
        except (OSError, ValueError, AttributeError):
            silence(sys.__stdout__)
    return status


def start(argv: list[str] | None) -> int:
    from tolvan_cli import stops

    stops.install()  # from the start: a signal while the command line is read is a clean stop too
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.error("give a command word, such as `tolvan info` (tolvan --help lists them)")
    check_port_options(parser, args)

    # Whatever else prints (a library the command word loads: pythonSoftIOC's banner, say) goes
    # to standard error, so that standard output holds only what the command writes there (with
    # --json, one document). The driver's own lines are taken in by tolvan_lab.
    out = sys.stdout
    sys.stdout = sys.stderr
    try:
        return run(args, out)
    finally:
        sys.stdout = out


def run(args: argparse.Namespace, out: TextIO | None) -> int:
    """Runs the command word of `args` to its end (tolvan_cli.outcome); its exit status."""
    from tolvan_cli.outcome import run as run_command

    return run_command(args, out, COMMANDS[args.command][0])
