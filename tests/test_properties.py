"""Generated control mappings: the native checks agree with the Python model."""

import copy
import math
import sys
from pathlib import Path

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tarvik.safety import control as native
from tarvik.safety.errors import SafetyError

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
import messages  # noqa: E402
import reference  # noqa: E402


class SubDict(dict):
    pass


class Unprintable:
    """A value whose text form cannot be produced."""

    class Error(Exception):
        pass

    def __str__(self):
        raise Unprintable.Error("no text")

    def __deepcopy__(self, memo):
        return self  # holds no state


JUNK_KEYS = st.sampled_from(["foo", "Bar", "FAMILY", "int-strategy", " strategy", 1, (1, 2), None, 2.5, b"k"])
TEXTS = [
    "auto", " Laplace ", "SIMPLIFIED_LAPLACE", "simplified-laplace", "Simplified.Laplace", "gaussian",
    "fast", "ccd", "USER_STD", "user.std", "grid", "eb", " Mean ", "variance", "DIAGONAL", "diag",
    "default", "quantile", " Quantile ", "log", " LOG\n", "neglog", "neg_log", "\u2003laplace\u3000",
    "", "0.5", " 0.25 ", "-0.1", "1_0", "nan", "Infinity", "abc",
]  # fmt: skip
NUMBERS = [True, False, 0, 1, 2, -1, 10**400, 0.0, 0.5, 1.0, 1e-12, 0.999, math.nan, math.inf, -math.inf]
SCALARS = st.one_of(
    st.sampled_from(TEXTS + NUMBERS + [None, b"0.5"]), st.builds(Unprintable),
    st.builds(list), st.builds(lambda: [0.5]), st.builds(lambda: ({},)), st.builds(dict), st.builds(SubDict),
    st.builds(bytearray, st.just(b"0.25")),
)  # fmt: skip


def rarely(common, rare):
    """Draws from `rare` about one time in five (shrinks towards `common`)."""
    return st.sampled_from(range(5)).flatmap(lambda i: rare if i == 4 else common)


def section(optional):
    """Some of the known entries; now and then a junk key or a dict subclass."""
    known = st.fixed_dictionaries({}, optional=optional)
    junk = st.dictionaries(JUNK_KEYS, SCALARS, min_size=1, max_size=2)
    odd = st.one_of(st.tuples(known, junk).map(lambda parts: {**parts[0], **parts[1]}), known.map(SubDict))
    return rarely(known, odd)


# Each entry leans towards the values its rule accepts, so that deeper rules get reached.
MODEL = rarely(st.sampled_from(["quantile", " Quantile ", "log", " LOG\n", "neglog"]), SCALARS)
QUANTILE = rarely(st.sampled_from([0.5, " 0.25 ", b"0.5", 1e-12, 0.999, 0, 1.0, "-0.1", "nan", True]), SCALARS)
CHOICE = rarely(st.sampled_from(TEXTS), SCALARS)
SWITCH = rarely(st.sampled_from([True, False, 0, 1]), SCALARS)


def keys(names, known):
    """Every key the model accepts in a section, with its strategy in `known`
    or any scalar: a key the module comes to accept is generated at once."""
    return {name: known.get(name, SCALARS) for name in sorted(names)}


LINK = rarely(section({"model": MODEL, "quantile": QUANTILE}), SCALARS)
LINKS = {"control.link": LINK, "control_link": LINK}
FAMILY = section({**LINKS, "variant": SCALARS})
PREDICTOR = section(keys(reference.PREDICTOR_KEYS | reference.LINK_KEYS, {"compute": SWITCH, **LINKS}))
VB = section(keys(reference.CONTROL_VB_KEYS, {"strategy": CHOICE, "hessian_strategy": CHOICE}))
INLA = section(keys(reference.INLA_KEYS, {
    "strategy": CHOICE, "int.strategy": CHOICE, "int_strategy": CHOICE, "control_vb": rarely(VB, SCALARS),
}))  # fmt: skip
CONTROL = section(keys(reference.TOP_LEVEL_KEYS, {
    "family": rarely(FAMILY, st.lists(FAMILY, max_size=2) | SCALARS), "predictor": rarely(PREDICTOR, SCALARS),
    "inla": rarely(INLA, SCALARS),
    "compute": rarely(section(dict.fromkeys(sorted(reference.COMPUTE_SWITCHES), SWITCH)), SCALARS),
}))  # fmt: skip
# Mostly well-typed arguments; now and then one that the argument tests refuse.
KWARGS = rarely(
    st.fixed_dictionaries({"control": CONTROL}, optional={"formula": st.just("y ~ x")}),
    st.fixed_dictionaries({}, optional={"control": SCALARS})
    | st.sampled_from([None, []])
    | st.builds(SubDict, st.just({"control": {}})),
)
FAMILY_NAMES = st.lists(
    st.sampled_from(["gamma", "gammasurv", "gaussian", "Gamma", " gamma", "poisson"]), max_size=3
)
FAMILIES = rarely(FAMILY_NAMES.map(tuple), FAMILY_NAMES)

# How a switch's refusal ends, after the switch it names.
BOOLEAN_END = messages.compute_not_bool.partition("{}")[2]


def outcome(func, *args):
    try:
        func(*args)
    except Exception as exc:  # any other type is compared, then refused below
        return type(exc), str(exc), type(exc.__cause__)
    return None


def snapshot(obj):
    """Types, identities and contents of the nested containers."""
    if isinstance(obj, dict):
        return id(obj), type(obj), [(key, snapshot(value)) for key, value in dict.items(obj)]
    if isinstance(obj, list):
        return id(obj), type(obj), [snapshot(item) for item in obj]
    return id(obj), type(obj), bytes(obj) if isinstance(obj, bytearray) else None


def is_switch(value):
    return isinstance(value, bool) or (isinstance(value, int) and value in (0, 1))


def check(native_func, reference_func, kwargs, *args):
    before, before_copy = snapshot(kwargs), copy.deepcopy(kwargs)
    got, expected = outcome(native_func, kwargs, *args), outcome(reference_func, kwargs, *args)
    assert snapshot(kwargs) == before
    assert kwargs == before_copy
    # Besides these, only the caller's own objects may raise.
    assert got is None or got[0] in (TypeError, SafetyError, Unprintable.Error), got
    if got != expected and expected is not None and expected[1].endswith(BOOLEAN_END):
        # Several bad switches: which one is named is not fixed.
        compute = kwargs["control"]["compute"]
        possible = {messages.compute_not_bool.format(key) for key, val in compute.items() if not is_switch(val)}
        assert got is not None and got[0] is SafetyError, (got, expected)
        assert len(possible) > 1 and got[1] in possible, (got, expected)
    else:
        assert got == expected


SLOW_CHECKS = [HealthCheck.too_slow, HealthCheck.data_too_large]
PROPERTY_SETTINGS = settings(max_examples=200, deadline=None, suppress_health_check=SLOW_CHECKS)


@PROPERTY_SETTINGS
@given(KWARGS, FAMILIES)
def test_control_structure_matches_model(kwargs, families):
    check(native.enforce_control_structure, reference.enforce_control_structure, kwargs, families)


@PROPERTY_SETTINGS
@given(KWARGS)
def test_control_structure_default_families_matches_model(kwargs):
    check(native.enforce_control_structure, reference.enforce_control_structure, kwargs)


@PROPERTY_SETTINGS
@given(KWARGS)
def test_compute_section_matches_model(kwargs):
    check(native.enforce_compute_section, reference.enforce_compute_section, kwargs)
