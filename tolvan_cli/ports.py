"""tolvan ports [--probe] [PORT...]: the serial ports, who holds them, and which is the attenuator."""

from __future__ import annotations

import os
import subprocess
import sys

TYPE_CHECKING = False  # typing itself is not imported: `tolvan ports` starts in a few ms
if TYPE_CHECKING:
    from typing import Any

from tolvan_cli.session import PortError, Session


def holders(ports: list[str]) -> dict[str, list[str]] | None:
    """Per port (by its real path), the programs holding it, from one lsof run; None without lsof.

    The driver's own check runs `lsof PORT` and calls the port held when lsof lists anything;
    on Windows it opens the port once, and so does this.
    """
    if not ports:
        return {}
    if sys.platform == "win32":
        return {os.path.realpath(port): [] if free_by_opening(port) else ["another program"] for port in ports}
    try:
        done = subprocess.run(["lsof", "-F", "pcn", "--", *ports], stdin=subprocess.DEVNULL,
                              capture_output=True, text=True)
    except OSError as error:
        print(f"tolvan ports: cannot run lsof ({error}): who holds a port is unknown; install lsof "
              f"(see Install in the tolvan README)", file=sys.stderr)
        return None
    found: dict[str, list[str]] = {}
    pid = command = ""
    for line in done.stdout.splitlines():
        field, value = line[:1], line[1:]
        if field == "p":
            pid, command = value, "?"
        elif field == "c":
            command = value
        elif field == "n":
            holder = f"{command} (pid {pid})"
            held = found.setdefault(os.path.realpath(value), [])
            if holder not in held:
                held.append(holder)
    return found


def free_by_opening(port: str) -> bool:
    import serial

    try:
        serial.Serial(port).close()
    except serial.SerialException:
        return False
    return True


def probe(session: Session, port: str) -> dict[str, int] | None:
    """The version the port's instrument reports, or None: no answer, or the port would not open."""
    try:
        tl = session.connect(port, keep=False)
    except PortError as error:
        print(f"tolvan ports: {error}", file=sys.stderr)
        return None
    try:
        version: dict[str, int] | None = tl.read_device_version()
        return version
    finally:
        session.close_driver(tl)


def run(session: Session) -> None:
    from serial.tools import list_ports

    args = session.args
    listed = {info.device: info for info in list_ports.comports()}
    names = list(args.ports) or sorted(listed)
    if args.sim:
        names.append(session.simulator_port())
    elif (port := args.port or os.environ.get("TOLVAN_PORT")) and port not in names:
        names.append(port)  # the port the other commands would use
    held_by = holders(names)
    session.doc = rows = []
    table = [("port", "description", "held", "instrument" if args.probe else "")]
    for name in names:
        info = listed.get(name)
        missing = info is None and name.startswith("/") and not os.path.exists(name)
        description = info.description if info is not None else "no such device" if missing else None
        holding = None if held_by is None else held_by.get(os.path.realpath(name), [])
        row = {"port": name, "description": description, "held": None if holding is None else bool(holding),
               "instrument": None}
        rows.append(row)
        if args.probe and holding == [] and not missing:
            row["instrument"] = version = probe(session, name)
            found = "no answer" if version is None else (
                f"attenuator, version {version['module_version']}.{version['hard_version']}.{version['soft_version']}")
        else:
            found = "" if not args.probe else "not probed: no such device" if missing else (
                "not probed: held" if holding else "not probed: who holds it is unknown")
        state = "unknown (no lsof)" if holding is None else "by " + ", ".join(holding) if holding else "free"
        table.append((name, description or "-", state, found))
    if names:
        session.table(table)
    else:
        session.say("no serial ports found (give the port names: tolvan ports PORT...)")
