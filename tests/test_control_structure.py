"""Rules, messages and order of checks of enforce_control_structure."""

import collections
import decimal
import fractions
import sys
from pathlib import Path

import pytest

from tarvik.safety.control import enforce_control_structure
from tarvik.safety.errors import SafetyError

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
import messages  # noqa: E402
import reference  # noqa: E402

CONTROL_NOT_DICT = messages.control_not_dict
FAMILY_BAD = messages.family_not_dict
PRED_NOT_DICT = messages.predictor_not_dict
PRED_COMPUTE = messages.predictor_compute_not_bool
GATE = messages.link_family
LINK_NOT_DICT = messages.link_not_dict
NO_MODEL = messages.link_model_missing
SURV_MODEL = messages.link_model_gammasurv
GAMMA_MODEL = messages.link_model_gamma
NO_Q = messages.link_quantile_missing
NUMERIC = messages.link_quantile_not_numeric
RANGE = messages.link_quantile_range
INLA_NOT_DICT = messages.inla_not_dict
VB_NOT_DICT = messages.vb_not_dict
STRATEGIES = messages.listed(reference.STRATEGIES)
INT_STRATEGIES = messages.listed(reference.INT_STRATEGIES)
GOOD = {"model": "quantile", "quantile": 0.5}
G = ("gamma",)
TOP_EXTRA = messages.control_unsupported
PRED_EXTRA = messages.predictor_unsupported
INLA_EXTRA = messages.inla_unsupported.format(messages.listed(reference.INLA_KEYS), "{}")
VB_EXTRA = messages.vb_unsupported.format(messages.listed(reference.CONTROL_VB_KEYS), "{}")
VB_STRATEGY = messages.vb_strategy_refused
VB_HESSIAN = messages.vb_hessian_refused
CHOICE = messages.choice_refused


def outcome(control, families=()):
    """None on success, else the SafetyError; the input must be left as it was."""
    kwargs = {"control": control}
    before = repr(kwargs)
    try:
        return enforce_control_structure(kwargs, families)
    except SafetyError as exc:
        return exc
    finally:
        assert repr(kwargs) == before


def check(control, families, expected):
    got = outcome(control, families)
    assert (got if got is None else str(got)) == expected


UNEXAMINED = sorted(reference.TOP_LEVEL_KEYS - {"family", "predictor", "inla"})


@pytest.mark.parametrize("control, families, expected", [
    (None, (), None), ({}, (), None),
    ({k: [object()] for k in UNEXAMINED}, (), None),
    *((c, (), CONTROL_NOT_DICT) for c in ([], "x", 0, False, True, ("family",))),
    (collections.OrderedDict(fixed=1), (), None),
    ({"foo": 1, "Bar": 1, "family": {}}, (), TOP_EXTRA.format("Bar, foo")),
    ({"FAMILY": {}, "compute ": 1}, (), TOP_EXTRA.format("FAMILY, compute ")),
    ({1: 1, None: 2, "z": 3}, (), TOP_EXTRA.format("1, None, z")),
    ({"zz": 1, "family": 5, "inla": 5}, (), TOP_EXTRA.format("zz")),
    # family section
    *(({"family": f}, (), FAMILY_BAD) for f in ("gamma", ("a",), 0, False, {"a"})),
    ({"family": [], "predictor": None, "inla": None}, (), None),
    ({"family": [1, "x", {"control.link": "bad"}]}, (), None),
    ({"family": {"control.link": {}}}, (), None),  # false value: nothing to check
    ({"family": {"control.link": None, "control_link": None}}, (), None),
    ({"family": {"control.link": 0, "control_link": GOOD}}, G, None),
    ({"family": {"control.link": 0, "control_link": GOOD}}, (), GATE),
    ({"family": {"control_link": {}}}, G, NO_MODEL),  # only control.link's truth matters
    ({"family": {"control.link": None, "control_link": "x"}}, G, LINK_NOT_DICT),
    ({"family": {"control.link": GOOD, "control_link": "junk"}}, G, None),
    ({"family": "x", "predictor": 1}, (), FAMILY_BAD),
    ({"family": {"control.link": "x"}, "predictor": 1}, G, LINK_NOT_DICT),
    # predictor section
    *(({"predictor": p}, (), PRED_NOT_DICT) for p in (1, [], False, "compute")),
    *(({"predictor": {"compute": c}}, (), None) for c in (True, False)),
    *(({"predictor": {"compute": c}}, (), PRED_COMPUTE) for c in (1, 0, "yes", None)),
    ({"predictor": {"link": object()}}, (), None),
    ({"predictor": {"foo": 1, "compute": "x"}}, (), PRED_EXTRA.format("foo")),
    ({"predictor": {2: 1, "a": 1, "link": 1}}, (), PRED_EXTRA.format("2, a")),
    ({"predictor": {"control_link": GOOD, "compute": True}}, G, None),
    ({"predictor": {"control.link": GOOD, "control_link": "junk"}}, G, None),
    ({"predictor": {"control.link": {}}}, G, LINK_NOT_DICT),
    ({"predictor": {"control_link": None}}, G, LINK_NOT_DICT),
    ({"predictor": {"control_link": GOOD}}, (), GATE),
    ({"predictor": {"control.link": GOOD, "foo": 1}}, G, PRED_EXTRA.format("foo")),
    ({"predictor": {"control.link": "x", "foo": 1}}, G, LINK_NOT_DICT),
    ({"predictor": {"control.link": GOOD, "compute": 1}}, G, PRED_COMPUTE),
    ({"predictor": {"foo": 1}, "inla": 5}, (), PRED_EXTRA.format("foo")),
])
def test_control_family_predictor(control, families, expected):
    check(control, families, expected)


