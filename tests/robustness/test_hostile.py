"""Badly behaved objects wherever the driver reads a Python value, checked against plain Python.

Reply items at every offset (the wavelength count among them), what inWaiting returns, the
templates, the port's methods, and the instance's own __read, __cal_crc and
read_optical_length are replaced by objects whose special methods lie (return other values or
types), raise, or empty or grow every list that holds them. Each scenario is a recipe; it
builds fresh objects for a run through the module and for a run through python_rules, which
states the same rules in Python, and both runs must end alike: the same result or the same
exception and message, the same calls on the port with the same frames, the same templates
afterwards, the same warnings. Nothing may crash the interpreter.
"""

import gc
import itertools
import types
import warnings

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import python_rules
import stand_ins as si
import tolvan

SPECIAL = ["__index__", "__eq__", "__add__", "__radd__", "__mul__", "__rmul__", "__lshift__", "__gt__", "__bool__"]
MUTATIONS = {"clear": list.clear, "append": lambda held: held.append(125),
             "drop_first": lambda held: held.__delitem__(slice(0, 1))}


class Lie(Exception):
    """What a hostile special method raises; the text names the object and the method."""


def mutate_holders(obj, how):
    """Empties or changes every list that holds `obj`, wherever it is (the reply, a copy, a template)."""
    for holder in gc.get_referrers(obj):
        if type(holder) is list:
            MUTATIONS[how](holder)


def act(obj, name, args, honest):
    """What `obj` does when `name` is called: its scripted lie, or what an honest object would."""
    mutation, kind, value = obj.actions.get(name, (None, "honest", None))
    if mutation:
        mutate_holders(obj, mutation)
    if kind == "raise":
        raise Lie(f"{obj.tag}.{name}")
    return honest(*args) if kind == "honest" else value


def int_special(name):
    return lambda self, *args: act(self, name, args, getattr(self.value, name))


class HostileInt(int):
    __hash__ = int.__hash__


class HostileObject:
    """Not an int at all, but usable as an index."""

    __hash__ = object.__hash__


for _name in SPECIAL:
    setattr(HostileInt, _name, int_special(_name))
    setattr(HostileObject, _name, int_special(_name))


class LyingList(list):
    """A wavelength list whose truth, membership and index() lie."""

    def __bool__(self):
        return act(self, "__bool__", (), lambda: len(self) != 0)

    def __contains__(self, value):
        return act(self, "__contains__", (value,), lambda value: list.__contains__(self, value))

    def index(self, value):
        return act(self, "index", (value,), lambda value: list.index(self, value))


