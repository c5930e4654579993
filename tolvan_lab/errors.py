"""The exceptions of the instrument layer: each names the port, the command and what to do."""

from __future__ import annotations


def shown(name: str) -> str:
    """A port name fit for any terminal: bytes that are not UTF-8 (a path read with
    surrogateescape) appear as \\xNN instead of failing the print."""
    return name.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")


class InstrumentError(Exception):
    """Something between this program and the instrument went wrong; `port` names the port."""

    def __init__(self, message: str, *, port: str | None = None, command: str | None = None) -> None:
        super().__init__(message)
        self.port = port
        self.command = command

    def __str__(self) -> str:
        return str(self.args[0]) if self.args else ""


class NoReply(InstrumentError, TimeoutError):
    """The instrument did not answer a command, or what came was not the answer to it."""


class PortUnavailable(InstrumentError, OSError):
    """The port is missing, held by another program, not permitted, or failed while in use.

    `holders` lists the programs holding it, as "name (pid N)", where lsof could tell.
    """

    def __init__(self, message: str, *, port: str | None = None, command: str | None = None,
                 holders: tuple[str, ...] = ()) -> None:
        super().__init__(message, port=port, command=command)
        self.holders = holders


class NotSupported(ValueError):
    """A wavelength the channel does not have; `supported` lists the ones it has (nm)."""

    def __init__(self, channel: int, nm: object, supported: tuple[int, ...]) -> None:
        listed = ", ".join(map(str, supported)) or "none"
        super().__init__(f"channel {channel} does not support {nm} nm; it supports {listed}")
        self.channel, self.supported = channel, supported
