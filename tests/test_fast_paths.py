"""Calls made of exact types are decided in C; the outcome is the same as
when every object has to be asked through its own methods."""

import itertools
import json
import os
import subprocess
import sys
import tracemalloc
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from test_generated import snapshot

from tarvik.safety import control as native
from tarvik.safety.errors import SafetyError

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))
import messages  # noqa: E402
import reference  # noqa: E402
import workloads  # noqa: E402


class GeneralDict(dict):
    pass


class GeneralStr(str):
    pass


class GeneralFloat(float):
    pass


class GeneralInt(int):
    pass


def general(obj):
    """The same data in subclasses, which only the general path reads.

    Instances of other subclasses stay as they are: they take the general
    path already, and messages name their types."""
    if type(obj) is dict:
        return GeneralDict((general(key), general(value)) for key, value in obj.items())
    if type(obj) is list:
        return [general(item) for item in obj]
    if type(obj) is tuple:
        return tuple(general(item) for item in obj)
    if type(obj) is str:
        return GeneralStr(obj)
    if type(obj) is float:
        return GeneralFloat(obj)
    if type(obj) is int:
        return GeneralInt(obj)
    return obj


def plain_names(text):
    """A message as it reads for the built-in types (conversion errors name
    the type they were handed)."""
    for name in ("Dict", "Str", "Float", "Int"):
        text = text.replace("General" + name, name.lower())
    return text


def full_outcome(func, *args):
    try:
        func(*args)
    except Exception as exc:  # compared whole
        cause = exc.__cause__
        return (type(exc), plain_names(str(exc)), type(cause), plain_names(str(cause)),
                exc.__context__ is cause, exc.__suppress_context__)  # fmt: skip
    return None


def same_both_ways(func, kwargs, *args):
    before = snapshot(kwargs)
    exact = full_outcome(func, kwargs, *args)
    assert snapshot(kwargs) == before
    slow_kwargs = {"control": general(kwargs["control"])} if "control" in kwargs else kwargs
    assert exact == full_outcome(func, slow_kwargs, *map(general, args))
    return exact


def joined(*parts):
    """A str equal to the literal, but a different object (not interned)."""
    return "".join(parts)


INLA_EXTRA = messages.inla_unsupported.format(messages.listed(reference.INLA_KEYS), "{}")
STRATEGY_REFUSED = messages.choice_refused.format("strategy", messages.listed(reference.STRATEGIES), "{}")


