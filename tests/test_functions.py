"""The public functions as function objects: introspection, binding, argument tests."""
import builtins
import collections
import copy
import importlib.util
import inspect
import os
import pathlib
import pickle
import pydoc
import subprocess
import sys
import typing

import messages
import pytest
import reference

from tarvik.safety import control

ECS = control.enforce_control_structure
ECP = control.enforce_compute_section
SIGNATURES = {
    ECS: "(kwargs: 'Dict[str, Any]', families: 'Tuple[str, ...]' = ()) -> 'None'",
    ECP: "(kwargs: 'Dict[str, Any]') -> 'None'",
}


# Python functions of the same signatures: their binding errors are the reference.
def enforce_control_structure(kwargs, families=()):
    pass


def enforce_compute_section(kwargs):
    pass


REFERENCE = {ECS: enforce_control_structure, ECP: enforce_compute_section}


def test_function_attributes():
    assert (ECS.__name__, ECS.__qualname__) == ("enforce_control_structure",) * 2
    assert (ECP.__name__, ECP.__qualname__) == ("enforce_compute_section",) * 2
    assert ECS.__module__ == ECP.__module__ == "tarvik.safety.control"
    assert ECS.__doc__ == ("Allow only ``family`` and ``predictor`` keys in control, "
                           "and constrain predictor.")
    assert ECP.__doc__ is None
    assert ECS.__defaults__ == ((),) and ECP.__defaults__ is None
    assert ECS.__kwdefaults__ is None and ECP.__kwdefaults__ is None
    assert ECS.__annotations__ == {"kwargs": "Dict[str, Any]", "families": "Tuple[str, ...]",
                                   "return": "None"}
    assert ECP.__annotations__ == {"kwargs": "Dict[str, Any]", "return": "None"}
    assert ECS.__globals__ is ECP.__globals__ is vars(control)
    assert type(ECS).__module__ == "tarvik.safety.control"


@pytest.mark.parametrize("func", [ECS, ECP])
def test_behaves_like_a_python_function(func, monkeypatch):
    assert str(inspect.signature(func)) == SIGNATURES[func]
    expected_hints = {"kwargs": typing.Dict[str, typing.Any], "return": type(None)}
    if func is ECS:
        expected_hints["families"] = typing.Tuple[str, ...]
    assert typing.get_type_hints(func) == expected_hints
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(func, protocol)) is func
    assert copy.copy(func) is func and copy.deepcopy(func) is func
    assert repr(func) == f"<function {func.__name__} at {id(func):#x}>"
    assert inspect.isroutine(func)
    assert set(dir(REFERENCE[func])) <= set(dir(func))  # this version's function attributes
    monkeypatch.setattr(func, "tag", 7, raising=False)
    monkeypatch.setitem(func.__dict__, "other", 8)
    assert (func.__dict__["tag"], func.other) == (7, 8)
    # help() shows it as it shows the model's Python function of that name.
    model = getattr(reference, func.__name__)
    assert pydoc.plaintext.document(func) == pydoc.plaintext.document(model)
    assert func.__name__ in pydoc.render_doc(control, renderer=pydoc.plaintext)

    class Holder:
        method = func

    holder = Holder()
    assert Holder.method is func
    assert holder.method.__self__ is holder and holder.method.__func__ is func
    with pytest.raises(TypeError, match=r"expected dict, got Holder\)$"):
        holder.method()  # the instance arrives as `kwargs`


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy not installed")
@pytest.mark.skipif(bool(os.environ.get("TARVIK_SANITIZE")), reason="instrumented build")
def test_stub_matches_module(tmp_path):
    root = pathlib.Path(control.__file__).resolve().parents[2]
    # An installed copy is found from anywhere; from site-packages itself,
    # mypy would take every module there for one of the user's own.
    cwd = tmp_path if root.name == "site-packages" else root
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "tarvik.safety.control"],
                          cwd=cwd, capture_output=True, text=True,
                          env={**os.environ, "MYPY_CACHE_DIR": str(tmp_path)})
    assert proc.returncode == 0, proc.stdout + proc.stderr


D = {}


@pytest.mark.parametrize("func", [ECS, ECP])
@pytest.mark.parametrize("args, kwargs", [
    ((), {}), ((D,), {}), ((D, ()), {}), ((D, (), 3), {}), ((), {"kwargs": D}),
    ((), {"kwargs": D, "families": ()}), ((D,), {"families": ()}), ((), {"families": ()}),
    ((D,), {"kwargs": D}), ((D, ()), {"kwargs": D, "families": ()}), ((), {"foo": 1}),
    ((D,), {"foo": 1}), ((), {"kwargs": D, "foo": 1, "bar": 2}), ((D, (), 3), {"foo": 1}),
])
def test_argument_binding_matches_python(func, args, kwargs):
    def outcome(callee):
        try:
            return callee(*args, **kwargs)
        except TypeError as exc:
            return type(exc), str(exc)

    assert outcome(func) == outcome(REFERENCE[func])


