"""Before anything is measured: every driver does what the module does.

Random exchanges, the same for every driver: a command with random arguments
(ints of any size and sign, and values of other types) on a port that answers
random replies (framed or not, lists of any length, garbage). Each driver
must write the same frames and end in the same result or the same exception
with the same text as the module.
"""

import random

from drivers import COMMANDS, INSTANT, set_pause

OTHER_TYPES = [True, 2.0, None, "2", b"\x02"]


class RecordingPort:
    """Answers each write with the next scripted reply; keeps what was written."""

    def __init__(self, *replies):
        self.replies, self.waiting, self.written = list(replies), b"", []

    def write(self, data):
        self.written.append(bytes(data))
        self.waiting += self.replies.pop(0) if self.replies else b""

    def inWaiting(self):
        return len(self.waiting)

    def read(self, size):
        data, self.waiting = self.waiting[:size], self.waiting[size:]
        return data


def outcome(call, *args):
    try:
        return "result", call(*args)
    except Exception as error:  # the comparison is of exceptions too
        return type(error).__name__, str(error)


def random_reply(generator):
    body = bytes(generator.randrange(256) for _ in range(generator.randrange(20)))
    if generator.random() < 0.1:
        return body
    count = generator.randrange(5)
    pairs = bytes(generator.randrange(256) for _ in range(2 * count + generator.randrange(-2, 3)))
    if generator.random() < 0.5:
        return bytes([0x7B, 1, 2, 3, 4, count]) + pairs + bytes([0x7D])
    return b"\x7b" + body + b"\x7d"


def random_argument(generator, usual):
    draw = generator.random()
    if draw < 0.6:
        return usual
    if draw < 0.8:
        return generator.randrange(-300, 70_000)
    if draw < 0.9:
        return generator.choice([10**30, -(10**30), 10**400, 2**63])
    return generator.choice(OTHER_TYPES)


def random_call(generator):
    name, args, _ = generator.choice(COMMANDS)
    usual = list(args)
    if name == "set_optical_length":
        usual = [generator.choice([1310, 1490, 1535, generator.randrange(65536)]), generator.randrange(1, 9)]
    return name, tuple(random_argument(generator, value) for value in usual)


def check(drivers, rounds):
    """Raise SystemExit naming the first exchange where a driver differs from the first (the module)."""
    generator = random.Random(2024)
    set_pause(drivers, INSTANT)
    for _ in range(rounds):
        name, args = random_call(generator)
        replies = (random_reply(generator), random_reply(generator))
        seen = []
        for driver in drivers:
            instance = driver.on(RecordingPort(*replies))
            seen.append((outcome(getattr(instance, name), *args), instance.ser.written))
        for driver, behaviour in zip(drivers[1:], seen[1:]):
            if behaviour != seen[0]:
                raise SystemExit(f"The {driver.label} driver differs from the module: {name}{args} on {replies}:\n"
                                 f"  module: {seen[0]}\n  {driver.label}: {behaviour}")
    labels = ", ".join(driver.label for driver in drivers[1:])
    print(f"The {labels} drivers agree with the module on {rounds:,} random exchanges\n")
