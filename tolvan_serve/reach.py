"""Who may reach the SCPI face: the allowed networks, matched however an address is written, and
what the log says about an address the server listens on."""

from __future__ import annotations

import ipaddress
from collections.abc import Iterable
from typing import Any

Address = ipaddress.IPv4Address | ipaddress.IPv6Address
Network = ipaddress.IPv4Network | ipaddress.IPv6Network

LOOPBACK: tuple[Network, ...] = (ipaddress.ip_network("127.0.0.0/8"), ipaddress.ip_network("::1/128"))
ALLOW_REPLACES = ("--allow CIDR replaces this list, loopback included: give --allow 127.0.0.0/8 as well to keep "
                  "this computer's clients")


def client_address(peer: Any) -> Address | None:
    """The address of a peer as the socket gives it ((host, port, ...)), without an IPv6 zone."""
    try:
        return ipaddress.ip_address(str(peer[0]).partition("%")[0])
    except (TypeError, ValueError, IndexError):
        return None


def _forms(address: Address) -> tuple[Address, ...]:
    """An address and its other spelling: 10.0.0.7 is also ::ffff:10.0.0.7, and the reverse."""
    if isinstance(address, ipaddress.IPv4Address):
        return address, ipaddress.IPv6Address(f"::ffff:{address}")
    if address.ipv4_mapped is not None:
        return address, address.ipv4_mapped
    return (address,)


def allows(networks: Iterable[Network], address: Address | None) -> bool:
    """Whether `address` lies in one of `networks`, each side written as IPv4 or IPv4-mapped IPv6."""
    if address is None:
        return False
    forms = _forms(address)
    return any(form in network for network in networks for form in forms if form.version == network.version)


def reach_warning(listening: Iterable[Address], allowed: tuple[Network, ...]) -> str | None:
    """What the log should say about serving SCPI on the addresses `listening` to `allowed`, if anything."""
    addresses = tuple(listening)
    on_loopback = all(address.is_loopback or any(form.is_loopback for form in _forms(address))
                      for address in addresses)
    others_allowed = not all(network.is_loopback or _mapped_loopback(network) for network in allowed)
    shown = ", ".join(map(str, allowed))
    if not on_loopback and others_allowed:
        return f"SCPI has no authentication: any program at an allowed address ({shown}) can change the light"
    if not on_loopback:
        return (f"SCPI listens on {', '.join(map(str, addresses))}, but only this computer's own clients are "
                f"allowed ({shown}); {ALLOW_REPLACES}")
    if others_allowed:
        return (f"SCPI listens on the loopback address {', '.join(map(str, addresses))} only: the --allow "
                f"addresses ({shown}) cannot reach it; --scpi 0.0.0.0:PORT listens on every interface")
    return None


def _mapped_loopback(network: Network) -> bool:
    return (isinstance(network, ipaddress.IPv6Network) and network.prefixlen >= 104
            and network.network_address.ipv4_mapped is not None and network.network_address.ipv4_mapped.is_loopback)
