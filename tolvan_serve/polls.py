"""When the owner reads a channel's status in the background: a schedule of plain numbers (seconds
of time.monotonic()), kept apart from the thread that follows it.

Every channel is read once per `period`, the channels spread over it. A channel whose state was
just told (a client read it, or an acknowledgement said what it now holds) is not read again until
a period after that. A poll waits until the line has been quiet for QUIET seconds: a client that
sends one command after another sends the next one sooner, and must not find a poll on the wire
before it. A line kept busy by clients delays a poll by YIELD_PERIODS periods at the most: every
channel is still read at least once in five periods, and a client that queries without a pause
meets a poll on the wire only about once in 17 of its queries (one channel queried, three polled).
"""

from __future__ import annotations

from collections.abc import Iterable

QUIET = 0.05
YIELD_PERIODS = 4


class PollSchedule:
    def __init__(self, channels: Iterable[int], period: float) -> None:
        self.period = period
        self._due = dict.fromkeys(channels, 0.0)
        self._quiet_since = 0.0

    def restart(self, now: float) -> None:
        """The port has opened: every channel is read within one period, the first at once."""
        step = self.period / len(self._due)
        self._due = {ch: now + i * step for i, ch in enumerate(self._due)}

    def told(self, ch: int, now: float) -> None:
        """What `ch` holds was just read or acknowledged (a poll counts as told when it starts)."""
        if ch in self._due:
            self._due[ch] = now + self.period

    def busy(self, now: float) -> None:
        """The line carried a client's request until `now`."""
        self._quiet_since = now

    def next(self) -> tuple[float, int]:
        """When the next poll starts, and the channel it reads."""
        ch = min(self._due, key=self._due.__getitem__)
        due = self._due[ch]
        return min(max(due, self._quiet_since + QUIET), due + YIELD_PERIODS * self.period), ch