class MyDict(dict):
    pass


class MyTuple(tuple):
    pass


def incorrect(name, got, subclass=False):
    expected = "dict" if name == "kwargs" else "tuple"
    note = ". Subclasses of built-in types are not accepted." if subclass else ""
    return f"Argument '{name}' has incorrect type (expected {expected}, got {got}){note}"


TYPE_CASES = [
    ((None,), incorrect("kwargs", "NoneType")),
    (([],), incorrect("kwargs", "list")),
    ((type("L" * 250, (), {})(),), incorrect("kwargs", "L" * 200)),  # names cut at 200
    ((collections.OrderedDict(),), incorrect("kwargs", "collections.OrderedDict", True)),
    ((MyDict(control=[]),), incorrect("kwargs", "MyDict", True)),
    (({}, ["gamma"]), incorrect("families", "list")),
    (({}, None), incorrect("families", "NoneType")),
    (({}, MyTuple(("gamma",))), incorrect("families", "MyTuple", True)),
    (([], None), incorrect("kwargs", "list")),  # both wrong: kwargs is reported
]


@pytest.mark.parametrize("func, args, message", [(ECS, *case) for case in TYPE_CASES] + [
    (ECP, *case) for case in TYPE_CASES if len(case[0]) == 1])
def test_argument_types(func, args, message):
    with pytest.raises(TypeError) as info:
        func(*args)
    assert str(info.value) == message


class OtherError(Exception):
    pass


@pytest.mark.parametrize("func, kwargs, message", [
    (ECS, {"control": []}, messages.control_not_dict),
    (ECP, {"control": {"compute": 1}}, messages.compute_not_dict),
])
def test_safety_error_is_looked_up_at_raise_time(func, kwargs, message, monkeypatch):
    monkeypatch.setattr(control, "SafetyError", OtherError)
    with pytest.raises(OtherError) as info:
        func(kwargs)
    assert type(info.value) is OtherError and info.value.args == (message,)
    # Whatever the name holds is called with the message and its result raised.
    monkeypatch.setattr(control, "SafetyError", lambda text: KeyError("via factory"))
    with pytest.raises(KeyError, match="via factory"):
        func(kwargs)
    monkeypatch.setattr(control, "SafetyError", lambda text: text)
    with pytest.raises(TypeError, match="exceptions must derive from BaseException"):
        func(kwargs)
    monkeypatch.delattr(control, "SafetyError")
    monkeypatch.setattr(builtins, "SafetyError", OtherError, raising=False)
    with pytest.raises(OtherError):
        func(kwargs)
    monkeypatch.delattr(builtins, "SafetyError")
    with pytest.raises(NameError, match="^name 'SafetyError' is not defined$"):
        func(kwargs)


@pytest.mark.parametrize("defaults", [None, (), ((),), (("gamma",),), ({}, ("gamma",)), ([], {}, ()),
                                      MyTuple(((),))])
@pytest.mark.parametrize("func", [ECS, ECP])
@pytest.mark.parametrize("args, kwargs", [((), {}), ((D,), {}), ((), {"kwargs": D}), ((D, ()), {})])
def test_binding_uses_assigned_defaults(func, defaults, args, kwargs, monkeypatch):
    reference = REFERENCE[func]
    for target in (func, reference):
        monkeypatch.setattr(target, "__defaults__", defaults)
    assert func.__defaults__ == reference.__defaults__

    def outcome(callee):
        try:
            return callee(*args, **kwargs)
        except TypeError as exc:
            # An argument test names the type it got; binding errors read alike.
            return type(exc), str(exc)

    got = outcome(func)
    expected = outcome(reference)
    if got != expected:  # the Python stand-in has no argument tests
        assert expected is None and "has incorrect type" in got[1], got


@pytest.mark.parametrize("name, value, message", [
    ("__defaults__", [()], "__defaults__ must be set to a tuple object"),
    ("__kwdefaults__", (), "__kwdefaults__ must be set to a dict object"),
])
@pytest.mark.parametrize("func", [ECS, ECP])
def test_defaults_are_assigned_as_on_a_python_function(func, name, value, message, monkeypatch):
    reference = REFERENCE[func]
    for target in (func, reference):
        with pytest.raises(TypeError, match=f"^{message}$"):
            setattr(target, name, value)
    monkeypatch.setattr(func, "__kwdefaults__", {"x": 1})
    assert func.__kwdefaults__ == {"x": 1}
    monkeypatch.setattr(func, "__kwdefaults__", None)
    assert func.__kwdefaults__ is None


