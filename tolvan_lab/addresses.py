"""The address of a `tolvan serve --scpi`, which any tool takes in place of a serial port:
scpi://HOST[:PORT]. Standard library only, and light: the command line checks an address
before anything else is imported."""

from __future__ import annotations

from tolvan_lab.errors import shown

SCHEME = "scpi://"
DEFAULT_PORT = 5025
EXAMPLE = "scpi://127.0.0.1:5025"


def is_address(port: str) -> bool:
    """Whether `port` names a server (scpi://..., in any case) rather than a serial port."""
    return port[:len(SCHEME)].lower() == SCHEME


def address(text: str) -> tuple[str, int]:
    """The host and TCP port of `scpi://HOST[:PORT]` (default port 5025; an IPv6 host in brackets);
    ValueError, saying what is wrong, for anything else."""
    from urllib.parse import urlsplit

    said = repr(shown(text))
    if not is_address(text):
        raise ValueError(f"{said} is no server address: write scpi://HOST[:PORT], such as {EXAMPLE}")
    try:
        parts = urlsplit(text)
        port = parts.port
    except ValueError as error:  # a port that is no number or out of range, a bracket left open
        raise ValueError(f"{said}: {error}; write scpi://HOST[:PORT], such as {EXAMPLE}") from None
    if parts.path not in ("", "/") or parts.query or parts.fragment or "@" in parts.netloc:
        raise ValueError(f"{said}: a server address is scpi://HOST[:PORT], with nothing after the port")
    if not parts.hostname:
        raise ValueError(f"{said} names no host: write scpi://HOST[:PORT], such as {EXAMPLE}")
    if port == 0:
        raise ValueError(f"{said}: port 0 is no server's port")
    return parts.hostname, DEFAULT_PORT if port is None else port
