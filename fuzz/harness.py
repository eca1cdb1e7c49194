#!/usr/bin/env python3
"""The differential fuzz target of tarvik.safety.control.

Each input is decoded twice from its bytes (decode.py): the module runs on
one copy and the plain-Python model (bench/reference.py) on the other, so
that a hostile object that changes the mapping it sits in changes only its
own copy. Their outcomes are compared: None, or the exception's type and
message, with those of its cause and context. The input is then checked:

- when nothing in it can change the input, the module's copy holds after
  the calls what it held before (types, contents), and every object made
  for the call alone has the reference count it had;
- otherwise, the module's copy holds what the model's copy holds after the
  same calls: the same hostile methods ran and changed the same things.
  Objects are not counted here: the harness keeps no extra reference to
  them, so that one the module frees too early is freed for the sanitizer
  to see.

Allowances, where the rules leave a choice open:
- The compute check visits the switches in the order of a set, which is not
  fixed: when the outcomes differ and the section holds several switches,
  the model is run again visiting them in every other order (each rotation,
  past four switches), and the module may give any of those outcomes.
- A default repr shows an address, which differs between the copies:
  " at 0x..." is left out of messages.

Warnings are errors during the calls, so that a warning that one side
raises and the other does not shows as a difference.

Run by scripts/fuzz.sh (make fuzz) under atheris, against the build made
for it; `python fuzz/harness.py --replay FILE...` runs inputs once,
without atheris, against whichever build the interpreter imports.
"""

import contextlib
import gc
import itertools
import re
import sys
import warnings

import decode
from decode import reference

from tarvik.safety import control as native

ADDRESS = re.compile(r" at 0x[0-9a-fA-F]+")


class Finding(AssertionError):
    """The module and the model disagree, or the module changed its input."""


def shown(exc):
    """An exception as compared: its type and message, and those it was raised from or during."""
    if exc is None:
        return None
    return type(exc), ADDRESS.sub(" at 0x?", str(exc))


def outcome(module, call, name, style):
    try:
        decode.call_check(module, call, name, style)
    except BaseException as exc:  # KeyboardInterrupt and the like included
        return shown(exc), shown(exc.__cause__), shown(exc.__context__), exc.__suppress_context__
    return None


@contextlib.contextmanager
def safety_error(module, stand_in):
    """`module` (the module or the model) raising `stand_in` for SafetyError; None: no such name."""
    if stand_in is decode.KEEP:
        yield
        return
    kept = module.SafetyError
    if stand_in is None:
        del module.SafetyError
    else:
        module.SafetyError = stand_in
    try:
        yield
    finally:
        module.SafetyError = kept


def run(module, call):
    with warnings.catch_warnings(), safety_error(module, call.safety_error):
        warnings.simplefilter("error")
        return [outcome(module, call, name, style) for name, style in call.checks]


def describe(obj):
    """Types and contents, read through the base types alone: no method of
    the caller's objects runs."""
    kind = type(obj)
    name = kind.__qualname__
    if issubclass(kind, dict):
        return name, [(describe(k), describe(v)) for k, v in list(dict.items(obj))]
    if issubclass(kind, list):
        return name, [describe(item) for item in list.__getitem__(obj, slice(None))]
    if issubclass(kind, tuple):
        return name, [describe(item) for item in tuple.__getitem__(obj, slice(None))]
    if issubclass(kind, str):
        return name, str.__str__(obj)
    if issubclass(kind, int):
        return name, int.__repr__(obj)
    if issubclass(kind, float):
        return name, float.hex(obj)
    if issubclass(kind, (bytes, bytearray)):
        return name, bytes(obj)
    if issubclass(kind, (set, frozenset)):
        return name, sorted(map(repr, obj))
    return (name,)


def counts(objects):
    return [sys.getrefcount(obj) for obj in objects]


def switches(call):
    """The names of the switches of the compute section, read with every hostile method inert."""
    decode.changing.append(None)
    try:
        control = dict.get(call.kwargs, "control") if type(call.kwargs) is dict else None
        compute = dict.get(control, "compute") if issubclass(type(control), dict) else None
        if not issubclass(type(compute), dict):
            return []
        return [name for name in decode.SWITCHES if dict.__contains__(compute, name)]
    finally:
        decode.changing.pop()


class Ordered(frozenset):
    """The switches, visited by the model in the order of `self.order`."""

    def intersection(self, keys):
        return sorted(frozenset.intersection(self, keys), key=self.position)

    def position(self, key):
        # Read as a str by str's own methods; a key of another type equal
        # to a switch by its own __eq__ goes last.
        text = str.__str__(key) if issubclass(type(key), str) else None
        return self.order.index(text) if text in self.order else len(self.order)


def orders(names):
    if len(names) <= 4:
        return itertools.permutations(names)
    return (names[i:] + names[:i] for i in range(len(names)))


def other_orders(data, call):
    """The model's outcomes when it visits the compute switches in each other order."""
    names = switches(call)
    if len(names) < 2 or all(name != decode.COMPUTE for name, _ in call.checks):
        return []
    switches_of_model = reference.COMPUTE_SWITCHES
    found = []
    try:
        for order in orders(names):
            reference.COMPUTE_SWITCHES = Ordered(switches_of_model)
            reference.COMPUTE_SWITCHES.order = list(order)
            found.append(run(reference, decode.decode(data)))
    finally:
        reference.COMPUTE_SWITCHES = switches_of_model
    return found


def check(data):
    """Runs the input `data` through the module and the model; raises Finding when they differ."""
    mine = decode.decode(data)
    made = [] if mine.mutates else mine.made
    mine.made = None
    before = describe((mine.kwargs, mine.families))  # holds some of them: counted alive both times
    held = counts(made)
    got = run(native, mine)
    still_held = counts(made)
    if still_held != held:
        # An exception in a reference cycle (one holding the frame that
        # raised it) keeps what its frames hold until the collector runs.
        gc.collect()
        still_held = counts(made)
    after = describe((mine.kwargs, mine.families))
    theirs = decode.decode(data)
    expected = run(reference, theirs)
    if got != expected and got not in other_orders(data, theirs):
        raise Finding(report(data, before, "outcomes differ", got=got, model=expected))
    if mine.mutates:
        left = describe((theirs.kwargs, theirs.families))
        if after != left:
            raise Finding(report(data, before, "the input changed otherwise than the model's copy",
                                 module_copy=after, model_copy=left))
    elif after != before:
        raise Finding(report(data, before, "the input changed", after=after))
    elif still_held != held:
        changed = [(describe(obj), a, b) for obj, a, b in zip(made, held, still_held) if a != b]
        raise Finding(report(data, before, "reference counts changed (object, before, after)", objects=changed))


def report(data, before, what, **parts):
    lines = [f"{what}", f"input: {data!r}", f"decoded: {before!r}"]
    lines += [f"{name}: {value!r}" for name, value in parts.items()]
    return "\n".join(lines)


def replay(paths):
    """Runs each file once; returns the number of findings, printed."""
    found = 0
    for path in paths:
        with open(path, "rb") as handle:
            data = handle.read()
        try:
            check(data)
        except Finding as finding:
            found += 1
            print(f"{path}: {finding}\n")
    print(f"{len(paths) - found} passed, {found} failed")
    return found


def main():
    if sys.argv[1:2] == ["--replay"]:
        sys.exit(1 if replay(sys.argv[2:]) else 0)
    import atheris

    atheris.Setup(sys.argv, check)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
