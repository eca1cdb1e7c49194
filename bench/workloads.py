"""The inputs the benchmark times.

Each workload is the keyword dictionary of a model-fitting call with the
likelihood families of its model. The accepted workloads are the calls the
package makes every day; each refused workload breaks exactly one rule, and
`expected` names the message it must produce (the benchmark checks that
before timing, so a workload cannot silently drift onto another path).
"""

from typing import Any, Dict, List, NamedTuple, Optional, Tuple

from reference import COMPUTE_SWITCHES, CONTROL_VB_KEYS, INLA_KEYS, STRATEGIES

DATA = {"y": [1.2, 0.7, 3.4], "x": [0.1, 0.2, 0.3], "site": [1, 2, 1]}
PREFIX = "tarvik safety check: "


class Workload(NamedTuple):
    name: str
    kwargs: Dict[str, Any]
    families: Tuple[Any, ...]
    # Message of the SafetyError it must raise, by check; absent: accepted.
    expected: Dict[str, str]


def call(control: Any, **extra: Any) -> Dict[str, Any]:
    """The keyword dictionary of a fitting call with this `control`."""
    kwargs = {"formula": "y ~ x + f(site, model='iid')", "data": DATA, "family": "gamma"}
    kwargs.update(extra)
    kwargs["control"] = control
    return kwargs


UNEXAMINED_TOP_LEVEL = {
    "fixed": {"prec.intercept": 0.001},
    "mode": {"restart": True},
    "expert": {"cpo_manual": False},
    "hazard": {"n_intervals": 15},
    "lincomb": {"verbose": False},
    "update": {"result": None},
    "lp_scale": {"hyper": {}},
    "pardiso": {"nthreads": 2},
    "stiles": {"tile_size": 8},
    "taucs": {"block_size": 40},
    "numa": False,
    "only_hyperparam": False,
}

ACCEPTED: List[Workload] = [
    Workload("minimal", {"formula": "y ~ x", "data": DATA}, (), {}),
    Workload(
        "typical",
        call(
            {
                "family": {"control.link": {"model": "quantile", "quantile": 0.5}},
                "predictor": {"compute": True},
                "inla": {"strategy": "laplace", "int.strategy": "ccd"},
                "compute": {"dic": True, "waic": True, "cpo": False},
            }
        ),
        ("gamma",),
        {},
    ),
    Workload(
        "full",
        call(
            {
                "family": {
                    "control.link": {"model": " Quantile ", "quantile": 0.25},
                    "control_link": {"model": "quantile", "quantile": 0.5},
                    "hyper": {"prec": {"prior": "loggamma"}},
                },
                "predictor": {
                    "compute": True,
                    "link": 1,
                    "control.link": {"model": "QUANTILE", "quantile": 0.75},
                    "control_link": {"model": "quantile", "quantile": 0.5},
                },
                "inla": {
                    "strategy": " Simplified_Laplace ",
                    "int.strategy": "  User_STD ",
                    "int_strategy": "grid",
                    "adaptive_max": 25,
                    "control_vb": {
                        "strategy": " Mean ",
                        "hessian_strategy": " Diagonal ",
                        "enable": True,
                        "iter_max": 25,
                        "hessian_update": 2,
                        "verbose": False,
                        "f_enable_limit": [30, 25, 1024, 768],
                        "emergency": 25.0,
                    },
                },
                "compute": {
                    "config": True,
                    "dic": True,
                    "cpo": False,
                    "mlik": True,
                    "return_marginals": False,
                    "return_marginals_predictor": 0,
                    "waic": 1,
                    "po": False,
                },
                **UNEXAMINED_TOP_LEVEL,
            }
        ),
        ("gamma",),
        {},
    ),
    Workload(
        "survival",
        call({"family": {"control.link": {"model": " LOG "}}}, family="gammasurv"),
        ("gaussian", "gammasurv"),
        {},
    ),
]


class Unprintable:
    """A setting whose text cannot be made: str() raises."""

    def __str__(self) -> str:
        raise TypeError("no text for this setting")


def link(config: Any, where: str = "family") -> Dict[str, Any]:
    if where == "family":
        return {"family": {"control.link": config}}
    return {"predictor": {"control_link": config}}


def inla(settings: Any) -> Dict[str, Any]:
    return {"inla": settings}


def listed(names: Any) -> str:
    """Names as the messages list them: sorted, joined with ", "."""
    return ", ".join(sorted(names))


