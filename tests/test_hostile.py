"""Hostile objects: callbacks that raise, return nonsense or empty the input mid-check."""

import ctypes
import functools
import gc
import pathlib
import re
import subprocess
import sys
import traceback

import pytest

from tarvik.safety.control import enforce_compute_section, enforce_control_structure
from tarvik.safety.errors import SafetyError

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "bench"))
import messages  # noqa: E402
import reference  # noqa: E402

# Directory holding the imported `tarvik` package (source tree or sanitizer build).
ROOT = str(pathlib.Path(__import__("tarvik").__file__).resolve().parents[1])
HOLE, SAME, COMPUTE = object(), object(), None  # placeholder, "the raised object", other function


def wipe(root):
    """Empty every dict reachable from root, innermost first, and let them all go."""
    found = []

    def walk(d):
        for v in list(dict.values(d)):
            if isinstance(v, dict):
                walk(v)
        found.append(d)

    walk(root)
    for d in found:
        dict.clear(d)


def build(template, families, kind, effect):
    """Place one hostile object at HOLE; `kind` is [base.]method[:hash-alike].

    Its method raises `effect` if that is an exception, else wipes all input and returns it.
    """
    base, _, method = kind.rpartition(".")
    method, _, hash_as = method.partition(":")

    def hook(self, *args):
        if not hasattr(self, "root"):
            return id(self)  # a hashing hook lets the object into the input first
        if isinstance(effect, BaseException):
            raise effect
        wipe(self.root)
        return effect

    ns = {"__repr__": lambda self: "H", "__hash__": lambda self: hash(hash_as or id(self))}
    hostile = type("Hostile", ({"int": int}.get(base, object),), {**ns, method: hook})()

    def plant(t):
        if t is HOLE:
            return hostile
        return {plant(k): plant(v) for k, v in t.items()} if isinstance(t, dict) else t

    kwargs = {"control": plant(template)}
    hostile.root = kwargs  # nothing else here keeps the hostile object alive
    return kwargs, families and tuple(hostile if f is HOLE else f for f in families)


def snapshot(obj):
    # Identity-based, so it calls none of the hostile methods.
    return [(id(k), snapshot(v)) for k, v in dict.items(obj)] if isinstance(obj, dict) else id(obj)


G = ("gamma",)
LINK = {"predictor": {"control_link": {"model": "quantile", "quantile": HOLE}, "foo": 1}}
NUMERIC, RANGE = messages.link_quantile_not_numeric, messages.link_quantile_range
LINK_NOT_DICT = messages.link_not_dict
NOT_STRING = messages.choice_not_text
NOT_BOOL = messages.compute_not_bool.format("dic")
FAST = messages.choice_refused.format("strategy", messages.listed(reference.STRATEGIES), "{}")
INT_CHOICE = messages.choice_refused.format("int.strategy", messages.listed(reference.INT_STRATEGIES), "{}")
VB = messages.vb_strategy_refused
KEYS = messages.compute_unsupported.format("{}", messages.listed(reference.COMPUTE_SWITCHES))
INLA_KEYS = messages.inla_unsupported.format(messages.listed(reference.INLA_KEYS), "{}")


