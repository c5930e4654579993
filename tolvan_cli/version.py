"""tolvan --version: what runs, as a bug report needs it."""

from __future__ import annotations

import os
import shutil
import sys


def shown(name: str) -> str:
    """A path fit for any terminal (tolvan_lab.errors.shown, which a broken installation may lack)."""
    return name.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")


def describe() -> str:
    lines = []
    try:
        import tolvan_lab

        lines.append(f"tolvan {tolvan_lab.__version__}")
    except ImportError as error:  # a broken installation: say so, and go on with the rest
        lines.append(f"tolvan: cannot import tolvan_lab: {error}")
    try:
        import tolvan

        lines.append(f"driver   {shown(str(tolvan.__file__))}")
    except ImportError as error:
        lines.append(f"driver   cannot be imported: {error}")
    try:
        import serial

        lines.append(f"pyserial {serial.__version__} ({shown(os.path.dirname(str(serial.__file__)))})")
    except ImportError as error:
        lines.append(f"pyserial cannot be imported: {error}")
    lines.append(f"Python   {sys.version.split()[0]} ({sys.implementation.name}, {shown(sys.executable)}) "
                 f"on {sys.platform}")
    if sys.platform == "win32":
        lines.append("lsof     not used on Windows")
    else:
        found = shutil.which("lsof")
        lines.append(f"lsof     {shown(found)}" if found else
                     "lsof     not found: the driver cannot tell whether a port is free and refuses to open "
                     "it; install lsof (Debian, Ubuntu: sudo apt-get install lsof)")
    return "\n".join(lines)
