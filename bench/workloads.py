"""The inputs the benchmark times.

Each workload is the keyword dictionary of a model-fitting call with the
likelihood families of its model. The accepted workloads are the calls the
package makes every day; each refused workload breaks exactly one rule, and
`expected` names the message it must produce (the benchmark checks that
before timing, so a workload cannot silently drift onto another path).
"""

from typing import Any, Dict, List, NamedTuple, Optional, Tuple

import messages
from messages import listed
from reference import COMPUTE_SWITCHES, CONTROL_VB_KEYS, INLA_KEYS, STRATEGIES

DATA = {"y": [1.2, 0.7, 3.4], "x": [0.1, 0.2, 0.3], "site": [1, 2, 1]}


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


# (name, control, families, check, message)
_REFUSED: List[Tuple[str, Any, Tuple[Any, ...], str, str]] = [
    ("control not a dict", [("family", {})], (), "structure", messages.control_not_dict),
    ("unsupported top-level keys", {"famly": {}, "predictor": {}, "Mode": 1}, (), "structure",
     messages.control_unsupported.format("Mode, famly")),
    ("family not a dict", {"family": "gamma"}, ("gamma",), "structure", messages.family_not_dict),
    ("predictor not a dict", {"predictor": ["compute"]}, (), "structure",
     messages.predictor_not_dict),
    ("unsupported predictor keys", {"predictor": {"compute": True, "links": 1}}, (), "structure",
     messages.predictor_unsupported.format("links")),
    ("predictor compute not bool", {"predictor": {"compute": 1}}, (), "structure",
     messages.predictor_compute_not_bool),
    ("inla not a dict", inla("laplace"), (), "structure", messages.inla_not_dict),
    ("unsupported inla keys", inla({"strategy": "auto", "npoints": 9}), (), "structure",
     messages.inla_unsupported.format(listed(INLA_KEYS), "npoints")),
    ("control_vb not a dict", inla({"control_vb": True}), (), "structure", messages.vb_not_dict),
    ("unsupported control_vb keys", inla({"control_vb": {"enable": True, "iters": 3}}), (),
     "structure", messages.vb_unsupported.format(listed(CONTROL_VB_KEYS), "iters")),
    ("control_vb strategy", inla({"control_vb": {"strategy": "Median"}}), (), "structure",
     messages.vb_strategy_refused.format("Median")),
    ("control_vb hessian_strategy", inla({"control_vb": {"hessian_strategy": "diag"}}), (),
     "structure", messages.vb_hessian_refused.format("diag")),
    ("strategy without text", inla({"strategy": Unprintable()}), (), "structure",
     messages.choice_not_text.format("strategy")),
    ("strategy not a choice", inla({"strategy": " Fast "}), (), "structure",
     messages.choice_refused.format("strategy", listed(STRATEGIES), " Fast ")),
    ("link for a gaussian model", link({"model": "quantile", "quantile": 0.5}), ("gaussian",),
     "structure", messages.link_family),
    ("link not a dict", link("quantile"), ("gamma",), "structure", messages.link_not_dict),
    ("link without model", link({"quantile": 0.5}, "predictor"), ("gamma",), "structure",
     messages.link_model_missing),
    ("gammasurv link model", link({"model": "identity"}), ("gammasurv",), "structure",
     messages.link_model_gammasurv),
    ("gamma link model", link({"model": "log"}), ("gamma",), "structure",
     messages.link_model_gamma),
    ("quantile missing", link({"model": "quantile"}), ("gamma",), "structure",
     messages.link_quantile_missing),
    ("quantile not numeric", link({"model": "quantile", "quantile": "median"}), ("gamma",),
     "structure", messages.link_quantile_not_numeric),
    ("quantile out of range", link({"model": "quantile", "quantile": 1.5}), ("gamma",),
     "structure", messages.link_quantile_range),
    ("compute not a dict", {"compute": ["dic"]}, (), "compute", messages.compute_not_dict),
    ("unsupported compute keys", {"compute": {"dic": True, "DIC": True, "aic": 1}}, (),
     "compute", messages.compute_unsupported.format("DIC, aic", listed(COMPUTE_SWITCHES))),
    ("compute switch not boolean", {"compute": {"dic": True, "waic": 2}}, (), "compute",
     messages.compute_not_bool.format("waic")),
]  # fmt: skip

REFUSED: List[Workload] = [
    Workload(name, call(control), families, {check: message})
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
