"""The driver's `ser`, checked: a stand-in for the pyserial port that hands the driver only the
reply that answers the request it has just written.

The driver writes a request, pauses 0.2 s, and decodes whatever bytes are waiting. Standing
where the driver looks for its port, this class discards what was waiting before each request,
and when the driver asks what has arrived, it offers only a well-formed frame answering that
request (the last one, if several came), waiting for it up to `reply_timeout` after the write.
Anything else is discarded and logged; the driver then sees nothing waiting, and the command
counts as not answered.

A request that got no answer in time may still get one later, and that late reply carries the
same channel and command bytes as the next request of its kind. So once a request went
unanswered, the line is out of step: no reply is trusted again until one proves the line is
back in step, and until then only a read whose reply cannot be confused with any still owed is
sent (`may_send`); every other request is withheld, unsent. The instrument answers in order, so
when such a read is answered, every reply owed before it has come or never will. A late reply
seen meanwhile settles the request it answers. A late reply is thus never decoded as the answer
to a later command, and a late acknowledgement never confirms a set.
"""

from __future__ import annotations

import os
import select
import sys
import time
from typing import Any

import serial

from tolvan_lab import frames


class CheckedPort:
    def __init__(self, port: Any, name: str, reply_timeout: float) -> None:
        self.port = port  # the pyserial object
        self.name = name
        self.reply_timeout = reply_timeout
        self._line = bytearray()  # read from the port, not yet judged
        self._request: bytes | None = None
        self._sent_at = 0.0
        self._answer: bytes | None = None
        # The requests that got no answer in time, whose replies may still come, oldest first.
        self.owed: list[bytes] = []
        # Where the port is a POSIX file descriptor, it is read and waited on directly.
        self._fd: int | None = port.fileno() if sys.platform != "win32" and hasattr(port, "fileno") else None

    # -- what the driver calls -------------------------------------------------------------

    def write(self, data: Any) -> Any:
        request = bytes(data)
        self._discard_waiting()
        self._request, self._answer = None, None
        if not self.may_send(request):
            frames.note(self.name, "withheld", request, "an earlier command's reply may still come")
            return len(request)
        self._request = request
        frames.note(self.name, "sent", request)
        self._sent_at = time.monotonic()
        return self.port.write(request)

    def inWaiting(self) -> int:
        if self._request is not None:
            self._answer = self._await_answer(self._request)
            if self._answer is None:
                self.owed.append(self._request)
            else:  # answered in order: every reply owed before it has come, or never will
                self.owed.clear()
            self._request = None
        return len(self._answer) if self._answer is not None else 0

    @property
    def in_waiting(self) -> int:
        return self.inWaiting()

    def read(self, size: int = 1) -> bytes:
        answer = self._answer or b""
        self._answer = answer[size:] or None
        return answer[:size]

    def close(self) -> None:
        self._request = self._answer = None
        try:
            self.port.close()
        finally:
            frames.note(self.name, "closed")

    def __getattr__(self, name: str) -> Any:  # fileno, timeout, is_open and the rest
        return getattr(self.port, name)

    # -- in step ---------------------------------------------------------------------------

    @property
    def in_step(self) -> bool:
        """Whether every request sent has had its answer: no late reply can come."""
        return not self.owed

    def owes(self, channel: int, command: bytes) -> bool:
        """Whether a reply with this channel and these command bytes may still come late."""
        return any(owed[1] == channel and owed[3:5] == command for owed in self.owed)

    def may_send(self, request: bytes) -> bool:
        """Whether `request` may go out now: the line is in step, or it is a read (it changes
        nothing) whose reply no owed reply could be taken for."""
        return self.in_step or (frames.is_read(request) and not self.owes(request[1], bytes(request[3:5])))

    def await_late_replies(self) -> None:
        """Waits up to `reply_timeout` for the replies still owed, each settling its request;
        whatever else arrives is discarded (logged)."""
        deadline = time.monotonic() + self.reply_timeout
        while self.owed and (remaining := deadline - time.monotonic()) > 0:
            self._wait_for_bytes(remaining)
            self._discard_waiting()

    def _settle(self, frame: bytes) -> str:
        """A frame that answers no request just sent: if it is the late reply to an owed request,
        that one is owed no more. Why it is discarded, for the log."""
        for at, owed in enumerate(self.owed):
            if frames.answers(owed, frame):
                del self.owed[at]
                return "a late reply to an earlier request"
        return ""

    # -- the line --------------------------------------------------------------------------

    def _take(self, ready: bool = False) -> None:
        """Moves what has arrived from the port into the line. `ready`: select said there is
        something to read."""
        if self._fd is None:
            waiting = self.port.in_waiting
            if waiting:
                self._line += self.port.read(waiting)
            return
        # pyserial keeps a POSIX port non-blocking and buffers nothing itself: direct reads take
        # all that is there and cannot hang, even on a line that another reader shares despite the lock.
        while True:
            try:
                data = os.read(self._fd, 4096)
            except BlockingIOError:
                return
            if ready and not data:  # as pyserial judges it: readable, yet nothing there
                raise serial.SerialException("device reports readiness to read but returned no data "
                                             "(device disconnected or multiple access on port?)")
            self._line += data
            if len(data) < 4096:
                return
            ready = False

    def _discard_waiting(self) -> None:
        """Discards what arrived before a request, logged; the late replies among it settle the
        requests they answer, and while replies are owed, a frame still arriving is kept for the
        same (its first part came before, its rest comes after)."""
        self._take()
        if not self._line:
            return
        used = 0
        for start, end in frames.find_frames(self._line):
            late = self._settle(bytes(self._line[start:end]))
            if late:
                if start > used:
                    frames.note(self.name, "discarded", self._line[used:start], "arrived before the request")
                frames.note(self.name, "discarded", self._line[start:end], f"arrived before the request: {late}")
                used = end
        kept = frames.arriving_from(self._line) if self.owed else len(self._line)
        if used < kept:
            frames.note(self.name, "discarded", self._line[used:kept], "arrived before the request")
        del self._line[:max(used, kept)]

    def _await_answer(self, request: bytes) -> bytes | None:
        deadline = self._sent_at + self.reply_timeout
        while True:
            self._take()
            answer = self._judge(request)
            if answer is not None:
                return answer
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                # The start of a frame still arriving stays: it may be this request's own reply,
                # owed from now on, whose rest will settle it.
                kept = frames.arriving_from(self._line)
                if kept:
                    frames.note(self.name, "discarded", self._line[:kept], "not a whole reply")
                    del self._line[:kept]
                frames.note(self.name, "received nothing", why=f"no answer within {self.reply_timeout:g} s")
                return None
            self._wait_for_bytes(remaining)

    def _judge(self, request: bytes) -> bytes | None:
        """The last frame in the line that answers `request`, with everything before it discarded
        (logged); None when there is none yet."""
        answer = None
        used = 0
        for start, end in frames.find_frames(self._line):
            if start > used:
                frames.note(self.name, "discarded", self._line[used:start], "noise")
            frame = bytes(self._line[start:end])
            if frames.answers(request, frame):
                if answer is not None:
                    frames.note(self.name, "discarded", answer, "a later answer came")
                answer = frame
            else:
                frames.note(self.name, "discarded", frame, self._settle(frame) or "not the answer to the request")
            used = end
        del self._line[:used]
        if answer is not None:
            frames.note(self.name, "received", answer)
        return answer

    def _wait_for_bytes(self, timeout: float) -> None:
        if self._fd is None:
            time.sleep(min(timeout, 0.005))
        elif select.select([self._fd], [], [], timeout)[0]:
            self._take(ready=True)
