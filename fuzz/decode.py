"""The fuzzer's bytes, decoded into a call of the checks.

Every byte string decodes, the same way each time, into one `Call`: which
check or checks run, how their arguments are passed, the families tuple and
the keyword dictionary. The mappings hold the module's own names and near
misses of them (other case, blanks, "_" for ".", equal strs that are not
the interned name, str subclasses, keys that are not strs), values of every
type the rules look at, and hostile objects: a method that raises, returns
an odd type or changes the mapping it sits in, once the input is whole.

A choice takes one byte, and past the end every byte reads as 0, whose
option is the plainest one (an exact dict, no more entries), so that a short
input is a small call. decode() makes a new set of objects each time: the
harness decodes the same bytes twice, one copy for the module and one for
the model, so that what a hostile object changes in one copy cannot reach
the other.
"""

import collections
import fractions
import functools
import math
import struct
import sys
import types
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "bench"), str(ROOT / "tests")]
import locate  # noqa: E402

locate.use_clone_unless_built()  # as the suite does: the build imported, else this clone's
import reference  # noqa: E402
import test_hostile as hostile  # noqa: E402  (the suite's hostile objects)


class SubDict(dict):
    pass


class Unprintable:
    """A value whose text form cannot be produced."""

    class Error(Exception):
        pass

    def __str__(self):
        raise Unprintable.Error("no text")


# Spellings of the choices, right and nearly right.
TEXTS = [
    "auto", " Laplace ", "SIMPLIFIED_LAPLACE", "simplified-laplace", "Simplified.Laplace", "gaussian",
    "fast", "ccd", "USER_STD", "user.std", "grid", "eb", " Mean ", "variance", "DIAGONAL", "diag",
    "default", "quantile", " Quantile ", "log", " LOG\n", "neglog", "neg_log", "\u2003laplace\u3000",
    "", "0.5", " 0.25 ", "-0.1", "1_0", "nan", "Infinity", "abc",
]  # fmt: skip

# The words the rules know, and a few near them.
TOP = sorted(reference.TOP_LEVEL_KEYS)
# The sections the rules look into come up more often than the others.
TOP_WORDS = ["family", "predictor", "inla", "compute"] * 3 + TOP
FAMILY_BLOCK = ["control.link", "control_link", "link", "variant"]
LINK = ["model", "quantile", "link"]
PREDICTOR = sorted(reference.PREDICTOR_KEYS | reference.LINK_KEYS)
INLA = sorted(reference.INLA_KEYS)
VB = sorted(reference.CONTROL_VB_KEYS)
SWITCHES = sorted(reference.COMPUTE_SWITCHES)
FAMILIES = ["gamma", "gammasurv", "gaussian", "poisson", "Gamma", "gammasurv "]
MODELS = list(reference.GAMMASURV_MODELS) + ["neg_log", "quantiles"]
CHOICES = sorted(
    reference.STRATEGIES | reference.INT_STRATEGIES | set(reference.VB_STRATEGIES)
    | set(reference.VB_HESSIAN_STRATEGIES)
) + TEXTS
NUMERIC_TEXTS = [
    "0.5", " 0.25\n", "1e-12", "0.999", "1_0", "0_.5", "-0.1", "+1", "nan", "-NaN", "inf", "1e-400",
    "\u0660.\u0665", "\uff10.\uff15", "0x1p-1", "",
]  # fmt: skip
# What str.strip() removes, and one it keeps (ZERO WIDTH SPACE).
BLANKS = [" ", "\t", "\n", "\x0b", "\x1c", "\x1f", "\x85", "\xa0", "\u2003", "\u2028", "\u3000", "\u200b"]
EFFECTS = ["value", "raise", "exit", "odd", "clear", "pop", "add", "replace", "wipe"]
MUTATIONS = {"clear", "pop", "add", "replace", "wipe"}


class HostileError(Exception):
    """Raised by a hostile method."""


class HostileExit(BaseException):
    """Raised by a hostile method, outside the Exception family that the checks may catch."""


class Int(int):
    pass


class Float(float):
    pass


class Tuple(tuple):
    pass


# Set while a hostile method changes the input: the methods it reaches
# then answer as their base type does.
changing = []