class Sequence:
    """A reply that is neither list nor tuple, iterated through __getitem__, and true even when empty."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]

    def __bool__(self):
        return True


class OwnBytes(bytes):
    """A bytes reply whose own iteration, which list() uses, gives other items than its buffer holds."""

    def __iter__(self):
        return iter(self.items)


# -- recipes and what they build -----------------------------------------------------------------

def build(recipe, tag):
    """A fresh object from its recipe; objects it returns from its methods are built with it."""
    if recipe[0] == "plain":
        return recipe[1]
    _, base, value, actions = recipe
    obj = HostileInt(value) if base == "int" else HostileObject()
    obj.value, obj.tag = value, tag
    obj.actions = {name: build_action(mutation, outcome, f"{tag}.{name}") for name, (mutation, outcome) in actions.items()}
    return obj


def build_action(mutation, outcome, tag):
    if outcome in ("honest", "raise"):
        return (mutation, outcome, None)
    return (mutation, "return", build(outcome[1], tag))


def build_items(recipes, tag):
    return [build(recipe, f"{tag}[{i}]") for i, recipe in enumerate(recipes)]


def build_reply(recipe, tag):
    container, recipes = recipe
    items = build_items(recipes, tag)
    if container == "bytes" and all(type(item) is int and 0 <= item <= 255 for item in items):
        return bytes(items)
    if container == "own_bytes":
        reply = OwnBytes(len(items))
        reply.items = items
        return reply
    return {"tuple": tuple, "sequence": Sequence}.get(container, list)(items)


def build_lengths(recipe):
    if recipe[0] == "plain":
        return recipe[1]
    container, recipes, actions = recipe
    items = build_items(recipes, "lengths")
    if container == "tuple":
        return tuple(items)
    lying = LyingList(items)
    lying.tag = "lengths"
    lying.actions = {name: build_action(None, outcome, f"lengths.{name}") for name, outcome in actions.items()}
    return lying


def describe(obj):
    """What a run produced, told apart without calling anything the objects could lie in."""
    kind = type(obj)
    if kind in (HostileInt, HostileObject, LyingList):
        return ("hostile", obj.tag)
    if kind in (list, tuple):
        return (kind.__name__, [describe(item) for item in kind.__iter__(obj)])
    if kind is dict:
        return ("dict", [(key, describe(value)) for key, value in dict.items(obj)])
    return (kind.__name__, repr(obj))


# -- one run ---------------------------------------------------------------------------------

COMMANDS = {
    "read_device_version": ((), "_TOLVAN__CMD_READ_DEV_VER"),
    "read_optical_length": ((2,), "_TOLVAN__CMD_READ_OPTICAL_LEN"),
    "read_current_status": ((2,), "_TOLVAN__CMD_READ_CURRENT_STATUS"),
    "close_full_screen": ((), "_TOLVAN__CMD_CLOSE_FULLSCREEN"),
    "set_optical_length": ((1490, 2), "_TOLVAN__CMD_SET_OPTICAL_LEN"),
    "set_attenuation": ((1100, 2), "_TOLVAN__CMD_SET_ATTENUATION"),
    "clear_attenuation": ((2,), "_TOLVAN__CMD_CLEAR_ATTENUATION"),
    "dis_connection": ((2,), "_TOLVAN__CMD_DIS_CONNECT"),
    # the checksum methods, given the template (hostile when the scenario has one)
    "_TOLVAN__check_crc": (None, "_TOLVAN__CMD_SET_ATTENUATION"),
    "_TOLVAN__cal_crc": (None, "_TOLVAN__CMD_SET_ATTENUATION"),
}
DEFAULT_TEMPLATES = {name: list(getattr(tolvan.TOLVAN, name)) for name in si.TEMPLATE_NAMES}


def run(driver_class, command, scenario):
    """Runs `command` on a fresh driver of `driver_class` in the world the scenario describes."""
    for name, content in DEFAULT_TEMPLATES.items():
        setattr(driver_class, name, list(content))   # new lists, which mutate_holders finds (see `world`)
    tl = driver_class("/dev/ttyUSB0")
    args, template_name = COMMANDS[command]
    if scenario["template"] is not None:
        setattr(tl, template_name, build_items(scenario["template"], "template"))
    templates = {name: getattr(tl, name) for name in si.TEMPLATE_NAMES}
    if args is None:
        args = (templates[template_name],)
    log = []
    replies = [build_reply(recipe, f"reply{i}") for i, recipe in enumerate(scenario["replies"])]
    waiting = build(scenario["waiting"], "waiting")
    replies_read = itertools.count()

    def next_reply():
        return replies[next(replies_read) % len(replies)]

    def port(name):
        def write(data):
            log.append((name, "write", describe(data), [n for n, t in templates.items() if t is data]))
            return act_on_port(name, scenario["write"], data)

        def in_waiting():
            log.append((name, "inWaiting"))
            return act_on_port(name, scenario["in_waiting"], waiting)

        def read(size):
            log.append((name, "read", describe(size)))
            return act_on_port(name, scenario["read"], next_reply())

        methods = {"write": write, "inWaiting": in_waiting, "read": read}
        methods.pop(scenario["missing"], None)
        return types.SimpleNamespace(name=name, **methods)

    def act_on_port(name, script, value):
        if name == "spare" or script == "honest":
            return value
        if script == "raise":
            raise Lie(f"port.{name}")
        if script == "rebind":
            tl.ser = port("spare")
        elif script in MUTATIONS and type(value) is list:
            MUTATIONS[script](value)
        return value

    def cal_crc(data):
        script = scenario["cal_crc"]
        if script == "raise":
            raise Lie("cal_crc")
        if script in MUTATIONS:
            MUTATIONS[script](data)
        elif script == "unbind_ser":
            del tl.ser
        elif script == "rebind_template":
            for name, held in templates.items():
                if held is data:
                    setattr(tl, name, [123, 125])
        return script

    if scenario["port"]:
        tl.ser = port("port")
    if scenario["read_override"]:
        tl._TOLVAN__read = lambda: (log.append(("override", "read")), next_reply())[1]
    if scenario["cal_crc"] is not None:
        tl._TOLVAN__cal_crc = cal_crc
    if scenario["lengths"] is not None and command == "set_optical_length":
        lengths = build_lengths(scenario["lengths"])
        tl.read_optical_length = lambda ch: (log.append(("lengths", ch)), lengths)[1]

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            outcome = ("result", describe(getattr(tl, command)(*args)))
        except Exception as error:
            outcome = ("raised", type(error), str(error))
    return {
        "outcome": outcome,
        "port": log,
        "templates": {name: (describe(getattr(driver_class, name)), describe(vars(tl).get(name)))
                      for name in si.TEMPLATE_NAMES},
        "ser": getattr(getattr(tl, "ser", None), "name", None),
        "warnings": {(w.category, str(w.message)) for w in caught},
    }


# -- scenarios ---------------------------------------------------------------------------------

BYTES = st.one_of(st.sampled_from([123, 125, 0, 5, 0xD2]), st.integers(-2, 300))
OTHERS = st.sampled_from([None, 1.5, True, False, "{", 10**20])


def plain(values):
    return values.map(lambda value: ("plain", value))


def hostile(returns, values=BYTES):
    action = st.tuples(st.sampled_from([None, None, *MUTATIONS]),
                       st.one_of(st.sampled_from(["honest", "raise"]), returns.map(lambda value: ("return", value))))
    return st.tuples(st.just("hostile"), st.sampled_from(["int", "int", "object"]), values,
                     st.dictionaries(st.sampled_from(SPECIAL), action, min_size=1, max_size=3))


RETURNS = st.recursive(plain(st.one_of(BYTES, OTHERS, st.just(NotImplemented))), hostile, max_leaves=3)
ITEMS = st.one_of(*[plain(BYTES)] * 4, hostile(RETURNS), plain(OTHERS))


def valued(value):
    return st.one_of(plain(st.just(value)), hostile(RETURNS, st.just(value)))


def flatten(*parts):
    return [item for part in parts for item in (part if isinstance(part, list) else [part])]


PAIR = st.one_of(st.tuples(ITEMS, ITEMS).map(list), st.just([("plain", 0xD2), ("plain", 5)]))


@st.composite
def wavelength_lists(draw):
    """Header, a count that mostly matches the pairs that follow, the pairs, checksum and end."""
    pairs = draw(st.lists(PAIR, max_size=4))
    count = len(pairs) + draw(st.sampled_from([0, 0, 0, -1, 1, -len(pairs) - 1]))
    return flatten(draw(valued(123)), draw(st.lists(ITEMS, min_size=4, max_size=4)),
                   draw(st.one_of(plain(st.just(count)), hostile(RETURNS, st.just(count)))),
                   sum(pairs, []), draw(st.lists(ITEMS, min_size=1, max_size=2)), draw(valued(125)))


REPLY_ITEMS = st.one_of(
    st.lists(ITEMS, max_size=14),
    st.builds(flatten, valued(123), st.lists(ITEMS, max_size=12), valued(125)),
    # versions and status replies: framed, 10 or 12 items
    st.builds(flatten, valued(123), st.one_of(st.lists(ITEMS, min_size=8, max_size=8),
                                              st.lists(ITEMS, min_size=10, max_size=10)), valued(125)),
    wavelength_lists(),
    wavelength_lists(),
)
REPLIES = st.tuples(st.sampled_from(["list", "list", "tuple", "sequence", "bytes", "own_bytes"]), REPLY_ITEMS)
LENGTHS = st.one_of(
    plain(st.sampled_from([None, [], [1490], [1310, 1490]])),
    st.tuples(st.sampled_from(["tuple", "lying", "lying"]),
              st.lists(st.one_of(plain(st.just(1490)), ITEMS), max_size=3),
              st.dictionaries(st.sampled_from(["__bool__", "__contains__", "index"]),
                              st.one_of(st.just("raise"), RETURNS.map(lambda value: ("return", value))), max_size=2)),
)
PORT_SCRIPTS = ["honest"] * 8 + ["raise", "rebind"]
SCENARIOS = st.fixed_dictionaries({
    "replies": st.lists(REPLIES, min_size=1, max_size=2),
    "waiting": st.one_of(plain(st.sampled_from([12, 12, 2**70])), ITEMS),
    "port": st.sampled_from([True] * 19 + [False]),
    "missing": st.sampled_from([None] * 27 + ["write", "inWaiting", "read"]),
    "write": st.sampled_from(PORT_SCRIPTS + list(MUTATIONS)),
    "in_waiting": st.sampled_from(PORT_SCRIPTS),
    "read": st.sampled_from(PORT_SCRIPTS + list(MUTATIONS)),
    "read_override": st.booleans(),
    "template": st.one_of(st.none(), st.none(), st.lists(ITEMS, min_size=7, max_size=9), st.lists(ITEMS, max_size=6)),
    "cal_crc": st.sampled_from([None] * 10 + ["raise", "noop", "unbind_ser", "rebind_template", *MUTATIONS]),
    "lengths": st.one_of(st.none(), LENGTHS, LENGTHS),
})


def recipes(items):
    return [("plain", item) if type(item) is int else item for item in items]


def scenario(*items, **changes):
    """A scenario with one framed list reply of plain or hostile items, for the examples below."""
    if changes.get("template"):
        changes["template"] = recipes(changes["template"])
    base = {"replies": [("list", recipes(items))],
            "waiting": ("plain", 12), "port": True, "missing": None, "write": "honest", "in_waiting": "honest",
            "read": "honest", "read_override": False, "template": None, "cal_crc": None, "lengths": None}
    return {**base, **changes}


def lying(value, **actions):
    return ("hostile", "int", value, actions)


RETURN_0 = (None, ("return", ("plain", 0)))
CLEAR = ("clear", "honest")
CLEAR_THEN_0 = ("clear", ("return", ("plain", 0)))

# A quarter of the byte-level fuzz checks' count: each scenario draws far more and runs two drivers.
FUZZ = settings(max_examples=max(10, si.FUZZ_EXAMPLES // 4), deadline=None, database=None,
                suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow,
                                       HealthCheck.data_too_large])


@pytest.fixture
def world(monkeypatch):
    """Instant pauses for both drivers; everything older than the test frozen, so that the search
    for the lists holding an object (gc.get_referrers skips frozen objects) looks at the test's own."""
    monkeypatch.setattr(tolvan, "time", si.INSTANT)
    monkeypatch.setattr(python_rules, "time", si.INSTANT)
    for driver_class in (tolvan.TOLVAN, python_rules.TOLVAN):
        for name in si.TEMPLATE_NAMES:
            monkeypatch.setattr(driver_class, name, getattr(driver_class, name))
    gc.freeze()
    yield
    gc.unfreeze()