@pytest.mark.parametrize("template, families, kind, effect, expected", [
    ({"family": {"control.link": HOLE}, "predictor": {"foo": 1}}, G, "__bool__", True, LINK_NOT_DICT),
    ({"family": {"control.link": HOLE}, "predictor": {"foo": 1}}, G, "__bool__", False, None),
    ({"family": {"control.link": HOLE}}, G, "__bool__", ValueError("b"), SAME),
    ({"family": {"control.link": HOLE}}, G, "__bool__", 2, TypeError),
    ({"predictor": {"control_link": {"model": "quantile", "quantile": 0.5}}}, (HOLE,), "__eq__", True,
     messages.link_model_missing),
    ({"predictor": {"control_link": {}}}, ("x", HOLE), "__eq__", ValueError("e"), SAME),
    ({"predictor": {"control_link": {"model": HOLE, "quantile": 0.5}}}, G, "__str__", " Quantile ",
     messages.link_quantile_missing),
    ({"predictor": {"control_link": {"model": HOLE}}}, G, "__str__", ValueError("s"), SAME),
    (LINK, G, "__float__", 0.5, None),
    (LINK, G, "__float__", 2.0, RANGE),
    (LINK, G, "__float__", "0.5", NUMERIC),
    (LINK, G, "__float__", ValueError("f"), NUMERIC),
    (LINK, G, "__float__", KeyboardInterrupt(), SAME),
    (LINK, G, "__float__", float("nan"), RANGE),
    ({"inla": {"strategy": HOLE, "int.strategy": "bad"}}, G, "__str__", "fast", FAST.format("fast")),
    ({"inla": {"strategy": HOLE, "int.strategy": "bad"}}, G, "__str__", "laplace", None),
    ({"inla": {"strategy": HOLE}}, G, "__str__", ValueError("s"), NOT_STRING.format("strategy")),
    ({"inla": {"strategy": HOLE}}, G, "__str__", KeyboardInterrupt(), SAME),
    ({"inla": {"strategy": HOLE}}, G, "__str__", 5, NOT_STRING.format("strategy")),
    ({"inla": {"strategy": HOLE}}, G, "__format__", "shown", FAST.format("shown")),
    ({"inla": {"strategy": HOLE}}, G, "__format__", ValueError("f"), SAME),
    ({"inla": {"strategy": HOLE}}, G, "__format__", 5, TypeError),
    ({"inla": {"int.strategy": None, "int_strategy": HOLE}}, G, "__str__", "grid", None),
    ({"inla": {"int_strategy": HOLE}}, G, "__str__", LookupError("s"), NOT_STRING.format("int.strategy")),
    ({"inla": {"control_vb": {"strategy": HOLE, "hessian_strategy": "x"}, "strategy": "x"}}, G,
     "__str__", "mean", None),
    ({"inla": {"control_vb": {"strategy": HOLE}}}, G, "__str__", "bad", VB.format("bad")),
    ({"inla": {"control_vb": {"strategy": HOLE}}}, G, "__format__", "shown", VB.format("shown")),
    ({"inla": {"control_vb": {"strategy": HOLE}}}, G, "__str__", ValueError("s"), SAME),
    ({"inla": {"control_vb": {"hessian_strategy": HOLE}}}, G, "__str__", SystemExit(), SAME),
    ({"inla": {HOLE: 1}}, G, "__hash__", ArithmeticError(), SAME),
    ({"compute": {HOLE: 1}}, COMPUTE, "__hash__", ArithmeticError(), SAME),
    ({"inla": {HOLE: 1}}, G, "__eq__:strategy", False, INLA_KEYS.format("H")),
    ({"inla": {HOLE: 1}}, G, "__eq__:strategy", True, None),
    ({"inla": {HOLE: 1}}, G, "__eq__:strategy", ValueError("e"), SAME),
    ({HOLE: 1, "family": 1}, G, "__repr__", "k", messages.control_unsupported.format("k")),
    ({HOLE: 1}, G, "__repr__", 5, TypeError),
    ({"compute": {"dic": HOLE}}, COMPUTE, "int.__eq__", False, NOT_BOOL),
    ({"compute": {"dic": HOLE}}, COMPUTE, "int.__eq__", True, None),
    ({"compute": {"dic": HOLE}}, COMPUTE, "int.__eq__", ValueError("e"), SAME),
    ({"compute": {HOLE: 1}}, COMPUTE, "__eq__:dic", False, KEYS.format("H")),
    ({"compute": {HOLE: 1, "cpo": 5}}, COMPUTE, "__eq__:dic", True, None),
    ({"compute": {HOLE: 1}}, COMPUTE, "__eq__:dic", ValueError("e"), SAME),
    ({HOLE: 1}, COMPUTE, "__eq__:compute", ValueError("e"), SAME),
    ({"predictor": {"control_link": {"model": "quantile", HOLE: 1}}}, G, "__eq__:quantile", ValueError("e"),
     SAME),
    ({"family": {"control.link": {HOLE: 1, "quantile": 0.5}}}, G, "__eq__:model", ValueError("e"), SAME),
    ({"predictor": {"control_link": {"model": "quantile", "quantile": 0.5}}}, ("gamma", HOLE), "__eq__",
     ValueError("e"), SAME),
    ({"family": {"control.link": {"model": "log"}}}, ("gamma", HOLE), "__eq__", True, None),
    ({"compute": {HOLE: 1, "b": 1}}, COMPUTE, "__repr__", "a", KEYS.format("a, b")),
    ({"compute": {HOLE: 1}}, COMPUTE, "__repr__", KeyboardInterrupt(), SAME),
])
def test_hostile_objects(template, families, kind, effect, expected):
    kwargs, families = build(template, families, kind, effect)
    before = snapshot(kwargs)
    try:
        if families is COMPUTE:
            got = enforce_compute_section(kwargs)
        else:
            got = enforce_control_structure(kwargs, families)
    except BaseException as exc:  # KeyboardInterrupt and SystemExit included
        got = exc
    if expected is SAME:
        assert got is effect and got.__cause__ is None
    elif isinstance(expected, type):
        assert type(got) is expected
    elif expected is None:
        assert got is None
    else:
        assert type(got) is SafetyError and str(got) == expected
    if isinstance(effect, BaseException):
        assert snapshot(kwargs) == before  # raising hooks do not wipe, so nothing changed
        if isinstance(got, SafetyError):
            assert got.__cause__ is got.__context__ is effect and got.__suppress_context__


class PopGet(dict):
    def get(self, key, default=None):
        return self.pop(key, default)  # the check may hold the only reference


class ClearingKeys(dict):
    def keys(self):
        keys = list(dict.keys(self))
        self.clear()
        return keys


class RaisingContains(dict):
    def __contains__(self, key):
        raise LookupError(key)


class WipingBool(dict):
    def __bool__(self):
        self.root.clear()  # drops kwargs' reference to this very mapping
        return True


class OddStr(str):
    # str() of a str subclass gives a plain str, so these are never used.
    strip = lower = replace = None


class TextStr(str):
    # Conversions go through the subclass's own methods, not its characters.
    def __str__(self):
        return "laplace"

    def __float__(self):
        return 0.5