def as_base(self, method, args):
    """What `method` of `self` answers as its base type would (hashes are fixed)."""
    if method == "__hash__":
        return hash(self.hash_as)
    if method == "__bool__":  # neither object nor dict has one
        return dict.__len__(self) > 0 if issubclass(type(self), dict) else True
    return getattr(type(self).__mro__[1], method)(self, *args)


def act(self, method, args):
    """What the hostile `method` of `self` does; `args` as the method got them."""
    if not self.armed or changing:
        return as_base(self, method, args)
    if self.effect == "raise":
        raise HostileError(method)
    if self.effect == "exit":
        raise HostileExit(method)
    if self.effect == "odd":
        return self.odd
    if self.effect in MUTATIONS and not self.done:
        self.done = True  # once, so that asking again changes nothing more
        changing.append(self)
        try:
            change(self)
        finally:
            changing.pop()
    return self.value if self.value is not None else as_base(self, method, args)


def change(self):
    """Changes the mapping `self` sits in (itself, for a mapping), or every
    mapping. Types are told by type(): isinstance() would ask an object's
    own __class__."""
    if self.effect == "wipe":
        hostile.wipe(self.root)
        return
    target = self if issubclass(type(self), dict) else self.root
    for index in self.path:  # positions of the values that lead to the mapping
        if issubclass(type(target), dict):
            values = list(dict.values(target))
        else:
            values = list.__getitem__(target, slice(None))
        if index >= len(values) or not issubclass(type(values[index]), (dict, list)):
            break
        target = values[index]
    if not issubclass(type(target), dict):
        return
    if self.effect == "clear":
        dict.clear(target)
    elif self.effect in ("pop", "replace"):
        # Its own entry (or else the first): taken out, or given another value.
        entries = list(dict.items(target))
        keys = [key for key, value in entries if key is self or value is self] + [key for key, _ in entries]
        if keys and self.effect == "pop":
            dict.pop(target, keys[0])
        elif keys:
            dict.__setitem__(target, keys[0], "fast")
    else:
        dict.__setitem__(target, self.added, "fast")


def hostile_class(method, base):
    """A class whose `method` is hostile; its repr and hash are fixed by what it was made with."""
    namespace = {method: lambda self, *args: act(self, method, args)}
    if method != "__repr__":
        namespace["__repr__"] = lambda self: self.shown
    # Not by address: both copies of an input must be visited alike.
    if method == "__eq__" or (base is object and method != "__hash__"):
        namespace["__hash__"] = lambda self: hash(self.hash_as)
    return type("Hostile", (base,), namespace)


OBJECT_METHODS = ["__str__", "__eq__", "__hash__", "__float__", "__repr__", "__format__", "__bool__", "__index__"]
MAPPING_METHODS = ["get", "keys", "__contains__", "__getitem__", "__bool__", "__len__", "__iter__"]
CLASSES = {
    **{(method, object): hostile_class(method, object) for method in OBJECT_METHODS},
    **{(method, dict): hostile_class(method, dict) for method in MAPPING_METHODS},
    ("__eq__", int): hostile_class("__eq__", int),
    ("__eq__", str): hostile_class("__eq__", str),
    ("__hash__", str): hostile_class("__hash__", str),
    ("__float__", float): hostile_class("__float__", float),
}
# What each method returns with the effect "odd".
ODD = {
    "__str__": [5, None, hostile.OddStr(" Laplace "), hostile.Unorderable("\u2003text"), hostile.Contrary("quantile")],
    "__repr__": [5, b"k"],
    "__format__": [5, None],
    "__eq__": [hostile.Falsy(), hostile.Truthy(), hostile.RaisingTruth(), "yes", NotImplemented],
    "__hash__": ["x", 2**100, -1],
    "__float__": ["0.5", Float(0.5), 1],
    "__index__": [1.5, True],
    "__bool__": [2, None],
    "get": [None, "fast", 2],
    "keys": [5, ["zz"], ("dic", "dic")],
    "__contains__": ["yes", 0, hostile.RaisingTruth()],
    "__getitem__": [None, "fast"],
    "__len__": [-1, "1"],
    "__iter__": [iter(()), 5],
}