@pytest.mark.parametrize(
    "control, families, expected",
    [
        # Keys spelled at run time find their names by text, then again by
        # identity once remembered.
        ({joined("fam", "ily"): {joined("control", ".link"): {joined("mo", "del"): "log"}}},
         ("gammasurv",), None),
        ({"inla": {joined("int", ".strategy"): joined("CC", "D")}}, (), None),
        ({"inla": {"int.strategy": " User_Std "}}, (), None),
        # An empty key first: nothing to copy into the key list yet.
        ({"": 1, "family": {}, "x": 2}, (), messages.control_unsupported.format(", x")),
        # Same length as a name, another text; non-ASCII and wide keys.
        ({"inla": {"strategx": "auto"}}, (), INLA_EXTRA.format("strategx")),
        ({"inla": {"stratégy": "auto"}}, (), INLA_EXTRA.format("stratégy")),
        ({"inla": {"strat\u0113gy": "auto", "\U0001f600": 1}}, (),
         INLA_EXTRA.format("strat\u0113gy, \U0001f600")),
        # White space outside ASCII is stripped by str.strip(), as in Python.
        ({"inla": {"strategy": "\xa0Laplace\x85"}}, (), None),
        ({"inla": {"strategy": "\u2003laplace"}}, (), None),
        ({"inla": {"strategy": "\x1claplace\x1f"}}, (), None),
        ({"inla": {"strategy": "lapl\xe2ce"}}, (), STRATEGY_REFUSED.format("lapl\xe2ce")),
        # Quantiles given as text go through float().
        ({"family": {"control.link": {"model": "quantile", "quantile": " 0.5 "}}}, ("gamma",), None),
        ({"family": {"control.link": {"model": "quantile", "quantile": "0_5"}}}, ("gamma",),
         messages.link_quantile_range),
        ({"family": {"control.link": {"model": "quantile", "quantile": "median"}}}, ("gamma",),
         messages.link_quantile_not_numeric),
        ({"predictor": {"control_link": {"model": "quantile", "quantile": "\u0660.\u0665"}}},
         ("gamma",), None),
        # The predictor's link configuration is judged before its other keys.
        ({"predictor": {"control.link": {"model": "quantile", "quantile": "x"}, "extra": 1}},
         ("gamma",), messages.link_quantile_not_numeric),
        # The ends of (0, 1), given as floats, ints, bools and text.
        *[({"family": {"control.link": {"model": "quantile", "quantile": q}}}, ("gamma",),
           messages.link_quantile_range)
          for q in [0.0, -0.0, 1.0, float("nan"), float("inf"), 0, 1, True, "1", "nan", "-inf", "1e-400"]],
        ({"family": {"control.link": {"model": "quantile", "quantile": 5e-324}}}, ("gamma",), None),
        ({"family": {"control.link": {"model": "quantile", "quantile": "0.9999999999999999"}}},
         ("gamma",), None),
        # Model names only gammasurv accepts, and the rest.
        ({"family": {"control.link": {"model": " NegLog "}}}, ("gamma", "gammasurv"), None),
        ({"family": {"control.link": {"model": "neg_log"}}}, ("gammasurv",), messages.link_model_gammasurv),
        ({"family": {"control.link": {"model": "log"}}}, ("gamma",), messages.link_model_gamma),
        ({"family": {"control.link": {"model": "quantile"}}}, ("gammasurv",), messages.link_quantile_missing),
        ({"family": {"control.link": {"quantile": 0.5}}}, ("gammasurv",), messages.link_model_missing),
        # Switches and the predictor's compute.
        ({"predictor": {"compute": 1}}, (), messages.predictor_compute_not_bool),
        ({"inla": {"control_vb": {"strategy": "variance", "hessian_strategy": "diag_onal"}}}, (),
         messages.vb_hessian_refused.format("diag_onal")),
        # Falsy control.link falls back to control_link.
        ({"family": {"control.link": {}, "control_link": {"model": "log"}}}, ("gammasurv",), None),
        ({"family": {"control.link": 0, "control_link": {"model": "log"}}}, ("gammasurv",), None),
        ({"family": {"control.link": "", "control_link": None}}, (), None),
    ],
)  # fmt: skip
def test_same_outcome_on_either_path(control, families, expected):
    got = same_both_ways(native.enforce_control_structure, {"control": control}, families)
    if expected is None:
        assert got is None
    else:
        assert got is not None and got[0] is SafetyError and got[1] == expected, got


def test_quantile_text_chains_the_float_error():
    kwargs = {"control": {"family": {"control.link": {"model": "quantile", "quantile": "median"}}}}
    with pytest.raises(SafetyError) as caught:
        native.enforce_control_structure(kwargs, ("gamma",))
    cause = caught.value.__cause__
    assert type(cause) is ValueError
    assert str(cause) == "could not convert string to float: 'median'"
    assert caught.value.__context__ is cause and caught.value.__suppress_context__


# Every key some section accepts.
KNOWN_NAMES = (reference.TOP_LEVEL_KEYS | reference.PREDICTOR_KEYS | reference.LINK_KEYS
               | reference.INLA_KEYS | reference.CONTROL_VB_KEYS | reference.COMPUTE_SWITCHES)
KEY_TEXT = st.text(st.characters(min_codepoint=0, max_codepoint=0xFF), max_size=12)
PREFIXES = st.sampled_from(["", "unsupported_", "a" * 40, "\x00", "\xff\xfe"])


@settings(max_examples=150, deadline=None)
@given(st.lists(st.tuples(PREFIXES, KEY_TEXT).map("".join), min_size=1, max_size=60, unique=True),
       st.sampled_from(["control", "predictor", "inla", "control_vb", "compute"]))  # fmt: skip
def test_unsupported_keys_listed_in_code_point_order(keys, section):
    keys = [key for key in keys if key not in KNOWN_NAMES] or ["\x00"]
    kwargs, check = workloads.unsupported_keys_call(section, 0)
    block = kwargs["control"]
    for step in {"control": [], "predictor": ["predictor"], "inla": ["inla"],
                 "control_vb": ["inla", "control_vb"], "compute": ["compute"]}[section]:  # fmt: skip
        block = block[step]
    block.update(dict.fromkeys(keys, True))
    func = native.enforce_control_structure if check == "structure" else native.enforce_compute_section
    with pytest.raises(SafetyError) as caught:
        func(kwargs, ("gamma",)) if check == "structure" else func(kwargs)
    assert ", ".join(sorted(keys)) in str(caught.value)