class NeverEqual(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        return False


def mutates(obj):
    """Whether the input holds one of the mappings above that change themselves."""
    if isinstance(obj, (PopGet, ClearingKeys, WipingBool)):
        return True
    return isinstance(obj, dict) and any(map(mutates, dict.values(obj)))


@pytest.mark.parametrize("make, func, expected", [
    (lambda: PopGet(family={"control.link": {}}, predictor={"compute": True},
                    inla={"strategy": "fast"}), enforce_control_structure, FAST.format("fast")),
    (lambda: PopGet(compute=PopGet(dic=2)), enforce_compute_section, NOT_BOOL),
    (lambda: {"inla": PopGet({"int_strategy": "fast"})}, enforce_control_structure,
     INT_CHOICE.format("fast")),
    (lambda: ClearingKeys(inla={"strategy": "fast"}), enforce_control_structure, None),
    (lambda: {"predictor": ClearingKeys(compute=1)}, enforce_control_structure, None),
    (lambda: {"predictor": ClearingKeys(foo=1)}, enforce_control_structure,
     messages.predictor_unsupported.format("foo")),
    (lambda: {"compute": ClearingKeys(dic=5)}, enforce_compute_section, None),
    (lambda: {"inla": RaisingContains(int_strategy="x")}, enforce_control_structure, LookupError),
    (lambda: {"predictor": RaisingContains()}, enforce_control_structure, LookupError),
    (lambda: WipingBool(compute={"dic": 2}), enforce_compute_section, NOT_BOOL),
    (lambda: {"inla": {"strategy": OddStr(" Laplace "), "control_vb": {"strategy": OddStr("Mean ")}},
              "family": {"control.link": {"model": OddStr(" Quantile"), "quantile": OddStr(".5")}}},
     enforce_control_structure, None),
    (lambda: {"inla": {"strategy": TextStr("fast")}, "predictor": {"control_link": {
        "model": "quantile", "quantile": TextStr("abc")}}}, enforce_control_structure, None),
    (lambda: {NeverEqual("family"): {}}, enforce_control_structure,
     messages.control_unsupported.format("family")),
    (lambda: {"compute": {NeverEqual("dic"): True}}, enforce_compute_section, KEYS.format("dic")),
])
def test_hostile_mappings(make, func, expected):
    kwargs = {"control": make()}  # the input holds the only references
    if isinstance(kwargs["control"], WipingBool):
        kwargs["control"].root = kwargs
    before = None if mutates(kwargs) else snapshot(kwargs)
    try:
        got = func(kwargs, G) if func is enforce_control_structure else func(kwargs)
    except Exception as exc:
        got = str(exc) if type(exc) is SafetyError else type(exc)
    assert got == expected
    assert before is None or snapshot(kwargs) == before


REENTRY_SCRIPT = """if 1:
    import functools, threading
    from tarvik.safety import control
    func = control.{func}
    kwargs = {{}}

    class Reentrant(dict):
        # A staticmethod: from 3.14 a partial stored on a class binds the
        # instance as a function does, and keys() would get one argument more.
        keys = staticmethod(functools.partial(func, kwargs))

    kwargs["control"] = {{{section!r}: Reentrant(a=1)}}

    def call():
        try:
            func(kwargs)
        except RecursionError as exc:
            print(type(exc).__name__)

    if {stack}:
        threading.stack_size({stack})
        thread = threading.Thread(target=call)
        thread.start()
        thread.join()
    else:
        call()
"""


# keys() calls the check again directly, with no Python frame in between;
# in a thread whose stack is smaller than the recursion limit expects too.
@pytest.mark.parametrize("stack", [0, 512 * 1024])
@pytest.mark.parametrize("func, section", [
    ("enforce_control_structure", "inla"), ("enforce_compute_section", "compute")])
def test_reentry_through_a_keys_method_hits_the_recursion_limit(func, section, stack):
    script = REENTRY_SCRIPT.format(func=func, section=section, stack=stack)
    proc = subprocess.run([sys.executable, "-c", script], cwd=ROOT, capture_output=True,
                          text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "RecursionError\n", proc.stdout


def test_chained_raise_keeps_a_generators_exception_state_its_own():
    bad = {"control": {"inla": {"strategy": type("B", (), {"__str__": lambda s: 1 / 0})()}}}

    def gen():
        try:
            enforce_control_structure(bad)
        except SafetyError as exc:
            assert type(exc.__cause__) is ZeroDivisionError and exc.__context__ is exc.__cause__
        yield
        raise RuntimeError("later")

    try:
        raise KeyError("outer")
    except KeyError:
        g = gen()
        next(g)
    with pytest.raises(RuntimeError) as info:
        next(g)
    assert info.value.__context__ is None


class Unshowable:
    """Reads as the text "nope", but its repr and format raise: only a message needs them."""

    def __str__(self):
        return "nope"

    def __repr__(self):
        raise LookupError("shown")

    __format__ = __repr__


@pytest.mark.parametrize("func, control", [
    (enforce_control_structure, {Unshowable(): 1}),
    (enforce_control_structure, {"predictor": {Unshowable(): 1}}),
    (enforce_control_structure, {"inla": {"control_vb": {"strategy": Unshowable()}}}),
    (enforce_control_structure, {"inla": {"strategy": Unshowable()}}),
    (enforce_compute_section, {"compute": {Unshowable(): 1}}),
    (enforce_compute_section, {"compute": {"dic": 2}}),
    (enforce_compute_section, {"compute": 1}),
])
def test_safety_error_is_looked_up_before_its_message_is_built(func, control, monkeypatch):
    # As in `raise SafetyError(...)`: the missing name is the error reported.
    from tarvik.safety import control as module
    monkeypatch.delattr(module, "SafetyError")
    with pytest.raises(NameError, match="SafetyError"):
        func({"control": control})


class Contrary(str):
    """A normalised model text that is neither equal nor unequal to anything."""

    def strip(self):
        return self

    def lower(self):
        return self

    def __eq__(self, other):
        return False

    __ne__ = __eq__
    __hash__ = str.__hash__


class ContraryModel:
    def __str__(self):
        return Contrary("quantile")


@pytest.mark.parametrize("families, expected", [
    # Only a model that differs from "quantile" is refused for gamma.
    (("gamma",), None),
    # gammasurv asks whether it is one of its three models.
    (("gammasurv",), messages.link_model_gammasurv),
])
def test_model_tests_ask_the_question_the_rule_asks(families, expected):
    kwargs = {"control": {"family": {"control.link": {"model": ContraryModel(), "quantile": 0.5}}}}
    if expected is None:
        assert enforce_control_structure(kwargs, families) is None
    else:
        with pytest.raises(SafetyError, match=re.escape(expected)):
            enforce_control_structure(kwargs, families)


class Replacement(ValueError):
    pass


class Finalised(Exception):
    """A context whose finaliser gives the exception holding it another class."""

    holder = []

    def __del__(self):
        if Finalised.holder:
            Finalised.holder.pop().__class__ = Replacement
            gc.collect()


def one_off_safety_error(message):
    # A class made for this one exception: its old class is freed as soon as
    # the instance changes class.
    error = type("OneOff", (ValueError,), {})(message)
    error.__context__ = Finalised()
    Finalised.holder.append(error)
    return error


@pytest.mark.parametrize("control, families, handling", [
    ({"family": {"control.link": {"model": "quantile", "quantile": "abc"}}}, ("gamma",), False),
    ({"predictor": 5}, (), True),
])
def test_raise_survives_a_finaliser_that_changes_the_exception_class(control, families, handling, monkeypatch):
    from tarvik.safety import control as module
    monkeypatch.setattr(module, "SafetyError", one_off_safety_error, raising=False)
    for _ in range(20):
        try:
            if handling:
                try:
                    raise KeyError("being handled")
                except KeyError:
                    enforce_control_structure({"control": control}, families)
            else:
                enforce_control_structure({"control": control}, families)
        except Exception as exc:  # the class it ends up with
            assert "tarvik safety check" in str(exc)
        else:
            pytest.fail("accepted")


# A key's __repr__ that reaches every list and set holding any key of the
# section (gc.get_referrers hands out the module's own working containers as
# well as the caller's dict) and changes it while the message is being made.
# Of the dicts, only the caller's section: the interpreter's own (the
# interned strings') hold the str keys too, and clearing those breaks the
# interpreter itself, which a debug build stops at.
TAMPER_SCRIPT = """if 1:
    import gc, sys
    from tarvik.safety.control import enforce_compute_section, enforce_control_structure
    from tarvik.safety.errors import SafetyError

    def tamper(container):
        if container is section:
            container.clear()
        elif type(container) in (list, set):
            ACTION(container)

    class K:
        def __init__(self, n):
            self.n = n
        def __hash__(self):
            return self.n
        def __repr__(self):
            for key in KEYS:
                for holder in gc.get_referrers(key):
                    if holder is not KEYS:
                        tamper(holder)
            return "K%d" % self.n

    ACTION = {action}
    KEYS = (K(1), K(2), "zz", "aa")
    section = dict.fromkeys(KEYS, 1)
    control = {{"compute": section}} if {section!r} == "compute" else {{
        "control": section, "predictor": {{"predictor": section}},
        "inla": {{"inla": section}}, "control_vb": {{"inla": {{"control_vb": section}}}},
    }}[{section!r}]
    check = enforce_compute_section if {section!r} == "compute" else enforce_control_structure
    try:
        check({{"control": control}})
    except SafetyError as exc:
        print(exc)
"""
TAMPER_ACTIONS = {
    "clear": "lambda c: c.clear()",
    "shrink": "lambda c: c.__delitem__(slice(1, None)) if type(c) is list else c.clear()",
    "replace": "lambda c: c.__setitem__(slice(None), [5] * 3) if type(c) is list else c.add(5)",
    "grow": "lambda c: c.extend([object()] * 100) if type(c) is list else c.update(range(100))",
}
KEY_LISTS = {
    "control": messages.control_unsupported,
    "predictor": messages.predictor_unsupported,
    "inla": INLA_KEYS,
    "control_vb": messages.vb_unsupported.format(messages.listed(reference.CONTROL_VB_KEYS), "{}"),
    "compute": KEYS,
}


@pytest.mark.parametrize("action", TAMPER_ACTIONS)
@pytest.mark.parametrize("section", KEY_LISTS)
def test_key_list_survives_reprs_that_change_what_they_reach(section, action):
    # In a fresh interpreter: a fault here used to crash it.
    script = TAMPER_SCRIPT.format(action=TAMPER_ACTIONS[action], section=section)
    proc = subprocess.run([sys.executable, "-c", script], cwd=ROOT, capture_output=True,
                          text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr
    # The message lists exactly the keys the section held when it was read.
    assert proc.stdout == KEY_LISTS[section].format("K1, K2, aa, zz") + "\n"


class Disagreeing(dict):
    """A mapping whose `in`, `get` and item lookup tell different stories."""

    def __init__(self, got, item):
        super().__init__()
        self.got, self.item = got, item

    def __contains__(self, key):
        return key == "int_strategy"

    def get(self, key, default=None):
        return self.got if key == "int_strategy" else default

    def __getitem__(self, key):
        if self.item is KeyError:
            raise KeyError(key)
        return self.item


@pytest.mark.parametrize("got, item, expected", [
    ("ccd", KeyError, None),
    ("bad", "ccd", INT_CHOICE.format("bad")),
    (None, "bad", None),  # a None from get is a missing setting
])
def test_int_strategy_fallback_is_read_with_get(got, item, expected):
    try:
        result = enforce_control_structure({"control": {"inla": Disagreeing(got, item)}})
    except SafetyError as exc:
        result = str(exc)
    assert result == expected


def fresh(text):
    """An equal str that is not the interned literal."""
    return "".join(list(text))


TOP = sorted(reference.TOP_LEVEL_KEYS)
VB_KEYS = sorted(reference.CONTROL_VB_KEYS)
SWITCHES = sorted(reference.COMPUTE_SWITCHES)
QUANTILE_LINK = {"model": "quantile", "quantile": 0.5}
# (where the fresh name goes, the name): keys of every section, then values.
FIXED_NAMES = [
    *((lambda n: {n: None}, n) for n in TOP),
    *((lambda n: {"family": {n: QUANTILE_LINK}}, n) for n in ("control.link", "control_link")),
    *((lambda n: {"predictor": {n: QUANTILE_LINK}}, n) for n in ("control.link", "control_link")),
    *((lambda n: {"predictor": {n: True}}, n) for n in ("compute", "link")),
    *((lambda n: {"family": {"control.link": {n: "log"}}}, n) for n in ("model",)),
    *((lambda n: {"family": {"control.link": {"model": "quantile", n: 0.5}}}, n) for n in ("quantile",)),
    *((lambda n: {"inla": {n: None}}, n) for n in sorted(reference.INLA_KEYS)),
    *((lambda n: {"inla": {"control_vb": {n: None}}}, n) for n in VB_KEYS),
    *((lambda n: {"compute": {n: True}}, n) for n in SWITCHES),
    *((lambda n: {"inla": {"strategy": n}}, n) for n in sorted(reference.STRATEGIES)),
    *((lambda n: {"inla": {"int.strategy": n}}, n) for n in sorted(reference.INT_STRATEGIES)),
    *((lambda n: {"inla": {"control_vb": {"strategy": n}}}, n) for n in reference.VB_STRATEGIES),
    *((lambda n: {"inla": {"control_vb": {"hessian_strategy": n}}}, n) for n in reference.VB_HESSIAN_STRATEGIES),
    *((lambda n: {"family": {"control.link": {"model": n, "quantile": 0.5}}}, n)
      for n in reference.GAMMASURV_MODELS),
]  # fmt: skip


@pytest.mark.parametrize("place, name", FIXED_NAMES, ids=[f"{i}-{n}" for i, (_, n) in enumerate(FIXED_NAMES)])
def test_no_callers_object_is_kept_after_a_call(place, name):
    spelled = fresh(name)
    assert spelled is not name
    families = (fresh("gammasurv"), fresh("gamma"))
    kwargs = {"control": place(spelled)}
    before = sys.getrefcount(spelled), [sys.getrefcount(f) for f in families]
    for _ in range(3):
        enforce_control_structure(kwargs, families)
        enforce_compute_section(kwargs)
    assert (sys.getrefcount(spelled), [sys.getrefcount(f) for f in families]) == before


_new_str = ctypes.pythonapi.PyUnicode_New
_new_str.restype, _new_str.argtypes = ctypes.py_object, [ctypes.c_ssize_t, ctypes.c_uint32]


def one_byte(text):
    """An equal str stored one byte a character but not flagged ASCII, as the
    C API lets an extension make it (a maximum character above 127)."""
    made = _new_str(len(text), 255)
    data = sys.getsizeof(_new_str(1, 255)) - 2  # header of such a str
    ctypes.memmove(id(made) + data, text.encode("ascii"), len(text))
    assert made == text and hash(made) == hash(text) and not made.isascii()
    return made


def outcome(call):
    try:
        return call()
    except SafetyError as exc:
        return str(exc)


@pytest.mark.parametrize("families", [("gammasurv", "gamma"), ("gamma",)])
@pytest.mark.parametrize("place, name", FIXED_NAMES, ids=[f"{i}-{n}" for i, (_, n) in enumerate(FIXED_NAMES)])
def test_any_equal_str_is_the_name(place, name, families):
    def both(control, families):
        kwargs = {"control": control}
        return (outcome(lambda: enforce_control_structure(kwargs, families)),
                outcome(lambda: enforce_compute_section(kwargs)))

    expected = both(place(name), families)
    assert both(place(one_byte(name)), families) == expected
    assert both(place(name), tuple(map(one_byte, families))) == expected


class Falsy:
    def __bool__(self):
        return False


class Truthy:
    def __bool__(self):
        return True


class RaisingTruth:
    def __bool__(self):
        raise LookupError("truth")


@pytest.mark.parametrize("answers, expected", [
    # `value == 0 or value == 1`: the second question only when the first says no.
    ([Truthy()], None),
    ([Falsy(), Truthy()], None),
    ([Falsy(), Falsy()], NOT_BOOL),
    ([LookupError("eq")], LookupError),
    ([RaisingTruth()], LookupError),
    ([Falsy(), LookupError("eq")], LookupError),
])
@pytest.mark.parametrize("keys", [("dic",), ("cpo",), ("dic", "cpo")])
def test_int_subclass_switch_is_judged_by_its_own_equality(answers, expected, keys):
    asked = []

    class Switch(int):
        __hash__ = int.__hash__

        def __eq__(self, other):
            asked.append(other)
            self.count = getattr(self, "count", 0) + 1
            answer = answers[self.count - 1]
            if isinstance(answer, BaseException):
                raise answer
            return answer

    compute = {key: Switch(7) for key in keys}
    try:
        got = enforce_compute_section({"control": {"compute": compute}})
    except (SafetyError, LookupError) as exc:
        got = type(exc) if type(exc) is LookupError else str(exc).replace("'cpo'", "'dic'")
    assert got == expected
    if expected is LookupError:
        # The first error ends the call: no other value is compared.
        assert asked == [0, 1][:len(answers)]
    elif expected is None:
        assert asked == [0, 1][:len(answers)] * len(keys)


# What `raise SafetyError(message)` and, for a failed conversion,
# `raise SafetyError(message) from exc` in its handler give in Python.
PYTHON_RAISES = """
def plain(message):
    raise SafetyError(message)

def chained(convert, message):
    try:
        convert()
    except Exception as exc:
        raise SafetyError(message) from exc
"""


class Cause(Exception):
    pass


class Unmakeable(Exception):
    def __init__(self):
        raise LookupError("not made")


def raise_(exc):
    raise exc


class NotAnInstance(Exception):
    def __new__(cls, *args):
        return 5


class MakesAnother(Exception):
    """Its instances are Cause's: the interpreter makes one once more from
    the one a raise of the class made."""

    def __new__(cls, *args):
        return Cause(*args, "made by MakesAnother")


def raised_a_while_b_while_c():
    """C raised while handling B, raised while handling A; the chain leads back to A."""
    try:
        try:
            raise KeyError("A")
        except KeyError:
            raise IndexError("B")
    except IndexError:
        raise Cause("C")


class Chain:
    """The exceptions of the last conversion, for a factory to hand back."""

    raised = []

    def __float__(self):
        try:
            raised_a_while_b_while_c()
        except Cause as exc:
            Chain.raised[:] = [exc.__context__.__context__, exc.__context__, exc]
            raise

    __str__ = __float__


def make_cycle():
    try:
        raise Cause("cycle")
    except Cause as exc:
        other = IndexError("other")
        exc.__context__, other.__context__ = other, exc
        raise


class Cyclic:
    def __float__(self):
        make_cycle()

    __str__ = __float__


def raised_here(text):
    """An exception raised, then caught: it has a traceback and, raised
    while another was being handled, a context."""
    try:
        raise_(Cause(text))
    except Cause as exc:
        return exc


FACTORIES = {
    "missing": None,
    "sees what it handles": lambda text: Cause(text + " | handling " + type(sys.exc_info()[1]).__name__),
    "returns an exception it raised": raised_here,
    "class": Cause,
    "instance": lambda text: Cause(text),
    "returns a class": lambda text: Cause,
    "returns a class making no instance": lambda text: NotAnInstance,
    "returns a class making another's instance": lambda text: MakesAnother,
    "raises": lambda text: [][0],
    "returns no exception": lambda text: text,
    "returns the first of the chain": lambda text: Chain.raised[0] if Chain.raised else Cause(text),
    "returns the cause": lambda text: Chain.raised[-1] if Chain.raised else Cause(text),
    "raises the cause": lambda text: raise_(Chain.raised[-1] if Chain.raised else Cause(text)),
    "returns a class that cannot be made": lambda text: Unmakeable,
}
TRIGGERS = {
    # control, families, message, the conversion it makes in Python
    "quantile text": ({"family": {"control.link": {"model": "quantile", "quantile": "abc"}}}, ("gamma",),
                      NUMERIC, lambda: float("abc")),
    "quantile object": ({"predictor": {"control_link": {"model": "quantile", "quantile": Chain()}}},
                        ("gamma",), NUMERIC, lambda: float(Chain())),
    "choice text": ({"inla": {"strategy": Chain()}}, (), NOT_STRING.format("strategy"), lambda: str(Chain())),
    "cyclic context": ({"inla": {"int.strategy": Cyclic()}}, (), NOT_STRING.format("int.strategy"),
                       lambda: str(Cyclic())),
    "no conversion": ({"predictor": 5}, (), messages.predictor_not_dict, None),
}


def chain_shape(exc):
    """Types and messages along cause and context links, and where they lead back."""
    shape, seen = [], []
    while exc is not None and all(exc is not other for other in seen):
        seen.append(exc)
        cause = exc.__cause__
        frames = [frame.name for frame in traceback.extract_tb(exc.__traceback__)
                  if frame.name in ("raise_", "raised_here")]
        shape.append((type(exc).__name__, str(exc), exc.__suppress_context__, frames,
                      None if cause is None else (type(cause).__name__, str(cause), cause is exc)))
        exc = exc.__context__
    shape.append(None if exc is None else [i for i, other in enumerate(seen) if other is exc])
    return shape


@pytest.mark.parametrize("factory", FACTORIES)
@pytest.mark.parametrize("trigger", TRIGGERS)
def test_raise_chains_as_python_does(factory, trigger, monkeypatch):
    """Whatever SafetyError names, the raise ends as the Python statements do."""
    from tarvik.safety import control as module
    control, families, message, convert = TRIGGERS[trigger]
    python = {"__builtins__": __builtins__}
    exec(PYTHON_RAISES, python)
    if FACTORIES[factory] is None:
        monkeypatch.delattr(module, "SafetyError")
    else:
        monkeypatch.setattr(module, "SafetyError", FACTORIES[factory])
        python["SafetyError"] = FACTORIES[factory]

    def ending(call):
        Chain.raised[:] = []
        try:
            call()
        except BaseException as exc:
            return chain_shape(exc)
        return None

    native = ending(lambda: enforce_control_structure({"control": control}, families))
    if convert is None:
        expected = ending(lambda: python["plain"](message))
    else:
        expected = ending(lambda: python["chained"](convert, message))
    assert native == expected


class Trap(dict):
    """A section that raises at one chosen read, and logs the reads before it."""

    def __init__(self, name, items, trap, log):
        super().__init__(items)
        self.name, self.trap, self.log = name, trap, log

    def read(self, *what):
        self.log.append((self.name, *what))
        if (self.name, *what) == self.trap:
            raise Boom(self.trap)

    def get(self, key, default=None):
        self.read("get", key)
        return super().get(key, default)

    def keys(self):
        self.read("keys")
        return super().keys()

    def __contains__(self, key):
        self.read("in", key)
        return super().__contains__(key)

    def __getitem__(self, key):
        self.read("[]", key)
        return super().__getitem__(key)


class Boom(Exception):
    pass


def trapped_call(layout, trap, alone=False):
    """Builds the sections of `layout` as Traps (`alone`: only the trapped
    one, the others plain dicts) and runs the check it names."""
    func, families, tree = layout
    log = []

    def build(name, items):
        items = {key: build(*value) if isinstance(value, tuple) else value for key, value in items.items()}
        return Trap(name, items, trap, log) if not alone or name == trap[0] else items

    kwargs = {"control": build(*tree)}
    try:
        got = func(kwargs, families) if func is enforce_control_structure else func(kwargs)
    except Boom as exc:
        assert exc.args == (trap,) and exc.__cause__ is None and exc.__context__ is None
        got = Boom
    return got, log


QUANTILE_LINK = {"model": "quantile", "quantile": 0.5}
LAYOUTS = {
    "structure": (enforce_control_structure, ("gamma",), ("control", {
        "family": ("family", {"control.link": ("link", QUANTILE_LINK)}),
        "predictor": ("predictor", {"compute": True, "control_link": ("plink", QUANTILE_LINK)}),
        "inla": ("inla", {"control_vb": ("vb", {"strategy": "mean", "hessian_strategy": "full"}),
                          "strategy": "auto", "int.strategy": None, "int_strategy": "ccd"}),
    })),
    "structure, fallbacks": (enforce_control_structure, ("gammasurv",), ("control", {
        "family": ("family", {"control.link": ("empty", {}), "control_link": ("link", {"model": "log"})}),
        "predictor": ("predictor", {"control.link": ("plink", {"model": "neglog"})}),
        "inla": ("inla", {"int.strategy": None, "int_strategy": "grid"}),
    })),
    "compute": (enforce_compute_section, None, ("control", {
        "compute": ("compute", {"dic": True, "cpo": 0, "waic": 1}),
    })),
}
READS = [(name, read) for name, layout in LAYOUTS.items() for read in trapped_call(layout, None)[1]]


@pytest.mark.parametrize("alone", [False, True])
@pytest.mark.parametrize("layout, read", READS)
def test_caller_error_at_each_read_passes_through(layout, read, alone):
    # Alone: the rest of the call is plain dicts, read without running Python
    # code, so an error that were not passed on at once would go unnoticed.
    assert trapped_call(LAYOUTS[layout], None)[0] is None  # accepted when nothing raises
    got, log = trapped_call(LAYOUTS[layout], read, alone)
    assert got is Boom and log[-1] == read  # raised at once, as it came


def test_every_read_is_trapped():
    # The reads that a rewrite must keep making, each of which can raise.
    assert {read[1:] for _, read in READS} >= {
        ("get", "family"), ("get", "control.link"), ("get", "control_link"), ("get", "model"),
        ("get", "quantile"), ("get", "predictor"), ("in", "control.link"), ("in", "control_link"),
        ("keys",), ("in", "compute"), ("[]", "compute"), ("get", "inla"), ("get", "control_vb"),
        ("get", "strategy"), ("get", "hessian_strategy"), ("get", "int.strategy"),
        ("get", "int_strategy"), ("get", "compute"), ("[]", "dic")}


class Disguised:
    """Claims a class through a __class__ that raises: isinstance() asks it."""

    @property
    def __class__(self):
        raise Boom("__class__")


@pytest.mark.parametrize("func, control, families", [
    (enforce_control_structure, HOLE, ()),
    (enforce_control_structure, {"family": HOLE}, ()),
    (enforce_control_structure, {"family": {"control.link": HOLE}}, ("gamma",)),
    (enforce_control_structure, {"predictor": HOLE}, ()),
    (enforce_control_structure, {"predictor": {"control_link": HOLE}}, ("gamma",)),
    (enforce_control_structure, {"predictor": {"compute": HOLE}}, ()),
    (enforce_control_structure, {"inla": HOLE}, ()),
    (enforce_control_structure, {"inla": {"control_vb": HOLE}}, ()),
    (enforce_compute_section, HOLE, None),
    (enforce_compute_section, {"compute": HOLE}, None),
    (enforce_compute_section, {"compute": {"dic": HOLE}}, None),
])
def test_caller_error_from_a_class_test_passes_through(func, control, families):
    def plant(tree):
        if tree is HOLE:
            return Disguised()
        return {key: plant(value) for key, value in tree.items()} if isinstance(tree, dict) else tree

    kwargs = {"control": plant(control)}
    with pytest.raises(Boom, match="__class__"):
        func(kwargs, families) if func is enforce_control_structure else func(kwargs)


@pytest.mark.parametrize("func, control", [
    (enforce_compute_section, RaisingTruth()),  # `kwargs.get("control") or {}`
    (enforce_control_structure, {"family": {"control.link": RaisingTruth()}}),
    (enforce_control_structure, {"predictor": {"control.link": RaisingTruth()}}),
])
def test_caller_error_from_a_truth_test_passes_through(func, control):
    with pytest.raises(LookupError, match="truth"):
        func({"control": control}, ("gamma",)) if func is enforce_control_structure else func(
            {"control": control})


def test_caller_error_from_a_colliding_kwargs_key_passes_through():
    class Key:
        def __hash__(self):
            return hash("control")

        def __eq__(self, other):
            raise LookupError("compared")

    for func in (enforce_control_structure, enforce_compute_section):
        with pytest.raises(LookupError, match="compared"):
            func({Key(): 1})


class Unorderable(str):
    """A normalised text whose comparisons and hash raise."""

    def strip(self):
        return self

    lower = strip

    def replace(self, old, new):
        return self

    def __eq__(self, other):
        raise LookupError("compared")

    __ne__ = __eq__

    def __hash__(self):
        raise LookupError("hashed")


class UnorderableText:
    def __str__(self):
        return Unorderable("\u2003text")


@pytest.mark.parametrize("control, families, error", [
    ({"family": {"control.link": {"model": UnorderableText(), "quantile": 0.5}}}, ("gamma",), "compared"),
    ({"family": {"control.link": {"model": UnorderableText()}}}, ("gammasurv",), "compared"),
    ({"inla": {"strategy": UnorderableText()}}, (), "hashed"),
    ({"inla": {"control_vb": {"strategy": UnorderableText()}}}, (), "compared"),
    ({"inla": {"control_vb": {"hessian_strategy": UnorderableText()}}}, (), "compared"),
])
def test_caller_error_from_comparing_a_normalised_text_passes_through(control, families, error):
    with pytest.raises(LookupError, match=error):
        enforce_control_structure({"control": control}, families)


class ListAtSecondAsking:
    """Not a dict, then a __class__ that raises when asked whether it is a list."""

    asked = 0

    @property
    def __class__(self):
        ListAtSecondAsking.asked += 1
        if ListAtSecondAsking.asked > 1:
            raise Boom("__class__")
        return int


def test_caller_error_from_the_family_list_test_passes_through():
    ListAtSecondAsking.asked = 0
    with pytest.raises(Boom):
        enforce_control_structure({"control": {"family": ListAtSecondAsking()}})
    assert ListAtSecondAsking.asked == 2



class Equal(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        return True


@pytest.mark.parametrize("families, model, expected", [
    # A family is judged by its own equality, never by its text alone.
    ((NeverEqual("gamma"),), "quantile", messages.link_family),
    ((NeverEqual("gammasurv"),), "log", messages.link_family),
    (("gamma", NeverEqual("gammasurv")), "log", messages.link_model_gamma),
    ((Equal("poisson"),), "log", None),  # equal to "gammasurv" as well
    ((type("Plain", (str,), {})("gamma"),), "quantile", None),
])
def test_families_are_compared_by_their_own_equality(families, model, expected):
    kwargs = {"control": {"family": {"control.link": {"model": model, "quantile": 0.5}}}}
    if expected is None:
        assert enforce_control_structure(kwargs, families) is None
    else:
        with pytest.raises(SafetyError) as info:
            enforce_control_structure(kwargs, families)
        assert str(info.value) == expected


# A SafetyError that empties every mapping and list of the call, and the
# module's namespace, before the exception exists: a refusal decided on exact
# types must not read what it borrowed once raising has begun.
EMPTYING_SCRIPT = """if 1:
    import gc, sys
    sys.path.insert(0, {bench!r})
    import workloads
    from tarvik.safety import control as module
    from tarvik.safety.errors import SafetyError

    def empty(obj):
        if type(obj) in (dict, list):
            for item in list(obj.values() if type(obj) is dict else obj):
                empty(item)
            obj.clear()

    def emptying(message):
        empty(CALL[0])
        vars(module).pop("SafetyError", None)
        gc.collect()
        return SafetyError(message)

    for workload in workloads.REFUSED:
        for check, expected in workload.expected.items():
            CALL = [workload.kwargs]
            module.SafetyError = emptying
            try:
                if check == "structure":
                    module.enforce_control_structure(workload.kwargs, workload.families)
                else:
                    module.enforce_compute_section(workload.kwargs)
            except SafetyError as exc:
                assert str(exc) == expected, (workload.name, str(exc))
            else:
                raise AssertionError(workload.name)
    print("ok")
"""


def test_refusal_survives_a_safety_error_that_empties_the_call():
    bench = str(pathlib.Path(__file__).resolve().parents[1] / "bench")
    script = EMPTYING_SCRIPT.replace("{bench!r}", repr(bench))
    proc = subprocess.run([sys.executable, "-c", script], cwd=ROOT, capture_output=True,
                          text=True, timeout=600)
    assert proc.returncode == 0 and proc.stdout == "ok\n", proc.stderr