class Call:
    """One decoded input: `checks` run in turn on `kwargs` and `families`,
    each with the arguments of its style."""

    def __init__(self):
        self.checks = []  # (name, style)
        self.safety_error = KEEP
        self.kwargs = None
        self.families = None
        self.mutates = False  # a hostile object may change the input
        self.made = []  # objects made for this call alone (for their reference counts)
        self.armed = []  # hostile objects, armed once the input is whole


class Reader:
    """Choices read from the bytes, one byte each; zeros past the end."""

    def __init__(self, data, call):
        self.data, self.at, self.call = data, 0, call

    def byte(self):
        if self.at >= len(self.data):
            return 0
        self.at += 1
        return self.data[self.at - 1]

    def below(self, n):
        return self.byte() % n

    def pick(self, options):
        return options[self.byte() % len(options)]

    def rarely(self):
        return self.byte() >= 224

    def chunk(self, limit):
        size = self.below(limit + 1)
        piece = self.data[self.at:self.at + size]
        self.at += size
        return piece

    def new(self, obj):
        """`obj`, made for this call alone; not when it is an object the
        interpreter shares (an empty tuple, a cached str or int), whose
        reference count is not the input's own."""
        if sys.getrefcount(obj) < 4:
            self.call.made.append(obj)
        return obj


def fresh(r, text):
    """An equal str that is not the same object (its reference count is the input's own)."""
    return r.new(hostile.fresh(text)) if len(text) > 1 else text


# Near misses of a word.
MISSPELLINGS = [
    lambda r, word: word.upper(),
    lambda r, word: word.title(),
    lambda r, word: r.pick(BLANKS) + word + r.pick(BLANKS),
    lambda r, word: word + r.pick(BLANKS),
    lambda r, word: word.replace(".", "_") if "." in word else word.replace("_", "."),
    lambda r, word: word.replace(".", "-").replace("_", "-"),
    lambda r, word: word[:-1],
    lambda r, word: "".join(c.upper() if r.below(2) else c for c in word),
    lambda r, word: word.replace("l", "L").replace("a", "\u00e0", 1),
    lambda r, word: r.chunk(12).decode("latin-1"),  # where the module's comparisons lead the fuzzer
    lambda r, word: word + " " * r.byte(),  # past the module's buffer for a normal form, or not
    lambda r, word: word * (1 + r.below(16)),
    # Wider storage: KELVIN SIGN lower-cases to "k", DOTTED CAPITAL I to two characters.
    lambda r, word: r.pick(["\u212a", "\u0130", "\U0001f600", "\ud800", "\uff21"]) + word.upper(),
]


def spelled(r, word):
    """`word` as the package writes it (the interned name) three times in
    five; else an equal str that is another object, or a near miss."""
    how = r.byte()
    if how < 160:
        return word
    if how < 192:
        if how % 4 == 0:
            return fresh(r, word)
        if how % 4 == 1 and word.isascii() and word:
            return r.new(hostile.one_byte(word))
        return r.new(r.pick([hostile.NeverEqual, hostile.Equal, hostile.OddStr])(word))
    return fresh(r, r.pick(MISSPELLINGS)(r, word))


def make_hostile(r, base, path, text):
    """A hostile object of `base` whose method and effect come from the bytes."""
    methods = [m for (m, b) in CLASSES if b is base]
    method = r.pick(methods)
    effect = r.pick(EFFECTS)
    cls = CLASSES[(method, base)]
    obj = r.new(cls(text) if base is str else cls(0.5) if base is float else cls(1) if base is int else cls())
    obj.armed, obj.done, obj.effect, obj.path = False, False, effect, path
    obj.hash_as, obj.shown = text, "H" + text
    obj.odd = r.pick(ODD.get(method, [None]))
    obj.added = r.pick(["zz", "strategy", "dic", "family", "control.link", "quantile"])
    obj.value = returned(r, method)
    r.call.armed.append(obj)
    r.call.mutates |= effect in MUTATIONS
    return obj