@pytest.mark.parametrize("families, conf, expected", [
    (("gaussian",), GOOD, GATE), (("gaussian",), {}, GATE), ((), GOOD, GATE),
    (("Gamma",), GOOD, GATE), (("gamma ",), GOOD, GATE),
    (("gaussian", "gamma"), GOOD, None), (("gaussian", "gammasurv"), GOOD, None),
    (G, None, LINK_NOT_DICT), (G, ["model"], LINK_NOT_DICT),
    (G, collections.OrderedDict(GOOD), None),
    (G, {}, NO_MODEL), (G, {"model": None}, NO_MODEL),
    (G, {"model": ""}, GAMMA_MODEL), (("gammasurv",), {"model": ""}, SURV_MODEL),
    (G, {"model": 0}, GAMMA_MODEL), (G, {"model": False}, GAMMA_MODEL),
    (G, {"model": "log"}, GAMMA_MODEL), (G, {"model": "Quantile"}, NO_Q),
    (G, {"model": "\u2003QUANTILE\n", "quantile": "0.5", "x": 1}, None),
    (G, {"model": "quantile", "quantile": None}, NO_Q),
    (("gammasurv",), {"model": " LOG "}, None),
    (("gammasurv",), {"model": "log", "quantile": "abc"}, None),
    (("gamma", "gammasurv"), {"model": "NegLog"}, None),
    (("gammasurv",), {"model": "neg_log"}, SURV_MODEL),
    (("gammasurv",), {"model": "quantile"}, NO_Q),
    (("gammasurv",), {"model": "quantile", "quantile": 2}, RANGE),
])
@pytest.mark.parametrize("where", ["family", "predictor"])
def test_link(families, conf, expected, where):
    if where == "family" and conf is None:
        expected = None  # a family block hands over only present configurations
    check({where: {"control_link": conf}}, families, expected)


@pytest.mark.parametrize("quantile, expected", [
    *((q, None) for q in (
        0.5, "0.5", " 0.25 ", b"0.5", bytearray(b".5"), 1e-12, 0.999, "\t+.5\n", "\u20030.5\u00a0",
        "0.2_5", "\u0660.\u0665", fractions.Fraction(1, 3), decimal.Decimal("0.5"), 1 - 2**-53)),
    *((q, RANGE) for q in (
        0, 1, 0.0, -0.0, 1.0, -0.1, 1.5, True, False, 10**308, -(10**308), "nan", "NaN",
        "-inf", "Infinity", "iNfInItY", b"inf", float("nan"), float("inf"))),
    *((q, ValueError) for q in (
        "abc", "", "1__0", "_0.5", "0x1p-1", "0.5.", "\u200b0.5", b"", bytearray(b"x"))),
    ([0.5], TypeError), (1j, TypeError), ({}, TypeError), (10**400, OverflowError),
])
def test_quantile(quantile, expected):
    got = outcome({"predictor": {"control_link": {"model": "quantile", "quantile": quantile}}}, G)
    if isinstance(expected, type):  # refused as not numeric, with the conversion error as cause
        assert str(got) == NUMERIC and type(got.__cause__) is expected
        assert got.__context__ is got.__cause__ and got.__suppress_context__
    else:
        assert (got if got is None else str(got)) == expected


