"""Generated calls that reach every rule of the model (bench/reference.py),
each holding the module to it: the same outcome, the same message, the
input unchanged.

The rules are found from the model itself. It is run on the accepted
workloads with mappings that note each key it reads (an entry); a rule is
then met by a call that is the workload (so it passes every rule read
before) with a value put at that entry: values of every type, at the
rule's bounds (the model's own constants) and at the edges of the machine's
C long and long long, strs of every storage kind and normal form, subclasses
of each, and objects whose methods raise. A rule added to the model is
reached with no edit here. `make test` runs this against the in-place build
and the general-reader build, so both readers meet every call. The
hypothesis seed is fixed by TARVIK_GENERATED_SEED (CI), else random
(--hypothesis-seed works too).
"""

import collections
import inspect
import math
import os
import sys
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, seed, settings
from hypothesis import strategies as st

from tarvik.safety import control as native
from tarvik.safety.errors import SafetyError

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
import messages  # noqa: E402
import reference  # noqa: E402
import workloads  # noqa: E402

# The checks: the model's public functions, each beside the module's.
MODEL_FUNCTIONS = {name: func for name, func in vars(reference).items()
                   if name.startswith("enforce_") and inspect.isfunction(func)}  # fmt: skip
OMITTED = object()  # an argument left to its default


# --- values -------------------------------------------------------------------


class Failure(Exception):
    """Raised by the methods of the hostile values below."""


class Hostile:
    """Its text, number, truth value and equality all raise."""

    def __str__(self):
        raise Failure("no text")

    def __float__(self):
        raise Failure("no number")

    def __bool__(self):
        raise Failure("no truth")

    def __eq__(self, other):
        raise Failure("no equality")

    __hash__ = object.__hash__


class Numeric:
    """A text of its own (a number's) and a float() that raises."""

    def __str__(self):
        return "0.5"

    def __float__(self):
        raise Failure("no float")


class ClaimsDict:
    """isinstance() believes its __class__: a dict that has no dict methods."""

    __class__ = property(lambda self: dict)


class DictSub(dict):
    pass


class RaisingDict(dict):
    """A mapping whose every read raises."""

    def get(self, *args):
        raise Failure("no get")

    def keys(self):
        raise Failure("no keys")

    def __contains__(self, key):
        raise Failure("no contains")

    def __getitem__(self, key):
        raise Failure("no item")


class NoGet(dict):
    """A mapping whose keys can be listed, but whose get() raises."""

    def get(self, *args):
        raise Failure("no get")


class Watched(dict):
    """A dict that calls _read(key) before each read of a key (get, [], in)."""

    def _read(self, key):
        pass

    def get(self, key, default=None):
        self._read(key)
        return super().get(key, default)

    def __getitem__(self, key):
        self._read(key)
        return super().__getitem__(key)

    def __contains__(self, key):
        self._read(key)
        return super().__contains__(key)


class FailsAt(Watched):
    """A mapping whose reads of one key raise: the model's reads before it
    go through."""

    def __init__(self, content, key):
        super().__init__(content)
        self.key = key

    def _read(self, key):
        if key == self.key:
            raise Failure("no " + key)


class ListSub(list):
    pass


class StrSub(str):
    pass


class IntSub(int):
    pass


class FloatSub(float):
    pass


class CollidingKey:
    """Hashes as a name a mapping lacks; looking that name up raises."""

    def __init__(self, name):
        self.name = name

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        raise Failure("no key equality")

    def __repr__(self):
        return "CollidingKey({!r})".format(self.name)


def _model_code():
    """Every code object of the model: its functions and those nested in them."""
    found = []
    pending = [func.__code__ for func in vars(reference).values()
               if inspect.isfunction(func) and func.__module__ == reference.__name__]  # fmt: skip
    while pending:
        code = pending.pop()
        found.append(code)
        pending.extend(const for const in code.co_consts if inspect.iscode(const))
    return found


def _model_names():
    """The names the model's tables and code compare values with."""
    names = set()
    for value in vars(reference).values():
        if isinstance(value, (frozenset, tuple)):
            names.update(item for item in value if isinstance(item, str))
    for code in _model_code():
        names.update(c for c in code.co_consts if isinstance(c, str) and c.isidentifier())
    return sorted(names)