def returned(r, method):
    """What a hostile method returns when it does not raise: None for its base type's answer."""
    if method in ("__str__", "__repr__", "__format__"):
        return spelled(r, r.pick(CHOICES + MODELS + NUMERIC_TEXTS))
    if method == "__eq__" or method == "__bool__":
        return r.pick([True, False])
    if method == "__float__":
        return r.pick([0.5, 0.0, 1.0, math.nan, 2.0, -0.0])
    if method == "__index__":
        return r.pick([0, 1, 2, 10**400])
    return None


def key(r, words, path, hostile_key):
    """A key near one of `words`, or another kind of key; hostile only when `hostile_key`."""
    if not r.rarely():
        return spelled(r, r.pick(words))
    kind = r.below(10)
    word = r.pick(words)
    if kind < 4 and hostile_key:
        return make_hostile(r, r.pick([str, str, object]), path, word)
    if kind == 4 and hostile_key:
        return r.new(hostile.Unshowable())
    return r.pick([1, None, 2.5, (1, 2), True, b"k", frozenset({"a"}), word.encode(), -1, word])


def number(r):
    """A float, an int or a numeric text: the quantile's usual kinds."""
    kind = r.below(8)
    if kind == 0:
        return r.new(struct.unpack("<d", r.chunk(8).ljust(8, b"\0"))[0])
    if kind < 3:
        return r.pick([0.5, 1e-12, 0.999, 0.0, 1.0, -0.0, 5e-324, math.nextafter(1.0, 0.0), math.nan, math.inf,
                       -math.inf])
    if kind == 3:
        return r.pick([0, 1, 2, -1, True, False, 10**400, 2**63, Int(1), Int(0)])
    if kind == 4:
        return r.new(r.pick([Float, fractions.Fraction, str])(r.pick(["0.5", "1.5", "0.25"])))
    if kind == 5:
        return r.new(r.pick([bytes, bytearray, memoryview])(r.pick([b"0.5", b" 0.25 ", b"abc", b"1"])))
    return spelled(r, r.pick(NUMERIC_TEXTS))


def scalar(r, path, depth):
    """A value of any of the types the rules look at."""
    kind = r.below(16)
    if kind == 0:
        return None
    if kind == 1:
        return r.pick([True, False, 0, 1, 2, -1, Int(1), Int(0), 2**64])
    if kind in (2, 3):
        return number(r)
    if kind in (4, 5, 6):
        return spelled(r, r.pick(CHOICES + MODELS + FAMILIES))
    if kind == 7:
        return r.new(r.pick([list, tuple, set, dict, SubDict, Tuple])())
    if kind == 8:
        return r.new([0.5]) if r.below(2) else r.new([mapping(r, FAMILY_BLOCK, FAMILY_VALUES, path + (0,), depth + 1)])
    if kind == 9:
        return r.new(r.pick([
            Unprintable, hostile.UnorderableText, hostile.ContraryModel, hostile.Unshowable,
            hostile.Disguised, hostile.Falsy, hostile.Truthy, hostile.RaisingTruth,
        ])())
    if kind == 10:
        return r.new(r.pick([hostile.TextStr, hostile.OddStr, hostile.NeverEqual])(r.pick(CHOICES)))
    if kind in (11, 12):
        base = r.pick([object, object, object, int, float])
        return make_hostile(r, base, path, r.pick(CHOICES + SWITCHES))
    if kind == 13 and depth < 3:
        return mapping(r, r.pick([TOP, SWITCHES, INLA]), scalar, path, depth + 1)
    return r.pick(["", 0, 0.0, (), b"", "fast", "None"])


def choice(words):
    def value(r, path, depth):
        return spelled(r, r.pick(words)) if not r.rarely() else scalar(r, path, depth)
    return value


def switch_value(r, path, depth):
    if r.rarely():
        return scalar(r, path, depth)
    if r.below(8) == 7:
        return make_hostile(r, int, path, "dic")
    return r.pick([True, False, 0, 1, Int(1), Int(0), 2, 1.0, None, 2**64])


def quantile_value(r, path, depth):
    return number(r) if not r.rarely() else scalar(r, path, depth)


def link_value(r, path, depth):
    kind = r.below(8)
    if kind < 5:
        return mapping(r, LINK, {"model": choice(MODELS), "quantile": quantile_value}, path, depth + 1)
    if kind == 5:
        return r.pick([None, {}, 0, "", [], "quantile"])
    return scalar(r, path, depth)