@pytest.mark.parametrize("inla, expected", [
    (None, None), ({}, None), ({"adaptive_max": object()}, None),
    *((i, INLA_NOT_DICT) for i in ([], "x", False, 0)),
    ({"zeta": 1, "strategy": "bad"}, INLA_EXTRA.format("zeta")),
    ({"b": 1, "A": 1, 3: 1}, INLA_EXTRA.format("3, A, b")),
    ({"zeta": 1, "control_vb": 5}, INLA_EXTRA.format("zeta")),
    ({"control_vb": None}, None), ({"control_vb": {}}, None),
    ({"control_vb": "mean"}, VB_NOT_DICT),
    ({"control_vb": {"iter.max": 1, "strategy": "bad"}}, VB_EXTRA.format("iter.max")),
    ({"control_vb": {k: object() for k in reference.CONTROL_VB_KEYS - {"strategy", "hessian_strategy"}}},
     None),
    *(({"control_vb": {"strategy": s}}, None) for s in (" Mean ", "VARIANCE", "\u2003mean\x85")),
    *(({"control_vb": {"strategy": s}}, VB_STRATEGY.format(s)) for s in ("median", True, 5, "", "me_an")),
    *(({"control_vb": {"hessian_strategy": h}}, None) for h in ("DIAGONAL", " full\n", "Partial")),
    *(({"control_vb": {"hessian_strategy": h}}, VB_HESSIAN.format(h)) for h in ("diag", 0)),
    ({"control_vb": {"strategy": "x", "hessian_strategy": "y"}}, VB_STRATEGY.format("x")),
    ({"control_vb": {"strategy": "x"}, "strategy": "fast"}, VB_STRATEGY.format("x")),
    # strategy choice: strip, lower, "_" to "."
    *(({"strategy": s}, None) for s in (
        " Simplified_Laplace ", "SIMPLIFIED.LAPLACE", "\u2003Laplace\u00a0", "\x1cauto\x1f", "gaussian",
        " " * 200 + "Laplace\t")),
    # long values, beyond any fixed buffer, are compared in full
    *(({"strategy": s}, CHOICE.format("strategy", STRATEGIES, s)) for s in (
        "laplace" + "_" * 100, "LAPLACE" * 20, "laplace\u00e9" * 10)),
    *(({"strategy": s}, CHOICE.format("strategy", STRATEGIES, s)) for s in (
        "simplified-laplace", "simplified laplace", " Fast ", "", "\u200bauto",
        "\uff21\uff35\uff34\uff2f", "GAUSS\u0130AN", "_auto_", 5, True, 1.0)),
    ({"strategy": "fast", "int.strategy": "bad"}, CHOICE.format("strategy", STRATEGIES, "fast")),
    # integration strategy and its fallback key
    *(({"int.strategy": s}, None) for s in ("ccd", "USER_STD", " Grid", "EB")),
    ({"int.strategy": "user__std"}, CHOICE.format("int.strategy", INT_STRATEGIES, "user__std")),
    ({"int.strategy": "ccd", "int_strategy": "anything"}, None),
    ({"int.strategy": None, "int_strategy": "grid"}, None),
    ({"int_strategy": "bad"}, CHOICE.format("int.strategy", INT_STRATEGIES, "bad")),
    ({"int.strategy": None, "int_strategy": 7}, CHOICE.format("int.strategy", INT_STRATEGIES, "7")),
    ({"int.strategy": "", "int_strategy": "grid"}, CHOICE.format("int.strategy", INT_STRATEGIES, "")),
    ({"int_strategy": None}, None),
])
def test_inla(inla, expected):
    check({"inla": inla, "predictor": {}, "family": []}, G, expected)


