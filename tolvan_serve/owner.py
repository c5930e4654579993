"""The thread that owns the instrument: the only caller of its Attenuator.

Every face (SCPI, EPICS) submits its requests here and waits on a Future; the thread runs them
one at a time, in the order they came. Background work (reading the instrument's state after the
port opens, the EPICS polls) runs only while no request waits, one command at a time, so a
request waits at most for the one command already on the wire; a poll waits for a quiet line and
skips a channel whose state was just told (tolvan_serve.polls). When the port fails (an adapter
unplugged), the thread tries to open it again every `reopen_every` seconds; requests meanwhile
fail at once with PortUnavailable.

Listeners hear, in this thread, what the instrument was seen to hold (tolvan_serve.events): every
status read and every acknowledged change, whichever face asked for it.
"""

from __future__ import annotations

import collections
import logging
import os
import queue
import threading
import time
from collections.abc import Callable
from concurrent.futures import Future
from decimal import Decimal
from typing import Any, NamedTuple, TypeVar

from tolvan_lab import Attenuator, ChannelStatus, InstrumentError, NoReply, PortUnavailable, Version, units
from tolvan_lab.errors import NotSupported, shown
from tolvan_serve.answering import Answering
from tolvan_serve.events import ChannelSeen, Event, Online, VersionRead, WavelengthsRead
from tolvan_serve.polls import PollSchedule
from tolvan_serve.refusals import Busy, SettingsConflict

log = logging.getLogger("tolvan_serve")

T = TypeVar("T")

REOPEN_EVERY = 2.0
# More than every SCPI client (32) and every EPICS record put (one each while it is busy) can
# have waiting at once: a full queue is a fault of the server, reported as one.
QUEUE_LIMIT = 1024


def _on_channel(ch: int, work: Callable[[Attenuator], T]) -> Callable[[Attenuator], T]:
    """`work`, marked as a command to channel `ch` (whether the instrument answers is judged per channel)."""
    work.channel = ch  # type: ignore[attr-defined]
    return work


class _Request(NamedTuple):
    work: Callable[[Attenuator], Any]
    future: Future[Any]


