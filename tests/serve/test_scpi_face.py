"""Who reaches the SCPI face, and who keeps a place: the allow-list however an address is written
(in memory), and the face itself in this process on real loopback sockets, with a stand-in owner."""

from __future__ import annotations

import asyncio
import ipaddress
import logging

import pytest

from tolvan_serve.reach import LOOPBACK, allows, reach_warning
from tolvan_serve.scpi import MAX_CLIENTS, ScpiServer

ALLOWED = [  # (--allow entries, client address, served)
    (["::ffff:10.0.0.0/104"], "10.1.2.3", True),
    (["::ffff:10.0.0.7"], "10.0.0.7", True),
    (["10.0.0.0/8"], "::ffff:10.1.2.3", True),
    (["10.0.0.0/8"], "::ffff:11.0.0.1", False),
    (["10.0.0.0/8"], "11.0.0.1", False),
    (["::1"], "127.0.0.1", False),
    (["2001:db8::/32"], "2001:db8::5", True),
    (None, "127.0.0.2", True),  # the default: all of loopback, however written
    (None, "::ffff:127.0.0.2", True),
    (None, "::1", True),
    (None, "10.0.0.1", False),
]


@pytest.mark.parametrize("entries, client, served", ALLOWED)
def test_allow_entries_match_a_client_however_its_address_is_written(entries, client, served):
    networks = LOOPBACK if entries is None else [ipaddress.ip_network(entry) for entry in entries]
    assert allows(networks, ipaddress.ip_address(client)) is served


REACH = [  # (addresses listened on, --allow entries, the warning's telling words or None)
    (["127.0.0.1"], None, None),
    (["127.0.0.1", "::1"], None, None),
    (["::ffff:127.0.0.1"], ["::ffff:127.0.0.0/104"], None),
    (["0.0.0.0"], None, "only this computer's own clients"),
    (["0.0.0.0"], ["192.168.1.0/24"], "no authentication"),
    (["127.0.0.1"], ["192.168.1.0/24"], "cannot reach it"),
]


@pytest.mark.parametrize("listening, entries, words", REACH)
def test_the_reach_warning(listening, entries, words):
    networks = LOOPBACK if entries is None else tuple(ipaddress.ip_network(entry) for entry in entries)
    warning = reach_warning(map(ipaddress.ip_address, listening), networks)
    assert (warning is None) if words is None else (words in (warning or "")), warning


class StandIn:
    """The owner as the face sees it, for commands answered without the instrument."""

    port = "sim"
    channels = (1, 2, 3, 4)


async def _query(reader: asyncio.StreamReader, writer: asyncio.StreamWriter, line: bytes) -> bytes:
    writer.write(line)
    return await asyncio.wait_for(reader.readline(), 10)


async def _closed(reader: asyncio.StreamReader) -> bool:
    try:
        return await asyncio.wait_for(reader.read(), 10) == b""
    except ConnectionError:
        return True


def test_loopback_written_short_and_a_second_loopback_address_are_served_by_default():
    async def main() -> None:
        server = ScpiServer(StandIn(), "127.1", 0)  # the default allow-list
        await server.start()
        try:
            assert reach_warning(server.listening(), server.allow) is None
            reader, writer = await asyncio.open_connection("127.0.0.1", server.port, local_addr=("127.0.0.2", 0))
            assert await _query(reader, writer, b"*OPC?;*STB?\n") == b"1;16\n"
            writer.close()
        finally:
            await server.stop()

    asyncio.run(main())


def test_a_newcomer_takes_the_place_of_a_client_silent_for_a_minute_when_all_are_taken(caplog):
    caplog.set_level(logging.INFO, logger="tolvan_serve")

    async def main() -> None:
        server = ScpiServer(StandIn(), "127.0.0.1", 0)
        await server.start()
        try:
            clients = [await asyncio.open_connection("127.0.0.1", server.port) for _ in range(MAX_CLIENTS)]
            for reader, writer in clients:
                assert await _query(reader, writer, b"*OPC?\n") == b"1\n"
            refused = await asyncio.open_connection("127.0.0.1", server.port)
            assert await _closed(refused[0])  # nobody silent for a minute yet
            again = await asyncio.open_connection("127.0.0.1", server.port)
            assert await _closed(again[0])
            loop = asyncio.get_running_loop()
            silent = sorted(server.sessions, key=lambda session: session.name)
            silent[0].heard = loop.time() - 61  # as if a minute had passed
            silent[1].heard = loop.time() - 75  # the longest silent
            newcomer = await asyncio.open_connection("127.0.0.1", server.port)
            assert await _query(*newcomer, b"*OPC?\n") == b"1\n"
            gone = [client for client in clients
                    if silent[1].name.endswith(f":{client[1].get_extra_info('sockname')[1]}")]
            assert len(gone) == 1 and await _closed(gone[0][0])
            for reader, writer in clients:
                if (reader, writer) != gone[0]:
                    assert await _query(reader, writer, b"*OPC?\n") == b"1\n"
            for _, writer in [*clients, newcomer]:
                writer.close()
        finally:
            await server.stop()

    asyncio.run(main())
    said = [record.getMessage() for record in caplog.records]
    assert len([line for line in said if "32 clients are connected already" in line]) == 1, said  # once, not twice
    taken = [line for line in said if "places were taken" in line]
    assert len(taken) == 1 and "silent for 75 s" in taken[0] and "its place went to 127.0.0.1:" in taken[0], said