class Recording(dict):
    """A section that logs each read made through its own methods."""

    def __init__(self, log, name, **items):
        super().__init__(items)
        self.log, self.name = log, name

    def get(self, key, default=None):
        self.log.append((self.name, "get", key))
        return super().get(key, default)

    def keys(self):
        self.log.append((self.name, "keys"))
        return super().keys()

    def __contains__(self, key):
        self.log.append((self.name, "in", key))
        return super().__contains__(key)

    def __getitem__(self, key):
        self.log.append((self.name, "[]", key))
        return super().__getitem__(key)


def recorded_reads(check):
    """The reads `check` makes of a control mapping whose every section is a
    Recording: the model's or the module's, for the same mapping."""
    log = []

    def rec(name, **items):
        return Recording(log, name, **items)

    quantile = {"model": "quantile", "quantile": 0.5}
    control = rec("control", family=rec("family", **{"control.link": rec("link", **quantile)}),
                  predictor=rec("predictor", compute=True, control_link=rec("plink", **quantile)),
                  inla=rec("inla", control_vb=rec("vb", strategy="mean"), int_strategy="ccd"))
    assert check({"control": control}, G) is None
    return log


def test_sections_are_read_through_their_own_methods_in_the_models_order():
    reads = recorded_reads(enforce_control_structure)
    assert reads == recorded_reads(reference.enforce_control_structure)
    assert len({name for name, *_ in reads}) == 7  # every section was read


CHOICES = {
    "strategy": sorted(reference.STRATEGIES),
    "int.strategy": sorted(reference.INT_STRATEGIES),
    "control_vb strategy": reference.VB_STRATEGIES,
    "hessian_strategy": reference.VB_HESSIAN_STRATEGIES,
}
SPELLINGS = {
    "as listed": lambda c: c,
    "ASCII blanks and capitals": lambda c: f" \t{c.upper()}\n",
    "non-ASCII blanks": lambda c: f"\u2003{c}\xa0",  # only str's own methods strip these
    "past any buffer": lambda c: " " * 100 + c.title(),
    "subclass": lambda c: type("Text", (str,), {})(c.upper()),
}


def choice_call(setting, value):
    if setting == "control_vb strategy":
        return {"inla": {"control_vb": {"strategy": value}}}
    if setting == "hessian_strategy":
        return {"inla": {"control_vb": {"hessian_strategy": value}}}
    return {"inla": {setting: value}}


def choice_message(setting, value):
    if setting == "control_vb strategy":
        return VB_STRATEGY.format(value)
    if setting == "hessian_strategy":
        return VB_HESSIAN.format(value)
    return CHOICE.format(setting, {"strategy": STRATEGIES, "int.strategy": INT_STRATEGIES}[setting], value)


@pytest.mark.parametrize("spelling", SPELLINGS)
@pytest.mark.parametrize("setting, choice", [(s, c) for s, cs in CHOICES.items() for c in cs])
def test_every_choice_however_written(setting, choice, spelling):
    value = SPELLINGS[spelling](choice)
    check(choice_call(setting, value), (), None)
    # One character short or over is refused, shown as written.
    for near in (value[:-1] if spelling == "as listed" else value.rstrip()[:-1], value + "s"):
        check(choice_call(setting, near), (), choice_message(setting, near))


@pytest.mark.parametrize("spelling", SPELLINGS)
@pytest.mark.parametrize("families, model", [
    (("gammasurv",), "log"), (("gammasurv",), "neglog"), (("gammasurv",), "quantile"),
    (("gamma",), "quantile"), (("gamma", "gammasurv"), "neglog")])
def test_every_link_model_however_written(families, model, spelling):
    value = SPELLINGS[spelling](model)
    for where in ("family", "predictor"):
        check({where: {"control_link": {"model": value, "quantile": 0.5}}}, families, None)
        short = value.rstrip()[:-1]
        check({where: {"control_link": {"model": short, "quantile": 0.5}}}, families,
              SURV_MODEL if "gammasurv" in families else GAMMA_MODEL)