class Owner:
    """Owns `Attenuator(port, channels=channels, retries=0)` in a thread of its own.

    `poll`: seconds in which every channel's status is read once while nothing else waits
    (None: no polls). Start with start(), end with stop(): nothing is sent on the way out.
    """

    def __init__(self, port: str, *, channels: int = 4, poll: float | None = None,
                 reopen_every: float = REOPEN_EVERY) -> None:
        # Every set is sent once: a command without a reply is reported, never sent again.
        self.attenuator = Attenuator(port, channels=channels, retries=0)
        self.port = port
        self.poll = poll
        self.reopen_every = reopen_every
        self._queue: queue.Queue[_Request | None] = queue.Queue(QUEUE_LIMIT)
        self._listeners: list[Callable[[Event], None]] = []
        self._stopping = threading.Event()
        self._thread = threading.Thread(target=self._run, name="tolvan-owner", daemon=True)
        # Only the owner thread touches what follows.
        self._background: collections.deque[Callable[[Attenuator], object]] = collections.deque()
        self._polls = PollSchedule(self.attenuator.channels, poll) if poll is not None else None
        self._next_open = 0.0
        self._answering = Answering()
        self._told: set[object] = set()  # "version" and the channels whose lists listeners have heard since opening
        self._closed_why = "it has not been opened yet"
        # Why the port is closed, while the thread has found it closed and is waiting to open it
        # again (set and cleared by the owner thread; read by any).
        self._closed_why_now: str | None = None
        self._open_failure = ""  # the last reason an open failed, logged once per reason
        self._before_disconnect: dict[int, Decimal] = {}

    @property
    def channels(self) -> tuple[int, ...]:
        return self.attenuator.channels

    def listen(self, listener: Callable[[Event], None]) -> None:
        """Calls `listener(event)` in the owner thread for every event; add listeners before start()."""
        self._listeners.append(listener)

    # -- life --------------------------------------------------------------------------------

    def start(self) -> None:
        self._thread.start()

    def stop(self, timeout: float = 10.0, wait: bool = True) -> None:
        """Ends the thread once the command on the wire (if any) is done, and closes the port.
        Requests still waiting fail with Busy: nothing more is sent. With wait=False, returns at once."""
        self._stopping.set()
        try:
            self._queue.put_nowait(None)  # wakes the thread
        except queue.Full:
            pass  # it is awake: the queue is full
        if wait and self._thread.is_alive():
            self._thread.join(timeout)

    # -- requests (any thread) ---------------------------------------------------------------

    def submit(self, work: Callable[[Attenuator], T]) -> Future[T]:
        """Runs `work(attenuator)` in the owner thread, after the requests submitted before it."""
        future: Future[T] = Future()
        if self._stopping.is_set():
            future.set_exception(Busy("the server is stopping: nothing more is sent", port=self.port))
            return future
        if self._closed_why_now is not None:  # told at once, not after an attempt to open the port
            future.set_exception(self._unavailable(self._closed_why_now))
            return future
        try:
            self._queue.put_nowait(_Request(work, future))
        except queue.Full:
            future.set_exception(Busy(f"the server's queue is full ({QUEUE_LIMIT} requests waiting)", port=self.port))
        return future

    def version(self) -> Future[Version]:
        return self.submit(self._read_version)

    def wavelengths(self, ch: int) -> Future[tuple[int, ...]]:
        return self.submit(self._reader_of_wavelengths(ch))

    def status(self, ch: int) -> Future[ChannelStatus]:
        def work(att: Attenuator) -> ChannelStatus:
            return self._read_status(att, ch)
        return self.submit(_on_channel(ch, work))

    def set_attenuation(self, ch: int, db: Decimal | float) -> Future[None]:
        """Sets the attenuation as given; the layer refuses (ValueError, nothing sent) what the
        instrument cannot hold."""
        def work(att: Attenuator) -> None:
            att[ch].attenuation = db  # type: ignore[assignment]  # the setter's rule takes a Decimal too
            self._before_disconnect.pop(ch, None)
            # What the instrument now holds, in the layer's own steps (0.07000000000000001 was 0.07).
            self._tell(ChannelSeen(ch, None, units.db(units.steps(db)), True))
        return self.submit(_on_channel(ch, work))

    def select(self, ch: int, nm: int | Decimal) -> Future[None]:
        """Selects a wavelength; NotSupported (nothing sent) for one the channel lacks."""
        def work(att: Attenuator) -> None:
            channel, chosen = att[ch], _whole(nm)
            try:
                channel.wavelength = chosen  # type: ignore[assignment]  # refused by the channel unless an int
            except NotSupported:
                raise
            except (TypeError, ValueError):  # the channel's refusal of this wavelength, told as one
                raise NotSupported(ch, nm, channel.wavelengths) from None
            self._tell(ChannelSeen(ch, int(chosen), None, None))
        return self.submit(_on_channel(ch, work))

    def clear(self, ch: int) -> Future[None]:
        def work(att: Attenuator) -> None:
            att[ch].clear()
            self._before_disconnect.pop(ch, None)
            self._tell(ChannelSeen(ch, None, 0.0, True))
        return self.submit(_on_channel(ch, work))

    def disconnect(self, ch: int) -> Future[None]:
        """Disconnects the channel, remembering the attenuation it had (read first) for reconnect()."""
        def work(att: Attenuator) -> None:
            try:
                before = self._read_status(att, ch)
            except NoReply:
                before = None  # the light goes off all the same; reconnect() will not know the value
            if before is not None and before.attenuation_db is not None:
                self._before_disconnect[ch] = Decimal(str(before.attenuation_db))
            elif before is None:
                self._before_disconnect.pop(ch, None)
            att[ch].disconnect()
            self._tell(ChannelSeen(ch, None, None, False))
        return self.submit(_on_channel(ch, work))

    def reconnect(self, ch: int) -> Future[None]:
        """Sets a channel disconnected through this server back to the attenuation it had before;
        nothing to do for a channel found connected (by whatever means); SettingsConflict (nothing
        sent) when unknown."""
        def work(att: Attenuator) -> None:
            if self._read_status(att, ch).connected:
                self._before_disconnect.pop(ch, None)
                return
            before = self._before_disconnect.get(ch)
            if before is None:
                raise SettingsConflict(f"channel {ch} was not disconnected through this server: its attenuation "
                                       f"before is unknown; set one", port=self.port)
            att[ch].attenuation = float(before)
            del self._before_disconnect[ch]
            self._tell(ChannelSeen(ch, None, float(before), True))
        return self.submit(_on_channel(ch, work))

    # -- the thread --------------------------------------------------------------------------

    def _tell(self, event: Event) -> None:
        if isinstance(event, ChannelSeen) and self._polls is not None:
            self._polls.told(event.channel, time.monotonic())
        for listener in self._listeners:
            try:
                listener(event)
            except Exception:  # a face's fault must not stop the instrument's owner
                log.exception("a listener failed on %r", event)

    def _read_status(self, att: Attenuator, ch: int) -> ChannelStatus:
        status = att[ch].status()
        self._tell(ChannelSeen(ch, status.wavelength_nm, status.attenuation_db, status.connected))
        return status

    def _run(self) -> None:
        att = self.attenuator
        try:
            while not self._stopping.is_set():
                if not att.is_open and time.monotonic() >= self._next_open:
                    self._open()
                request = self._next_request()
                if self._stopping.is_set():
                    if request is not None:
                        self._refuse(request)
                    break
                if request is not None:
                    self._serve(request)
                elif att.is_open:
                    self._background_step()
        finally:
            while True:
                try:
                    left = self._queue.get_nowait()
                except queue.Empty:
                    break
                if left is not None:
                    self._refuse(left)
            if att.is_open:
                att.close()
                log.info("instrument: port %s closed", shown(self.port))

    def _refuse(self, request: _Request) -> None:
        if request.future.set_running_or_notify_cancel():
            request.future.set_exception(Busy("the server is stopping: nothing more is sent", port=self.port))

    def _next_request(self) -> _Request | None:
        """The next request, waiting no longer than until background work is due."""
        now = time.monotonic()
        att = self.attenuator
        if not att.is_open:
            wait: float | None = max(self._next_open - now, 0.0)
        elif self._background:
            wait = 0.0
        elif self._polls is not None:
            wait = max(self._polls.next()[0] - now, 0.0)
        else:
            wait = None
        try:
            if wait == 0.0:
                return self._queue.get_nowait()
            return self._queue.get(timeout=wait)
        except queue.Empty:
            return None

    def _serve(self, request: _Request) -> None:
        if not request.future.set_running_or_notify_cancel():
            return
        try:
            if not self.attenuator.is_open:
                raise self._unavailable(self._closed_why)
            result = self._attempt(request.work)
        except BaseException as error:
            request.future.set_exception(error)
        else:
            request.future.set_result(result)
        finally:
            if self._polls is not None:
                self._polls.busy(time.monotonic())

    def _unavailable(self, why: str) -> PortUnavailable:
        return PortUnavailable(f"the port {shown(self.port)} is not open: {why}; the server tries to open it every "
                               f"{self.reopen_every:g} s", port=self.port)

    def _attempt(self, work: Callable[[Attenuator], T]) -> T:
        """Runs `work`, keeping track of whether the instrument answers and whether the port is there."""
        to = getattr(work, "channel", getattr(work, "reads", None))  # what the command went to
        try:
            result = work(self.attenuator)
        except NoReply as error:
            if self._answering.unanswered(to):
                self._went_offline(f"no reply to {error.command or 'a command'}")
            raise
        except PortUnavailable as error:
            self._lost(error)
            raise
        except (ValueError, TypeError, IndexError, InstrumentError):
            raise  # refused before anything was sent, or a refusal the caller reports
        except Exception:
            log.exception("instrument: unexpected failure")
            raise
        if self._answering.answered(to):
            log.info("instrument: answering on %s", shown(self.port))
            self._read_what_is_missing()
            self._tell(Online(True, "it answers"))
        return result

    def _went_offline(self, why: str, quiet: bool = False) -> None:
        """Tells the listeners that the instrument stopped answering (`quiet`: without a log line,
        which the caller has written)."""
        # What answers next may be another instrument behind the same port (one switched off and
        # another on): its version and lists are read again, and told again.
        self._told.clear()
        if not quiet:
            log.warning("instrument: not answering on %s (%s)", shown(self.port), why)
        self._tell(Online(False, why))

    def _read_what_is_missing(self) -> None:
        """Background reads of the version and lists that no listener has heard since the port opened
        or the instrument last answered again (or that failed while it did not answer)."""
        queued = {getattr(step, "reads", None) for step in self._background}
        if "version" not in self._told and "version" not in queued:
            self._background.append(self._read_version)
        for ch in self.channels:
            if ch not in self._told and ch not in queued:
                self._background.append(self._reader_of_wavelengths(ch))

    def _lost(self, error: PortUnavailable) -> None:
        self.attenuator.close()
        self._closed_why = self._closed_why_now = str(error)
        self._next_open = time.monotonic() + self.reopen_every
        self._background.clear()
        log.warning("instrument: port %s failed (%s); trying to open it again every %g s", shown(self.port),
                    error, self.reopen_every)
        if self._answering.closed():
            self._went_offline("the port is gone", quiet=True)

    def _open(self) -> None:
        try:
            if os.name == "posix" and not os.path.exists(self.port):
                # Gone (unplugged): said without the availability check, which runs lsof, which
                # can take seconds on a busy machine while requests wait.
                raise PortUnavailable(f"cannot open {shown(self.port)}: no such port: is the adapter plugged in?",
                                      port=self.port)
            self.attenuator.open()
        except PortUnavailable as error:
            self._next_open = time.monotonic() + self.reopen_every
            self._closed_why = self._closed_why_now = str(error)
            if str(error) != self._open_failure:  # said once, not every few seconds
                self._open_failure = str(error)
                log.warning("instrument: %s; trying again every %g s", error, self.reopen_every)
            if self._answering.closed():
                self._went_offline("the port cannot be opened", quiet=True)
            return
        self._open_failure = ""
        self._closed_why_now = None
        # What the channels held before they were disconnected was another session's (perhaps
        # another instrument's): it is not set again on this one.
        self._before_disconnect.clear()
        log.info("instrument: port %s open", shown(self.port))
        # The state is read again in the gaps between requests: version and lists, then (with
        # polls) the statuses.
        self._told.clear()
        self._background.clear()
        self._read_what_is_missing()
        if self._polls is not None:
            self._polls.restart(time.monotonic())

    def _read_version(self, att: Attenuator) -> Version:
        version = att.version
        if "version" not in self._told:
            self._told.add("version")
            self._tell(VersionRead(version))
        return version

    _read_version.reads = "version"  # type: ignore[attr-defined]

    def _reader_of_wavelengths(self, ch: int) -> Callable[[Attenuator], tuple[int, ...]]:
        def read(att: Attenuator) -> tuple[int, ...]:
            listed = att[ch].wavelengths
            if ch not in self._told:
                self._told.add(ch)
                self._tell(WavelengthsRead(ch, listed))
            return listed
        read.reads = ch  # type: ignore[attr-defined]
        return read

    def _background_step(self) -> None:
        """One command of background work: the state after opening, else the poll that is due."""
        if self._background:
            step = self._background.popleft()
        elif self._polls is not None:
            now = time.monotonic()
            starts, ch = self._polls.next()
            if now < starts:
                return
            self._polls.told(ch, now)  # read once in this period, whether it answers or not

            def step(att: Attenuator) -> None:
                self._read_status(att, ch)
            step.channel = ch  # type: ignore[attr-defined]
        else:
            return
        try:
            self._attempt(step)
        except (InstrumentError, ValueError):
            pass  # told through the events; the next request or poll tries again


def _whole(nm: int | Decimal) -> int | Decimal:
    """A SCPI wavelength (a Decimal) as the int the channel takes, when it is one; judged before
    int(), which would make an int of a billion digits of 1E+999999999."""
    if isinstance(nm, Decimal) and nm.is_finite() and 0 <= nm <= 0xFFFF and nm == nm.to_integral_value():
        return int(nm)
    return nm
