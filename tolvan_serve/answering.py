"""Whether the instrument answers, judged from the outcome of each command: the transitions the
owner tells its faces and writes in its log, apart from the thread and the wire.

A command without a reply makes the instrument "not answering"; the next command answered makes
it "answering" again. A channel that goes unanswered again while the instrument answers otherwise
(a channel it lacks: `--channels 5` on four) changes nothing more: it was said once, and a poll
of it every few seconds must not turn the instrument off and on, in the log and on every face.
"""

from __future__ import annotations

from collections.abc import Hashable


class Answering:
    def __init__(self) -> None:
        self.online: bool | None = None  # unknown until the first command or open
        # What went unanswered while the instrument was answering: a channel's number, or the
        # name of a command that names none.
        self._silent: set[Hashable] = set()

    def answered(self, what: Hashable) -> bool:
        """A command to `what` was answered; True when the instrument now starts answering."""
        self._silent.discard(what)
        if self.online:
            return False
        self.online = True
        return True

    def unanswered(self, what: Hashable) -> bool:
        """A command to `what` went unanswered; True when the instrument now stops answering."""
        if what in self._silent or self.online is False:
            return False  # said already (while the instrument is silent, a failure tells nothing new)
        self._silent.add(what)
        self.online = False
        return True

    def closed(self) -> bool:
        """The port is closed (gone, or it cannot be opened); True when that stops the instrument
        answering. What answers after the port opens again may be another instrument."""
        self._silent.clear()
        if self.online is False:
            return False
        self.online = False
        return True