def _bounds():
    """The model's own number constants, each with its neighbours."""
    values = []
    for code in _model_code():
        for const in code.co_consts:
            if type(const) is int:
                values += [const - 1, const, const + 1]
            elif type(const) is float:
                values += [math.nextafter(const, -math.inf), const, math.nextafter(const, math.inf)]
    return sorted(set(values), key=repr)


# The edges of a C long (32 or 64 bits) and long long, and past them.
LONG_EDGES = [sign * (2**bits + step) for bits in (31, 32, 63, 64) for step in (-1, 0, 1)
              for sign in (1, -1)] + [2**128 + 1, -(2**128 + 1)]  # fmt: skip
FLOATS = [math.nan, -0.0, math.inf, -math.inf, 0.5, 5e-324, 1e308, -0.5]
OTHERS = [None, True, False, b"0.5", bytearray(b"0.25"), [], [0.5], (), ("gamma",), {}, {"": 1},
          collections.OrderedDict(), collections.defaultdict(list), ListSub([1]), DictSub(),
          Hostile(), Numeric(), ClaimsDict(), RaisingDict(), IntSub(1), IntSub(2**64), FloatSub(0.5),
          FloatSub(math.nan), " 0.5 ", "1e-3", "nan", "-inf", "1_0", "0x1", "", " "]  # fmt: skip
GENERIC = OTHERS + LONG_EDGES + FLOATS + _bounds()

# How a name is written otherwise: its case and blanks (ASCII, then blanks
# stored as latin-1 and as UCS-2), "_" for ".", a str of UCS-4 storage, NFC
# and NFD accents, and letters whose lower() (K, Kelvin sign) or only
# casefold() (long s) is ASCII, or neither (dotted I).
SPELLINGS = [
    lambda s: " {}\n".format(s.upper()),
    lambda s: "\xa0{}\t".format(s.title()),
    lambda s: "\u2003{}\u3000".format(s),
    lambda s: s.replace(".", "_") if "." in s else s.replace("_", "."),
    lambda s: s + "\U0001f600",
    lambda s: s + "\u00e9",
    lambda s: s + "e\u0301",
    lambda s: s.replace("k", "\u212a", 1).replace("K", "\u212a", 1),
    lambda s: s.replace("s", "\u017f", 1),
    lambda s: s.replace("i", "\u0130", 1),
    StrSub,
]
NAMES = _model_names()
# Every spelling of every name, drawn by the generated tests ...
TEXTS = sorted({spell(name) for name in NAMES for spell in SPELLINGS} | set(NAMES), key=repr)
# ... and each name and, in turn, one spelling of it, run by the sweep.
SWEPT_TEXTS = NAMES + [SPELLINGS[i % len(SPELLINGS)](name) for i, name in enumerate(NAMES)]


def variants(value, keys_read=()):
    """The value at an entry of a workload, otherwise: subclassed, and as a
    mapping with keys that only look like its own, or whose reads of each
    key the model reads from it raise in turn."""
    if type(value) is dict:
        first = next(iter(value), "inla")
        absent = next(name for name in NAMES if name not in value)
        return [FailsAt(value, key) for key in keys_read] + [
                DictSub(value), RaisingDict(value), NoGet(value), collections.OrderedDict(value),
                {**value, 1: True}, {**value, None: 1, (1,): 2}, {**value, first.upper(): 1},
                {**value, StrSub(first): 1}, {**value, CollidingKey(absent): 1},
                {**value, first.replace("i", "\u0130", 1): 1}]  # fmt: skip
    subclass = {str: StrSub, int: IntSub, bool: IntSub, float: FloatSub, list: ListSub}.get(type(value))
    return [subclass(value)] if subclass else []


# --- the rules' entries ------------------------------------------------------


class Recording(Watched):
    """A mapping that notes each key the model reads from it."""

    def __init__(self, content, path, log):
        super().__init__(content)
        self.path, self.log = path, log

    def _read(self, key):
        if self.path + (key,) not in self.log:
            self.log.append(self.path + (key,))