def test_defaults_replaced_during_a_call_stay_alive_for_it():
    # A kwargs key that compares with "control" during its lookup drops the
    # only reference to the defaults the call was bound with.
    root = pathlib.Path(control.__file__).resolve().parents[2]
    script = """if 1:
        from tarvik.safety.control import enforce_control_structure as check
        check.__defaults__ = (tuple(["gam" + "ma"]),)
        class Replacing:
            armed = False
            def __hash__(self):
                return hash("control")
            def __eq__(self, other):
                if Replacing.armed:
                    check.__defaults__ = None
                return False
        kwargs = {Replacing(): 1, "control": {"family": {"control.link": {"model": "quantile", "quantile": 0.5}}}}
        Replacing.armed = True
        print(check(kwargs), check.__defaults__)
    """
    proc = subprocess.run([sys.executable, "-c", script], cwd=root, capture_output=True, text=True,
                          timeout=600)
    assert (proc.returncode, proc.stdout) == (0, "None None\n"), proc.stderr


class Name(str):
    pass


ATTRIBUTE_CHANGES = [
    ("__name__", "renamed"), ("__name__", Name("sub")), ("__name__", 5), ("__name__", None),
    ("__qualname__", "Outer.renamed"), ("__qualname__", b"x"), ("__annotations__", {"x": "int"}),
    ("__annotations__", None), ("__annotations__", ["kwargs"]), ("__module__", "elsewhere"),
    ("__module__", 5),
]
DELETIONS = ["__name__", "__qualname__", "__annotations__", "__module__"]
if sys.version_info >= (3, 12):  # Python functions have had __type_params__ since
    ATTRIBUTE_CHANGES += [("__type_params__", (typing.TypeVar("T"),)), ("__type_params__", [])]
    DELETIONS.append("__type_params__")


@pytest.mark.parametrize("func", [ECS, ECP])
@pytest.mark.parametrize("attribute, value",
                         ATTRIBUTE_CHANGES + [(name, "delete") for name in DELETIONS])
def test_assigning_attributes_as_on_a_python_function(func, attribute, value):
    reference = REFERENCE[func]
    assert (reference.__name__, reference.__qualname__) == (func.__name__, func.__qualname__)

    def change(target):
        saved = getattr(target, attribute)
        try:
            if value == "delete":
                delattr(target, attribute)
            else:
                setattr(target, attribute, value)
        except TypeError as exc:
            return "refused", str(exc), getattr(target, attribute) == saved
        try:
            # What the names show: repr and binding errors use the qualified name.
            with pytest.raises(TypeError) as info:
                target()
            return getattr(target, attribute), str(info.value), repr(target).split(" at ")[0]
        finally:
            setattr(target, attribute, saved)

    # The reference functions have the same names and qualified names.
    assert change(func) == change(reference)
    assert str(inspect.signature(func)) == SIGNATURES[func]  # restored


# The attribute changes a Python function reports to audit hooks, made on
# both kinds of function in a fresh process (a hook cannot be removed).
AUDIT_SCRIPT = """if 1:
    import sys
    from tarvik.safety.control import enforce_control_structure as native

    def python(kwargs, families=()):
        pass

    python.__module__ = native.__module__
    events = []
    sys.addaudithook(lambda event, args: event.startswith("object.") and events.append((event, args[1:])))
    for func in (native, python):
        del events[:]
        func.__code__
        func.__defaults__ = ((),); func.__defaults__ = None; del func.__defaults__
        func.__kwdefaults__ = {}; func.__kwdefaults__ = None; del func.__kwdefaults__
        func.__module__ = "elsewhere"; del func.__module__; del func.__module__
        print(events, func.__module__, vars(func))
"""


def test_attribute_changes_as_on_a_python_function_for_audit_hooks():
    root = pathlib.Path(control.__file__).resolve().parents[2]
    proc = subprocess.run([sys.executable, "-c", AUDIT_SCRIPT], cwd=root, capture_output=True,
                          text=True, timeout=600)
    lines = proc.stdout.splitlines()
    assert len(lines) == 2 and lines[0] == lines[1] and "__code__" in lines[0], proc.stderr


def test_annotations_set_to_none_read_back_as_a_new_dict():
    saved = ECP.__annotations__
    try:
        ECP.__annotations__ = None
        first = ECP.__annotations__
        assert first == {} and ECP.__annotations__ is first
    finally:
        ECP.__annotations__ = saved
    assert str(inspect.signature(ECP)) == SIGNATURES[ECP]


class Keyword(str):
    """A keyword equal to a parameter name, with equality of its own."""

    def __eq__(self, other):
        return str(self) == other

    __hash__ = str.__hash__


class RaisingKeyword(str):
    def __eq__(self, other):
        raise LookupError("compared")

    __hash__ = str.__hash__