# (name, control, families, check, message after the prefix)
_REFUSED: List[Tuple[str, Any, Tuple[Any, ...], str, str]] = [
    ("control not a dict", [("family", {})], (), "structure",
     "'control' must be a dict when provided."),
    ("unsupported top-level keys", {"famly": {}, "predictor": {}, "Mode": 1}, (), "structure",
     "unsupported keys in 'control': Mode, famly."),
    ("family not a dict", {"family": "gamma"}, ("gamma",), "structure",
     "control['family'] must be a dict (or list of dicts for multiple families)."),
    ("predictor not a dict", {"predictor": ["compute"]}, (), "structure",
     "control['predictor'] must be a dict."),
    ("unsupported predictor keys", {"predictor": {"compute": True, "links": 1}}, (), "structure",
     "unsupported keys in control['predictor']: links."),
    ("predictor compute not bool", {"predictor": {"compute": 1}}, (), "structure",
     "control['predictor']['compute'] must be True/False."),
    ("inla not a dict", inla("laplace"), (), "structure",
     "control['inla'] must be a dict when provided."),
    ("unsupported inla keys", inla({"strategy": "auto", "npoints": 9}), (), "structure",
     "control['inla'] currently supports only " + listed(INLA_KEYS) + " overrides; found npoints."),
    ("control_vb not a dict", inla({"control_vb": True}), (), "structure",
     "control['inla']['control_vb'] must be a dict."),
    ("unsupported control_vb keys", inla({"control_vb": {"enable": True, "iters": 3}}), (),
     "structure",
     "control['inla']['control_vb'] supports only " + listed(CONTROL_VB_KEYS) + " keys; found iters."),
    ("control_vb strategy", inla({"control_vb": {"strategy": "Median"}}), (), "structure",
     "control['inla']['control_vb']['strategy'] must be 'mean' or 'variance'; got 'Median'."),
    ("control_vb hessian_strategy", inla({"control_vb": {"hessian_strategy": "diag"}}), (),
     "structure",
     "control['inla']['control_vb']['hessian_strategy'] must be one of 'default', 'full', "
     "'partial', 'diagonal'; got 'diag'."),
    ("strategy without text", inla({"strategy": Unprintable()}), (), "structure",
     "control['inla']['strategy'] must be a string."),
    ("strategy not a choice", inla({"strategy": " Fast "}), (), "structure",
     "control['inla']['strategy'] must be one of " + listed(STRATEGIES) + "; got ' Fast '."),
    ("link for a gaussian model", link({"model": "quantile", "quantile": 0.5}), ("gaussian",),
     "structure", "control.link is only allowed for gamma likelihoods."),
    ("link not a dict", link("quantile"), ("gamma",), "structure",
     "control.link configuration must be a dict."),
    ("link without model", link({"quantile": 0.5}, "predictor"), ("gamma",), "structure",
     "control.link['model'] must be specified."),
    ("gammasurv link model", link({"model": "identity"}), ("gammasurv",), "structure",
     "only 'log', 'neglog', or 'quantile' control.link model is allowed for gammasurv."),
    ("gamma link model", link({"model": "log"}), ("gamma",), "structure",
     "only 'quantile' control.link model is allowed for gamma."),
    ("quantile missing", link({"model": "quantile"}), ("gamma",), "structure",
     "control.link['quantile'] must be provided when model='quantile'."),
    ("quantile not numeric", link({"model": "quantile", "quantile": "median"}), ("gamma",),
     "structure", "quantile must be numeric."),
    ("quantile out of range", link({"model": "quantile", "quantile": 1.5}), ("gamma",),
     "structure", "quantile must be in (0,1)."),
    ("compute not a dict", {"compute": ["dic"]}, (), "compute",
     "control['compute'] must be a dict if provided."),
    ("unsupported compute keys", {"compute": {"dic": True, "DIC": True, "aic": 1}}, (),
     "compute",
     "unsupported keys in control['compute']: DIC, aic. Allowed: " + listed(COMPUTE_SWITCHES) + "."),
    ("compute switch not boolean", {"compute": {"dic": True, "waic": 2}}, (), "compute",
     "control['compute']['waic'] must be boolean."),
]  # fmt: skip

REFUSED: List[Workload] = [
    Workload(name, call(control), families, {check: PREFIX + message})
    for name, control, families, check, message in _REFUSED
]

WHITE_SPACE_VALUES = ("strategy", "int.strategy", "control_vb strategy",
                      "control_vb hessian_strategy", "link model")  # fmt: skip


def padded_call(blanks: int) -> Tuple[Dict[str, Any], Tuple[str, ...], int]:
    """A valid call whose choices each carry `blanks` white-space characters
    around them (half before, half after): kwargs, families, total padding."""
    white = (" \t\n" * blanks)[:blanks]
    before, after = white[: blanks // 2], white[blanks // 2 :]

    def pad(text: str) -> str:
        return before + text + after

    control = {
        "family": {"control.link": {"model": pad("Quantile"), "quantile": 0.5}},
        "inla": {
            "strategy": pad("Simplified_Laplace"),
            "int.strategy": pad("CCD"),
            "control_vb": {"strategy": pad("mean"), "hessian_strategy": pad("full")},
        },
    }
    return call(control), ("gamma",), blanks * len(WHITE_SPACE_VALUES)


def unsupported_keys_call(section: str, count: int) -> Tuple[Dict[str, Any], str]:
    """A call whose `section` carries `count` unsupported keys: kwargs and
    the check that refuses it."""
    keys = {"unsupported_{:06d}".format(i): True for i in range(count)}
    if section == "control":
        return call(keys), "structure"
    if section == "predictor":
        return call({"predictor": keys}), "structure"
    if section == "inla":
        return call({"inla": keys}), "structure"
    if section == "control_vb":
        return call({"inla": {"control_vb": keys}}), "structure"
    if section == "compute":
        return call({"compute": keys}), "compute"
    raise ValueError(section)


SECTIONS = ("control", "predictor", "inla", "control_vb", "compute")


def expected_outcome(workload: Workload, check: str) -> Optional[str]:
    return workload.expected.get(check)
