"""The calls the fast reader is meant to decide are decided by it.

A fast reader that gives up on such a call still gets the general reader's
answer, the same one, dearer: no outcome shows it. The counting build
(scripts/counting.sh, the third step of `make test`) counts the calls left
to the general reader and the mappings whose keys were listed; here those
counts must not move for calls made of exact types: dicts keyed by strs,
lists, tuples, ASCII strs, ints, floats, bools and None, and families that
are strs.
"""

import os
import sys
from pathlib import Path

import pytest
from test_generated import MODEL_FUNCTIONS, OMITTED, arguments, outcome, swept_calls

from tarvik.safety import control as native

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
import messages  # noqa: E402
import workloads  # noqa: E402

if not hasattr(native, "_path_counts"):
    # scripts/counting.sh sets the switch: there a build without the
    # counters is a fault, not a reason to skip.
    assert not os.environ.get("TARVIK_COUNT_PATHS"), "the counting build has no _path_counts()"
    pytest.skip("needs the counting build: scripts/counting.sh", allow_module_level=True)


def exact(obj):
    if type(obj) is dict:
        return all(type(key) is str and exact(value) for key, value in obj.items())
    if type(obj) in (list, tuple):
        return all(exact(item) for item in obj)
    if type(obj) is str:
        return obj.isascii()
    return obj is None or type(obj) in (int, float, bool)


def exact_call(args):
    """Exact types throughout, and the families all strs."""
    families = args.get("families", ())
    return exact(args) and type(families) is tuple and all(type(family) is str for family in families)


def counted(name, args):
    """How the call moved the counts: (deferred, keys listed)."""
    before = native._path_counts()
    outcome(getattr(native, name), args)
    after = native._path_counts()
    return after["deferred"] - before["deferred"], after["keys_listed"] - before["keys_listed"]


CHECK_NAMES = {"structure": "enforce_control_structure", "compute": "enforce_compute_section"}
# A refusal met in the one pass over a mapping waits for its keys: the
# general reader makes it (readers.hpp, DeferringReader).
REFUSED_IN_ONE_PASS = {messages.compute_not_bool.partition("{}")[0]}


@pytest.mark.parametrize("check", sorted(CHECK_NAMES))
@pytest.mark.parametrize("workload", workloads.ACCEPTED + workloads.REFUSED, ids=lambda w: w.name)
def test_workload_decided_by_the_fast_reader(workload, check):
    name = CHECK_NAMES[check]
    args = arguments(MODEL_FUNCTIONS[name], workload.kwargs, workload.families)
    if not exact_call(args):
        pytest.skip("a value only the general reader reads")
    message = workload.expected.get(check)
    deferred, listed = counted(name, args)
    if message is None:
        assert (deferred, listed) == (0, 0)
    elif not message.startswith(tuple(REFUSED_IN_ONE_PASS)):
        assert deferred == 0


@pytest.mark.parametrize("name", sorted(MODEL_FUNCTIONS))
def test_generated_accepted_calls_decided_by_the_fast_reader(name):
    model = MODEL_FUNCTIONS[name]
    for path, args in swept_calls(name):
        if args is None or any(value is OMITTED for value in args.values()):
            continue
        if not exact_call(args) or outcome(model, args):  # refused calls may defer
            continue
        assert counted(name, args) == (0, 0), "at {}: {}".format(path, args)


def test_counts_move():
    """A call of a dict subclass is deferred, unsupported keys are listed."""
    subclassed = {"kwargs": {"control": {"compute": type("D", (dict,), {})()}}}
    assert counted("enforce_compute_section", subclassed) == (1, 0)
    assert counted("enforce_compute_section", {"kwargs": {"control": {"compute": {"x": 1}}}}) == (0, 1)