FAMILY_VALUES = {"control.link": link_value, "control_link": link_value}


def family_value(r, path, depth):
    kind = r.below(8)
    if kind < 5:
        return mapping(r, FAMILY_BLOCK, FAMILY_VALUES, path, depth + 1)
    if kind == 5:
        items = [mapping(r, FAMILY_BLOCK, FAMILY_VALUES, path + (i,), depth + 2) for i in range(r.below(3))]
        return r.new(r.pick([list, tuple])(items))
    return scalar(r, path, depth)


def section(words, values):
    """A value that is mostly a mapping of `words`, each read by `values`."""
    def value(r, path, depth):
        if r.rarely():
            return scalar(r, path, depth)
        return mapping(r, words, values, path, depth + 1)
    return value


VB_VALUES = {"strategy": choice(list(reference.VB_STRATEGIES)),
             "hessian_strategy": choice(list(reference.VB_HESSIAN_STRATEGIES))}
INLA_VALUES = {
    "strategy": choice(sorted(reference.STRATEGIES)), "int.strategy": choice(sorted(reference.INT_STRATEGIES)),
    "int_strategy": choice(sorted(reference.INT_STRATEGIES)), "control_vb": section(VB, VB_VALUES),
}
PREDICTOR_VALUES = {"compute": switch_value, "control.link": link_value, "control_link": link_value}
COMPUTE_VALUES = dict.fromkeys(SWITCHES, switch_value)
TOP_VALUES = {
    "family": family_value, "predictor": section(PREDICTOR, PREDICTOR_VALUES),
    "inla": section(INLA, INLA_VALUES), "compute": section(SWITCHES, COMPUTE_VALUES),
}
MAPPINGS = ["dict"] * 5 + ["sub", "hostile", "hostile", "PopGet", "ClearingKeys", "RaisingContains",
                            "WipingBool", "Disagreeing"]


def mapping(r, words, values, path, depth):
    """A dict, dict subclass or hostile mapping of up to five entries with
    keys near `words`, each value made by `values` (a dict by name, or one
    function); one hostile key at most, since the order in which several
    would be asked is not fixed."""
    kind = r.pick(MAPPINGS) if depth < 4 else "dict"
    if kind == "hostile":
        made = make_hostile(r, dict, (), "mapping")
    elif kind == "Disagreeing":
        made = r.new(hostile.Disagreeing(spelled(r, r.pick(CHOICES)), r.pick([KeyError, "ccd", "fast"])))
    else:
        cls = {"dict": dict, "sub": SubDict}.get(kind) or getattr(hostile, kind)
        made = r.new(cls())
        if kind in ("PopGet", "ClearingKeys", "WipingBool"):
            r.call.mutates = True
            if kind == "WipingBool":
                r.call.armed.append(made)
    hostile_key = depth < 4
    for position in range(r.below(6) if depth < 4 else r.below(2)):
        name = r.pick(words)
        k = key(r, [name], path, hostile_key)
        hostile_key &= not hasattr(k, "armed") and type(k) is not hostile.Unshowable
        make = values.get(name) if isinstance(values, dict) else values
        v = (make or scalar)(r, path + (position,), depth)
        dict.__setitem__(made, k, v)
    return made