@pytest.mark.parametrize("func", [ECS, ECP])
@pytest.mark.parametrize("keywords", [
    ("".join(["kw", "args"]),),  # equal, not the same object
    ("".join(["kw", "args"]), "".join(["fami", "lies"])),
    (Keyword("kwargs"),),
    ("kwargs", "".join(["kw", "args"])),
    (RaisingKeyword("kwargs"),),
    (RaisingKeyword("other"),),
    (5,),
    ("x", 5),
])
def test_keyword_names_bound_as_python_binds_them(func, keywords):
    # Calls with these keyword names, as a C caller makes them.
    import _testcapi

    values = [{}, ()][:len(keywords)]

    def outcome(callee):
        try:
            return _testcapi.pyobject_vectorcall(callee, tuple(values), tuple(keywords))
        except (TypeError, LookupError) as exc:
            return type(exc), str(exc)

    assert outcome(func) == outcome(REFERENCE[func])


class Owner:
    pass


@pytest.mark.parametrize("func", [ECS, ECP])
@pytest.mark.parametrize("instance, owner", [
    (None, Owner), (Owner(), Owner), (Owner(), None), (None, None), (5, int)])
def test_descriptor_get_as_on_a_python_function(func, instance, owner):
    def outcome(target):
        try:
            got = target.__get__(instance) if owner is None else target.__get__(instance, owner)
        except TypeError as exc:
            return str(exc)
        if got is target:
            return "itself"
        return type(got).__name__, got.__self__ is instance, got.__func__ is target

    assert outcome(func) == outcome(REFERENCE[func])


# Where a cycle back to the function goes through, if anywhere.
@pytest.mark.parametrize("cycle", ["", "__dict__", "__defaults__", "__kwdefaults__"])
def test_function_objects_are_collected_like_python_functions(cycle):
    from test_module import run_python

    run_python(f"""if 1:
        import gc, sys, weakref
        from tarvik.safety import control

        released = []

        class Tracked(str):
            def __del__(self):
                released.append(str(self))

        class Value:
            def __init__(self, name):
                self.name = name

            def __del__(self):
                released.append(self.name)

        for name in ('enforce_control_structure', 'enforce_compute_section'):
            func = vars(control).pop(name)
            func.tag = Value('attribute')
            assert vars(control) in gc.get_referents(func)
            func.__name__, func.__qualname__ = Tracked('name'), Tracked('qualname')
            func.__doc__, func.__module__ = Tracked('doc'), Tracked('module')
            func.__annotations__ = {{'kwargs': Value('annotation')}}
            func.__kwdefaults__ = {{'kw': Value('kwdefault')}}
            # only the collector can free it then
            if {cycle!r} == '__dict__':
                func.cycle = func
            elif {cycle!r} == '__defaults__':
                func.__defaults__ = (func,)
            elif {cycle!r} == '__kwdefaults__':
                func.__kwdefaults__['cycle'] = func
            died = []
            ref = weakref.ref(func, died.append)
            # Whatever it refers to, it lets go of when it dies (held here
            # only without the cycle, which would hold the function too).
            held = [] if {cycle!r} else [obj for obj in gc.get_referents(func)
                                         if obj is not type(func)]
            def counts():
                return [sys.getrefcount(obj) for obj in held]

            gc.collect()  # no garbage left that still holds the namespaces
            before = [count - sum(other is obj for other in held)
                      for obj, count in zip(held, counts())]
            del func
            gc.collect()
            assert ref() is None and died == [ref], died
            kept = [(type(obj).__name__, after - count)
                    for obj, after, count in zip(held, counts(), before) if after != count]
            assert not kept, kept
            del held
            assert sorted(released) == ['annotation', 'attribute', 'doc', 'kwdefault', 'module',
                                        'name', 'qualname'], released
            released.clear()
        print('done')""")


class CollidingName:
    """A namespace key that the lookup of SafetyError must compare."""

    def __hash__(self):
        return hash("SafetyError")

    def __eq__(self, other):
        raise LookupError("compared")


@pytest.mark.parametrize("where", ["module", "builtins"])
def test_safety_error_lookup_errors_propagate(where, monkeypatch):
    # As a global name lookup in a Python function: the comparison's error.
    monkeypatch.delattr(control, "SafetyError")
    namespace = vars(control) if where == "module" else vars(builtins)
    key = CollidingName()
    namespace[key] = 1
    try:
        with pytest.raises(LookupError, match="compared"):
            ECS({"control": []})
        with pytest.raises(LookupError, match="compared"):
            ECS({"control": {"family": {"control.link": {"model": "quantile", "quantile": "x"}}}},
                ("gamma",))
    finally:
        del namespace[key]  # before SafetyError is put back
