"""Which HTTP requests come from the panel's own page: the rule against other web sites.

A browser sends any site's requests to any address, loopback included, with the user's network
reach. Two checks keep other sites off the instrument:

- the Host header names this server by an address or by a name the server knows (localhost,
  the name it listens on, this computer's names): a site whose own name was made to resolve to
  this server (DNS rebinding) is refused, so it can neither read the page nor drive it;
- a request that changes something, and the WebSocket handshake, carry an Origin that is the
  page's own (http://HOST as the Host header says), which a browser sets and a page cannot.

Pure functions of the headers; the HTTP face applies them to every request.
"""

from __future__ import annotations

import ipaddress
import urllib.parse

DEFAULT_PORT = 80


def split_host(text: str) -> tuple[str, int] | None:
    """("127.0.0.1", 8080) from a Host header such as 127.0.0.1:8080, [::1]:8080 or lab-pc;
    None when it is no host."""
    text = text.strip()
    if not text or len(text) > 255:
        return None
    try:
        parts = urllib.parse.urlsplit(f"//{text}")
        host, port = parts.hostname, parts.port
    except ValueError:
        return None
    if not host or parts.path or parts.query or parts.fragment or parts.username is not None:
        return None
    return host.lower(), DEFAULT_PORT if port is None else port


def host_allowed(header: str | None, names: set[str]) -> bool:
    """Whether a Host header names this server: an address, localhost, or one of `names` (lower case)."""
    found = split_host(header or "")
    if found is None:
        return False
    host = found[0]
    if host == "localhost" or host in names:
        return True
    try:
        ipaddress.ip_address(host)
    except ValueError:
        return False
    return True


def same_origin(origin: str | None, host: str | None) -> bool:
    """Whether `origin` (an Origin header) is the page served under the Host header `host`."""
    if not origin or not host:
        return False
    try:
        parts = urllib.parse.urlsplit(origin)
        port = parts.port
    except ValueError:
        return False
    if parts.scheme.lower() != "http" or not parts.hostname or parts.path not in ("", "/"):
        return False
    return (parts.hostname.lower(), DEFAULT_PORT if port is None else port) == split_host(host)