@pytest.mark.parametrize("command", list(COMMANDS))
@FUZZ
# a count that makes 2 * count zero: the pairs it announces lie beyond the reply
@example(scenario=scenario(123, 1, 2, 3, 4, lying(200, __rmul__=RETURN_0, __mul__=RETURN_0), 30, 5, 210, 5, 0, 125))
# a count that empties the reply while it is multiplied
@example(scenario=scenario(123, 1, 2, 3, 4, lying(200, __rmul__=CLEAR_THEN_0, __mul__=CLEAR_THEN_0), 30, 5, 0, 125))
# an attenuation byte that empties the reply while it is shifted
@example(scenario=scenario(123, 1, 2, 3, 4, 0, 0, 1, 110, lying(1, __lshift__=CLEAR), 0, 125))
# a start byte that empties the reply while it is compared
@example(scenario=scenario(lying(123, __eq__=CLEAR), 1, 2, 3, 4, 5, 6, 7, 8, 125))
# a reply that is true but holds nothing, and a bytes reply whose own iteration differs from its buffer
@example(scenario=scenario(replies=[("sequence", [])]))
@example(scenario=scenario(replies=[("own_bytes", recipes([123, 1, 8, 0, 3, 2, 50, 32, 0, 125]))]))
# a count waiting beyond a C long: read() is still called with it
@example(scenario=scenario(123, 0, 0, 0, 0, 1, 2, 3, 4, 125, waiting=("plain", 2**70)))
# a covered element that empties the frame while it is summed: the sum comes before data[-2]
@example(scenario=scenario(123, 125, template=[123, 1, lying(7, __add__=CLEAR, __radd__=CLEAR), 20, 60, 0, 0, 0, 125]))
# a stored checksum whose == answers with a str: the comparison's own result is returned
@example(scenario=scenario(123, 125, template=[123, 1, 7, 20, 60, 0, 0, lying(0, __eq__=(None, ("return", ("plain", "{")))), 125]))
@given(scenario=SCENARIOS)
def test_hostile_objects_meet_the_rules_python_code_follows(world, command, scenario):
    module_run = run(tolvan.TOLVAN, command, scenario)
    python_run = run(python_rules.TOLVAN, command, scenario)
    assert module_run == python_run