def recording(value, path, log):
    if type(value) is not dict:
        return value
    return Recording({key: recording(item, path + (key,), log) for key, item in value.items()}, path, log)


def arguments(func, kwargs, families):
    """A call's arguments by name, those the function takes."""
    given = {"kwargs": kwargs, "families": families}
    return {name: given[name] for name in inspect.signature(func).parameters}


def run(func, args):
    return func(*[value for value in args.values() if value is not OMITTED])


def entries_read(func, args):
    """The entries the model reads in this accepted call, in its order: each
    argument, then each key path it reads."""
    log = [(name,) for name in args]
    checked = reference._check_argument

    def check_argument(name, value, expected):
        checked(name, dict(value) if type(value) is Recording else value, expected)

    reference._check_argument = check_argument  # records pass as the dicts they hold
    try:
        run(func, {name: recording(value, (name,), log) for name, value in args.items()})
    finally:
        reference._check_argument = checked
    return log


def at(args, path, value=OMITTED):
    """A copy of the call with `value` put at `path` (or the entry removed):
    the mappings on the path are copied, the rest shared. None when a
    mapping on the path is no longer one."""
    args = dict(args)
    node, keys = args, path[:-1]
    for key in keys:
        if type(node.get(key)) is not dict:
            return None
        node[key] = dict(node[key])
        node = node[key]
    if value is OMITTED:
        node.pop(path[-1], None)
    else:
        node[path[-1]] = value
    return args


def accepted(func, args):
    try:
        run(func, args)
    except Exception:  # refused: not a base
        return False
    return True


def _bases(most=100):
    """For each check, [(call, entries read)]: the accepted workloads, and
    each base with one entry it reads removed, or all those of one mapping,
    when the model still accepts it (which opens the rules that only an
    entry's absence reaches); up to `most` of them."""
    found = {}
    for name, func in MODEL_FUNCTIONS.items():
        bases, seen = [], set()

        def add(args):
            if args is not None and repr(args) not in seen and accepted(func, args):
                seen.add(repr(args))
                bases.append((args, entries_read(func, args)))

        for workload in workloads.ACCEPTED:
            add(arguments(func, workload.kwargs, workload.families))
        for args, read in bases:  # the bases added meanwhile too
            if len(bases) >= most:
                break
            for path in read:
                if len(path) > 1:
                    add(at(args, path))
            for parent in {path[:-1] for path in read if len(path) > 2}:
                emptied = args
                for path in read:
                    if path[:-1] == parent:
                        emptied = at(emptied, path) or emptied
                add(emptied)
        found[name] = bases
    return found


BASES = _bases()


def rules(name):
    """Each entry the model reads, with the first base that reaches it and
    each of the accepted workloads that reach it too."""
    chosen = {}
    for index, (args, read) in enumerate(BASES[name]):
        for path in read:
            if path not in chosen or index < len(workloads.ACCEPTED):
                chosen.setdefault(path, []).append(args)
    return chosen


RULES = {name: rules(name) for name in MODEL_FUNCTIONS}


def value_at(args, path):
    node = args
    for key in path:
        node = node.get(key, OMITTED) if type(node) is dict else OMITTED
    return node


def keys_read(name, path):
    return [entry[-1] for entry in RULES[name] if entry[:-1] == path]


def sweep_values(name, args, path):
    return GENERIC + SWEPT_TEXTS + variants(value_at(args, path), keys_read(name, path)) + [OMITTED]


def swept_calls(name):
    """Each base as it is, then every entry of every rule with every swept
    value, in each of its bases."""
    for args, _ in BASES[name]:
        yield (), args
    for path, bases in RULES[name].items():
        for args in bases:
            for value in sweep_values(name, args, path):
                if path == ("families",) and value is not OMITTED:
                    values = [value, (value,), ("gamma", value)]
                else:
                    values = [value]
                for each in values:
                    if len(path) > 1 or each is not OMITTED:
                        yield path, at(args, path, each)


# --- the comparison -----------------------------------------------------------


def outcome(func, args):
    try:
        run(func, args)
    except Exception as exc:  # compared whole, then its type checked
        return type(exc), str(exc), type(exc.__cause__)
    return None