def test_many_unsupported_keys_sorted():
    keys = [""] + ["k{:06d}".format(i) for i in range(70000, -1, -7)] + ["k", "k0", "\xe9"]
    with pytest.raises(SafetyError) as caught:
        native.enforce_compute_section({"control": {"compute": dict.fromkeys(keys, 1)}})
    allowed = messages.listed(reference.COMPUTE_SWITCHES)
    assert str(caught.value) == messages.compute_unsupported.format(messages.listed(keys), allowed)


SECTION_PATHS = {"control": [], "predictor": ["predictor"], "inla": ["inla"],
                 "control_vb": ["inla", "control_vb"], "compute": ["compute"]}


@pytest.mark.parametrize("keys", [
    # Keys that agree on whole 8-byte words, then differ at, before or after one.
    ["aaaaaaaabbbbbbbb", "aaaaaaaacccccccc1", "cccccccc2"],
    ["bMMMMMMMM", "AAAAAAAAZx", "AAAAAAAAMMMMMMMMa"],
    ["AAAAAAAAZZZZZZZZ", "AAAAAAAABBBBBBBBc", "b"],
    ["xxxxxxxx", "xxxxxxxxx", "xxxxxxxxxxxxxxxx", "xxxxxxxxxxxxxxxxx", "xxxxxxx"],
    ["pppppppppppppppp\xe9", "pppppppppppppppp\x7f", "pppppppppppppppp", "pppppppp\x00"],
])
@pytest.mark.parametrize("section", SECTION_PATHS)
def test_unsupported_keys_sharing_prefixes(keys, section):
    for order in (keys, keys[::-1]):
        kwargs, check = workloads.unsupported_keys_call(section, 0)
        block = kwargs["control"]
        for step in SECTION_PATHS[section]:
            block = block[step]
        block.update(dict.fromkeys(order, True))
        func = native.enforce_control_structure if check == "structure" else native.enforce_compute_section
        got = same_both_ways(func, kwargs, ("gamma",)) if check == "structure" else same_both_ways(func, kwargs)
        assert got[0] is SafetyError and ", ".join(sorted(keys)) + "." in got[1]
        assert ", ".join(sorted(keys)) + ", " not in got[1]


@pytest.mark.skipif(bool(os.environ.get("TARVIK_GENERAL_READER")),
                    reason="the fast reader's promise; this build has only the general reader, which may allocate")
@pytest.mark.parametrize("name", [workload.name for workload in workloads.ACCEPTED])
@pytest.mark.parametrize("check", ["structure", "compute"])
def test_accepted_call_allocates_nothing(name, check):
    workload = {workload.name: workload for workload in workloads.ACCEPTED}[name]
    kwargs, families = workload.kwargs, workload.families
    func = native.enforce_control_structure if check == "structure" else native.enforce_compute_section
    args = (kwargs, families) if check == "structure" else (kwargs,)
    func(*args)
    calls = itertools.repeat(args, 200)
    tracemalloc.start()
    try:
        # The peak since the reset stays at the start when nothing at all
        # is allocated, not even for a moment.
        tracemalloc.reset_peak()
        for call_args in calls:
            func(*call_args)
        current, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert peak == current


@pytest.mark.skipif(bool(os.environ.get("TARVIK_SANITIZE")), reason="timing an instrumented build tells nothing")
def test_benchmark_runs(tmp_path):
    report = tmp_path / "bench.json"
    result = subprocess.run(
        [sys.executable, str(ROOT / "bench" / "bench.py"), "--quick", "--json", str(report)],
        capture_output=True, text=True, timeout=600, check=False,
    )  # fmt: skip
    assert result.returncode == 0, result.stderr
    figures = json.loads(report.read_text())
    assert figures["meta"]["module"] == native.__file__  # the copy under test
    assert figures["problems"] == []
    rows = {(row["workload"], row["check"]) for row in figures["rows"]}
    every = workloads.ACCEPTED + workloads.REFUSED
    assert rows == {(workload.name, check) for workload in every for check in ("structure", "compute")}
    assert all(row["blocks_retained"] == 0 for row in figures["memory"])
    assert {row["case"] for row in figures["scaling"]} >= {"unsupported keys in compute"}