# The ways of calling each check, `func(kwargs, families)`: first those
# that bind, each through another of the interpreter's paths (a call's own
# arguments, * and **, a bound method, functools.partial, __call__), then
# binding errors.
STRUCTURE_STYLES = [
    lambda func, k, f: func(k, f),
    lambda func, k, f: func(k),
    lambda func, k, f: func(kwargs=k, families=f),
    lambda func, k, f: func(k, families=f),
    lambda func, k, f: func(families=f, kwargs=k),
    lambda func, k, f: func(kwargs=k),
    lambda func, k, f: func(*(k, f)),
    lambda func, k, f: func(*(k,), **{"families": f}),
    lambda func, k, f: types.MethodType(func, k)(f),
    lambda func, k, f: functools.partial(func, k)(f),
    lambda func, k, f: func.__call__(k, f),
    lambda func, k, f: func(k, f, f),
    lambda func, k, f: func(families=f),
    lambda func, k, f: func(k, kwargs=k),
    lambda func, k, f: func(k, family=f),
    lambda func, k, f: func(),
    lambda func, k, f: func(**{"kwargs": k, "x": 1}),
]
COMPUTE_STYLES = [
    lambda func, k, f: func(k),
    lambda func, k, f: func(kwargs=k),
    lambda func, k, f: func(*(k,)),
    lambda func, k, f: types.MethodType(func, k)(),
    lambda func, k, f: functools.partial(func, kwargs=k)(),
    lambda func, k, f: func.__call__(k),
    lambda func, k, f: func(k, f),
    lambda func, k, f: func(),
    lambda func, k, f: func(k, families=f),
    lambda func, k, f: func(k, kwargs=k),
    lambda func, k, f: func(**{"kwargs": k, "families": f}),
]
STRUCTURE, COMPUTE = "enforce_control_structure", "enforce_compute_section"
STYLES = {STRUCTURE: STRUCTURE_STYLES, COMPUTE: COMPUTE_STYLES}
BINDING = {STRUCTURE: 11, COMPUTE: 6}  # the styles that bind
CHECKS = [[STRUCTURE], [COMPUTE], [STRUCTURE, COMPUTE], [COMPUTE, STRUCTURE]]
# What the module's namespace may hold as SafetyError instead of the
# package's class (the suite's stand-ins that keep no state between calls):
# the name is looked up at each raise, the model's too.
SAFETY_ERRORS = [factory for name, factory in hostile.FACTORIES.items()
                 if "chain" not in name and "cause" not in name]
KEEP = object()  # the package's own SafetyError


def style(r, name):
    """Mostly the package's own two ways; then any that binds; now and then a binding error."""
    if not r.rarely():
        return r.below(2)
    return r.below(len(STYLES[name]) if r.rarely() else BINDING[name])


def families(r):
    kind = r.pick([list, Tuple, None]) if r.rarely() and r.rarely() else tuple
    if kind is None:
        return None
    items = []
    for _ in range(r.below(4)):
        if r.rarely():
            items.append(r.pick([
                lambda: make_hostile(r, r.pick([object, str]), (), r.pick(FAMILIES)),
                lambda: r.new(r.pick([hostile.NeverEqual, hostile.Equal, hostile.OddStr])(r.pick(FAMILIES))),
                lambda: r.pick([None, 1, b"gamma", ("gamma",)]),
            ])())
        else:
            items.append(spelled(r, r.pick(FAMILIES)))
    return r.new(kind(items))


def control_value(r, path):
    kind = r.below(16)
    if kind < 13:
        return mapping(r, TOP_WORDS, TOP_VALUES, path, 0)
    return scalar(r, path, 1) if kind == 13 else r.pick([None, {}, 0, "", [], False, "x", 1])


def decode(data):
    """The call that `data` stands for, made anew."""
    call = Call()
    r = Reader(data, call)
    call.checks = [(name, style(r, name)) for name in r.pick(CHECKS)]
    call.safety_error = r.pick(SAFETY_ERRORS) if r.rarely() and r.rarely() else KEEP
    call.families = families(r)
    kind = r.pick([SubDict, None, list, collections.OrderedDict]) if r.rarely() and r.rarely() else dict
    kwargs = call.kwargs = None if kind is None else r.new(kind())
    if isinstance(kwargs, dict):
        if r.below(8):
            dict.__setitem__(kwargs, spelled(r, "control") if r.rarely() else "control", control_value(r, (0,)))
        for _ in range(r.below(3) if r.rarely() else 0):
            dict.__setitem__(kwargs, key(r, ["formula", "control", "data"], (), True), scalar(r, (), 2))
    elif kind is list:
        kwargs.append(("control", control_value(r, (0,))))
    for obj in call.armed:
        obj.root = kwargs
        obj.armed = True
    call.armed = []
    return call


def call_check(module, call, name, style):
    """Runs the check `name` of `module` (the module or the model) in `style`."""
    return STYLES[name][style](getattr(module, name), call.kwargs, call.families)