def snapshot(obj):
    """Identities, types and contents of the nested containers."""
    if issubclass(type(obj), dict):
        return id(obj), type(obj), [(key, snapshot(value)) for key, value in dict.items(obj)]
    if issubclass(type(obj), (list, tuple)):
        return id(obj), type(obj), [snapshot(item) for item in obj]
    return id(obj), type(obj), bytes(obj) if isinstance(obj, bytearray) else None


# How a switch's refusal ends, after the switch it names.
SWITCH_END = messages.compute_not_bool.partition("{}")[2]


def is_switch(value):
    return isinstance(value, bool) or (isinstance(value, int) and value in (0, 1))


def check(name, args):
    before = snapshot(args)
    got = outcome(getattr(native, name), args)
    assert snapshot(args) == before, "the input was changed"
    expected = outcome(MODEL_FUNCTIONS[name], args)
    # Besides these, only the caller's own objects raise (ClaimsDict lacks get).
    assert got is None or got[0] in (TypeError, SafetyError, Failure, AttributeError), got
    if got != expected and expected is not None and expected[1].endswith(SWITCH_END):
        # Several bad switches: which one is named is not fixed.
        compute = args["kwargs"]["control"]["compute"]
        bad = {messages.compute_not_bool.format(key) for key, val in compute.items() if not is_switch(val)}
        assert got is not None and got[0] is SafetyError and len(bad) > 1 and got[1] in bad, (got, expected)
    else:
        assert got == expected


@pytest.mark.parametrize("name", sorted(MODEL_FUNCTIONS))
def test_every_rule_with_every_value(name):
    """Each entry with each swept value: the module says what the model says
    (ints at the edges of C long and long long included, on every processor)."""
    for path, args in swept_calls(name):
        if args is not None:
            try:
                check(name, args)
            except AssertionError as error:
                raise AssertionError("at {}: {}".format(path, error)) from None


def test_every_rule_is_reached():
    """Each line of the model runs in some swept call: each rule is reached,
    and each of its refusals made."""
    lines = {(code.co_filename, line) for code in _model_code() for _, _, line in code.co_lines()
             if line is not None and line != code.co_firstlineno}  # fmt: skip
    files = {file for file, _ in lines}
    ran = set()

    def trace(frame, event, arg):
        if frame.f_code.co_filename not in files:
            return None
        ran.add((frame.f_code.co_filename, frame.f_lineno))
        return trace

    sys.settrace(trace)
    try:
        for name in MODEL_FUNCTIONS:
            for _, args in swept_calls(name):
                if args is not None:
                    outcome(MODEL_FUNCTIONS[name], args)
    finally:
        sys.settrace(None)
    missed = sorted(line for file, line in lines - ran)
    assert not missed, "lines of bench/reference.py no generated call runs: {}".format(missed)


# --- random combinations ------------------------------------------------------

GENERATED_SEED = os.environ.get("TARVIK_GENERATED_SEED")


def seeded(test):
    return seed(int(GENERATED_SEED))(test) if GENERATED_SEED else test


@st.composite
def combined_calls(draw, name):
    """A base and up to three of its entries, each given a value of any type."""
    args, read = draw(st.sampled_from(BASES[name]))
    for path in sorted(draw(st.lists(st.sampled_from(read), min_size=1, max_size=3, unique=True))):
        value = draw(st.sampled_from(GENERIC + TEXTS + variants(value_at(args, path), keys_read(name, path))))
        if path == ("families",):
            value = draw(st.sampled_from([value, (value,), ("gammasurv", value)]))
        args = at(args, path, value) or args
    return args


@pytest.mark.parametrize("name", sorted(MODEL_FUNCTIONS))
def test_combined_entries(name):
    @seeded
    @settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])
    @given(combined_calls(name))
    def each(args):
        check(name, args)

    each()


def test_full_workload_lists_every_top_level_key():
    """The workload the rules are read from holds every section the module
    accepts, so that each section's rules are found."""
    (full,) = [workload for workload in workloads.ACCEPTED if workload.name == "full"]
    assert set(full.kwargs["control"]) == reference.TOP_LEVEL_KEYS
