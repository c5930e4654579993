"""Reply frames: which bytes on the line form a frame, which frame answers which request, and
the frame log on `logging`.

A reply frame has the request's layout: 0x7B, the channel, a length byte (the frame's length
less 2), the two command bytes, the payload, a checksum that brings the sum of every byte but
the last to a multiple of 256, and 0x7D. A frame answers a request when it carries the
request's channel and command bytes and is as long as that command's reply must be for the
driver to decode it.
"""

from __future__ import annotations

import logging
import time

START, END = 0x7B, 0x7D
SHORTEST = 7  # start, channel, length, two command bytes, checksum, end

# Command bytes of the requests whose replies the driver decodes at fixed offsets.
VERSION = b"\x00\x03"
WAVELENGTHS = b"\x07\x2e"
STATUS = b"\x14\x36"
READS = (VERSION, WAVELENGTHS, STATUS)  # the requests that change nothing on the instrument

log = logging.getLogger("tolvan_lab.frames")


def find_frames(line: bytes | bytearray) -> list[tuple[int, int]]:
    """Where the well-formed frames in `line` lie, in order, as (start, end) slices.

    A 0x7B that opens no well-formed frame is noise (or a frame still arriving), and the
    search goes on at the next byte: noise cannot hide a frame behind it.
    """
    found: list[tuple[int, int]] = []
    at = 0
    while (at := line.find(START, at)) >= 0 and at + 2 < len(line):
        end = at + line[at + 2] + 2
        if end <= len(line) and well_formed(line[at:end]):
            found.append((at, end))
            at = end
        else:
            at += 1
    return found


def arriving_from(line: bytes | bytearray) -> int:
    """Where, after the last well-formed frame in `line`, a frame may have begun that has not
    all arrived yet (its length byte asks for more than is there); len(line) when none may have."""
    found = find_frames(line)
    at = found[-1][1] if found else 0
    while (at := line.find(START, at)) >= 0:
        if at + 2 >= len(line) or at + line[at + 2] + 2 > len(line):
            return at
        at += 1
    return len(line)


def well_formed(frame: bytes | bytearray) -> bool:
    return (len(frame) >= SHORTEST and frame[0] == START and frame[-1] == END
            and frame[2] + 2 == len(frame) and sum(frame[:-1]) & 0xFF == 0)


def is_read(request: bytes) -> bool:
    return bytes(request[3:5]) in READS


def answers(request: bytes, frame: bytes) -> bool:
    """Whether the well-formed `frame` is the reply to `request`: same channel and command bytes,
    and, for the replies the driver decodes, the length it needs."""
    if frame[1] != request[1] or frame[3:5] != request[3:5]:
        return False
    command = request[3:5]
    if command == VERSION:
        return len(frame) == 10
    if command == WAVELENGTHS:
        return len(frame) == 8 + 2 * frame[5]
    if command == STATUS:
        return len(frame) >= 12
    return True


def hex_bytes(data: bytes | bytearray) -> str:
    return data.hex(" ").upper()


def note(port: str, event: str, data: bytes | bytearray | None = None, why: str = "") -> None:
    """One record on the `tolvan_lab.frames` logger (DEBUG): the monotonic time, the port, what
    happened (opened, sent, withheld, received, discarded, received nothing, closed), the bytes in hex and,
    for a discard, why. The record carries them as `tolvan_time`, `tolvan_port`, `tolvan_event`,
    `tolvan_frame` and `tolvan_why` for handlers that lay them out themselves."""
    if not log.isEnabledFor(logging.DEBUG):
        return
    now = time.monotonic()
    shown = "" if data is None else hex_bytes(data)
    log.debug("%.6f %s %s%s%s", now, port, event, f" {shown}" if shown else "", f" ({why})" if why else "",
              extra={"tolvan_time": now, "tolvan_port": port, "tolvan_event": event,
                     "tolvan_frame": None if data is None else bytes(data), "tolvan_why": why})
