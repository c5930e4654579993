"""tolvan ports [--probe] [PORT...]: the serial ports, who holds them, and which is the attenuator."""

from __future__ import annotations

import os
import sys
from typing import Any

from tolvan_lab import ownership
from tolvan_lab.addresses import is_address
from tolvan_lab.errors import NoReply, PortUnavailable, shown

from tolvan_cli.failures import warn
from tolvan_cli.session import Session


def holders(ports: list[str]) -> dict[str, list[dict[str, Any]]] | None:
    """Per port (by its real path: a link names the device it points to), the processes holding
    it, as {"name", "pid"}, from one lsof run; None where that cannot be told (no lsof).

    On Windows, where the driver checks a port by opening it, so does this: a port opened there
    is exclusive, and who holds it cannot be named.
    """
    if sys.platform == "win32":
        return {os.path.realpath(port): [] if free_by_opening(port) else [{"name": "another program", "pid": None}]
                for port in ports}
    try:
        found = ownership.holders(ports)
    except ownership.LsofMissing as error:
        warn(f"tolvan ports: cannot run lsof ({error}): who holds a port is unknown, and no port is probed; "
             f"install lsof (see Install in the tolvan README)")
        return None
    return {port: [{"name": holder.name, "pid": holder.pid} for holder in held] for port, held in found.items()}


def free_by_opening(port: str) -> bool:
    import serial

    try:
        serial.Serial(port).close()
    except (serial.SerialException, ValueError):
        return False
    return True


def probe(session: Session, port: str) -> tuple[dict[str, int] | None, str]:
    """The version the port's instrument reports (None if it does not answer or the port would
    not open), and what the table says of it."""
    att = session.attenuator(port, channels=1)
    try:
        att.open()
    except (PortUnavailable, ValueError) as error:
        warn(f"tolvan ports: {error}")
        return None, "cannot open (see above)"
    try:
        version = att.version
    except NoReply:
        return None, "no answer"
    except PortUnavailable as error:  # it failed as it was asked (unplugged): the search goes on
        warn(f"tolvan ports: {error}")
        return None, "failed (see above)"
    finally:
        att.close()
    return ({"module_version": version.module, "hard_version": version.hardware, "soft_version": version.software},
            f"attenuator, version {version.module}.{version.hardware}.{version.software}")


def usb(info: Any) -> tuple[str | None, str | None]:
    """The USB VID:PID (such as 0403:6001) and serial number pyserial knows for a port, or None."""
    if info is None or info.vid is None or info.pid is None:
        return None, None if info is None else info.serial_number
    return f"{info.vid:04x}:{info.pid:04x}", info.serial_number


def run(session: Session) -> None:
    from serial.tools import list_ports

    args = session.args
    listed = {info.device: info for info in list_ports.comports()}
    names = list(args.ports) or sorted(listed)
    if args.sim:
        names.append(session.simulator_port())
    elif (port := args.port or os.environ.get("TOLVAN_PORT")) and port not in names and not is_address(port):
        names.append(port)  # the port the other commands would use (a server's address is no serial port)
    held_by = holders(names) if names else {}
    session.doc = rows = []
    table = [("port", "description", "usb", "held", "instrument" if args.probe else "")]
    for name in names:
        info = listed.get(name)
        missing = info is None and name.startswith("/") and not os.path.exists(name)
        description = info.description if info is not None else "no such device" if missing else None
        vid_pid, serial_number = usb(info)
        holding = None if held_by is None else held_by.get(os.path.realpath(name), [])
        row: dict[str, Any] = {"port": shown(name), "description": description, "vid_pid": vid_pid,
                               "serial_number": serial_number, "held": None if holding is None else bool(holding),
                               "holders": holding, "instrument": None}
        rows.append(row)
        if args.probe and holding == [] and not missing:
            row["instrument"], found = probe(session, name)
        else:
            found = "" if not args.probe else "not probed: no such device" if missing else (
                "not probed: held" if holding else "not probed: who holds it is unknown")
        state = ("unknown (no lsof)" if holding is None else
                 "by " + ", ".join(holder["name"] if holder["pid"] is None else f"{holder['name']} (pid {holder['pid']})"
                                   for holder in holding) if holding else "free")
        shown_usb = " ".join(part for part in (vid_pid, serial_number) if part) or "-"
        table.append((shown(name), description or "-", shown_usb, state, found))
    if names:
        session.table(table)
    else:
        session.say("no serial ports found (give the port names: tolvan ports PORT...)")
