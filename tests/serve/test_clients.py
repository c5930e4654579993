"""Many clients at once, and clients that misbehave: every set arrives once and in each client's
order; garbage, long lines and a client that never reads neither stop the server nor slow the
others; only the allowed addresses, and at most 32 clients, get in."""

from __future__ import annotations

import threading
import time

import pytest

from .conftest import errors

hypothesis = pytest.importorskip("hypothesis")
st = hypothesis.strategies


def test_many_clients_setting_their_channels_each_set_arrives_once_in_order(instrument, serve, visa):
    clients, sets = 6, 4
    sim = instrument("--channels", str(clients))
    server = serve(sim.port, "--scpi", "127.0.0.1:0", "--channels", str(clients))
    sessions = [visa(server.scpi_port, timeout_ms=30000) for _ in range(clients)]
    wanted = {ch: [ch * 1000 + step * 10 for step in range(sets)] for ch in range(1, clients + 1)}  # mdB
    together = threading.Barrier(clients)
    problems: list[str] = []

    def client(ch: int) -> None:
        session = sessions[ch - 1]
        together.wait()
        for mdb in wanted[ch]:  # sent without waiting: the server keeps them in order
            session.write(f"INP{ch}:ATT {mdb}MDB")
        if session.query("*OPC?") != "1" or session.query(f"INP{ch}:ATT?") != f"{wanted[ch][-1] / 1000:.2f}":
            problems.append(f"channel {ch}: not at its last value")
        problems.extend(f"channel {ch}: {entry}" for entry in errors(session))

    threads = [threading.Thread(target=client, args=(ch,)) for ch in range(1, clients + 1)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert problems == []
    arrived = [c for c in sim.commands() if c.name == "set_attenuation"]
    for ch in wanted:
        assert [c.value for c in arrived if c.channel == ch] == wanted[ch]
    # Fair turns: no client waits while another has all its sets sent.
    assert {c.channel for c in arrived[:2 * clients]} == set(wanted)


def test_random_bytes_never_stop_the_server_nor_reach_the_instrument(instrument, serve, line):
    sim = instrument()
    server = serve(sim.port)
    port = server.scpi_port

    @hypothesis.settings(max_examples=60, deadline=None, derandomize=True,
                         suppress_health_check=list(hypothesis.HealthCheck))
    @hypothesis.given(st.lists(st.binary(max_size=300) | st.sampled_from(
        [b"\xff\xfe*IDN?", b"INP1:ATT 3\x00.5", b"\r\r\r", b";;;;", b"INP1:ATT 3;;\xe2\x82\xac", b"*" * 200,
         b"INP99999999999999999999:ATT?", b"INP1:ATT 1" + b"0" * 250, b":" * 100]), max_size=8))
    def garbage(chunks: list[bytes]) -> None:
        client = line(port)
        client.send(b"\n".join(chunks) + b"\n")
        client.send(b"\n*CLS\nSYST:CHAN:COUN?;:INP1:WAV:LIST?\n")
        deadline = time.monotonic() + 10
        while client.read_line(timeout=max(deadline - time.monotonic(), 0.01)) != "4;1310,1490,1550":
            pass  # answers to what the garbage happened to ask
        client.close()

    garbage()
    assert sim.refused() == []  # the instrument was sent no frame it could not take
    assert [c for c in sim.commands() if c.name == "set_attenuation"] == []
    assert "SCPI: refused" not in server.log()


def test_a_line_longer_than_4_kib_closes_that_connection_only(instrument, serve, line):
    sim = instrument()
    server = serve(sim.port)
    longest = line(server.scpi_port)
    assert longest.query("*OPC?" + " " * (4096 - 5)) == "1"  # 4096 bytes before the LF: taken
    too_long = line(server.scpi_port)
    too_long.send(b"*OPC?" + b" " * 4092 + b"\n")
    assert too_long.closed_by_server()
    server.wait_for(r"disconnected \(it sent a line longer than 4096 bytes\)")
    assert longest.query("*OPC?") == "1"


def test_a_client_that_never_reads_is_dropped_without_slowing_the_others(instrument, serve, line, visa):
    sim = instrument()
    server = serve(sim.port)
    other = visa(server.scpi_port, timeout_ms=10000)
    deaf = line(server.scpi_port, receive_buffer=4096)
    queries = ("*OPC?;" * 680).encode() + b"\n"  # 4080 bytes asking for 1360 bytes of answers

    def flood() -> None:
        try:
            for _ in range(200):  # up to 270 KiB of answers, far more than the 64 KiB allowed
                deaf.send(queries)
        except OSError:
            pass  # dropped, as it should be

    def slowest_query(while_true) -> float:
        slowest = 0.0
        while True:
            began = time.monotonic()
            assert other.query("INP1:ATT?") == "0.00"
            slowest = max(slowest, time.monotonic() - began)
            if not while_true():
                return slowest

    calm = [time.monotonic() + 1]
    alone = slowest_query(lambda: time.monotonic() < calm[0])
    flooding = threading.Thread(target=flood)
    flooding.start()
    flooded = slowest_query(flooding.is_alive)
    flooding.join()
    # A server that waited on the client that does not read would keep the other waiting for good.
    assert flooded < max(1.0, 3 * alone), (alone, flooded)
    server.wait_for(r"disconnected \(64 KiB of its responses were left unread\)")
    assert deaf.closed_by_server()


def test_only_allowed_addresses_and_at_most_32_clients_get_in(instrument, serve, line):
    sim = instrument()
    server = serve(sim.port, "--scpi", "127.1:0", "--allow", "127.0.0.1/32")  # loopback, written short
    assert "SCPI listens" not in server.log() and "no authentication" not in server.log()
    stranger = line(server.scpi_port, source="127.0.0.2")  # loopback, but not in the allowed network
    assert stranger.closed_by_server()
    server.wait_for(r"refused 127\.0\.0\.2:\d+: not an allowed address \(allowed: 127\.0\.0\.1/32")
    clients = [line(server.scpi_port) for _ in range(32)]
    assert all(client.query("*OPC?") == "1" for client in clients)
    one_too_many = line(server.scpi_port)
    assert one_too_many.closed_by_server()
    server.wait_for(r"refused 127\.0\.0\.1:\d+: 32 clients are connected already")
    clients.pop().close()
    server.wait_for(r"disconnected \(it closed the connection\)")
    mark = len(server.lines)
    assert line(server.scpi_port).query("*OPC?") == "1"  # a place is free again
    server.wait_for(r"client \S+ connected \(32 of 32\)", after=mark)
