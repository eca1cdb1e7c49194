"""Run the control safety checks on a few model-fitting calls.

Each case is the keyword dictionary of a fitting call, as the package gathers
it, with the likelihood families of the model.  Both checks run on it, and
the outcome is printed: "accepted" or the SafetyError message.

    python3 examples/demo.py      (after `make build`; or simply `make demo`)
"""

import sys
from pathlib import Path
from pprint import pformat
from typing import Any, Callable, Dict, List, Tuple

# Run from a checkout: use the in-place build beside the sources.
_ROOT = Path(__file__).resolve().parent.parent
if (_ROOT / "tarvik").is_dir():
    sys.path.insert(0, str(_ROOT))

import tarvik.safety.control as control  # noqa: E402
from tarvik.safety.errors import SafetyError  # noqa: E402

# Stand-ins for what a real call carries; the checks never look at them.
DATA = "<data frame: 412 rows x 6 columns>"

CASES: List[Tuple[str, Tuple[str, ...], Dict[str, Any]]] = [
    (
        "Gamma regression for the median claim size",
        ("gamma",),
        {
            "formula": "claim ~ age + region + f(policy, model='iid')",
            "data": DATA,
            "control": {
                "family": {
                    "control.link": {"model": "quantile", "quantile": 0.5}
                },
                "inla": {"strategy": "Laplace", "int.strategy": "CCD"},
                "compute": {"dic": True, "waic": True, "cpo": 1},
            },
        },
    ),
    (
        "Gaussian model with predictor marginals and a VB correction",
        ("gaussian",),
        {
            "formula": "yield ~ rain + f(field, model='rw2')",
            "data": DATA,
            "control": {
                "predictor": {"compute": True, "link": 1},
                "inla": {
                    "strategy": " Simplified_Laplace ",
                    "control_vb": {"strategy": "Mean", "iter_max": 25},
                },
                "compute": {"config": True, "mlik": 0},
                "fixed": {"prec.intercept": 0.001},
            },
        },
    ),
    (
        "Gamma regression asking for the 150% quantile",
        ("gamma",),
        {
            "formula": "claim ~ age",
            "data": DATA,
            "control": {
                "family": {
                    "control_link": {"model": "quantile", "quantile": 1.5}
                },
                "compute": {"dic": True},
            },
        },
    ),
    (
        "Survival model with a misspelt VB strategy",
        ("gammasurv",),
        {
            "formula": "inla.surv(time, event) ~ treatment",
            "data": DATA,
            "control": {
                "family": {"control.link": {"model": "NegLog"}},
                "inla": {"control_vb": {"strategy": "median"}},
                "compute": {"po": False},
            },
        },
    ),
    (
        "Poisson counts with a word where a flag belongs",
        ("poisson",),
        {
            "formula": "cases ~ offset(log(pop)) + f(district, model='besag')",
            "data": DATA,
            "control": {
                "predictor": {"compute": "yes"},
                "compute": {"dic": 2},
            },
        },
    ),
    (
        "Binomial model with typing slips in the control keys",
        ("binomial",),
        {
            "formula": "passed ~ hours",
            "data": DATA,
            "Ntrials": 20,
            "control": {
                "famliy": {"hyper": {"prec": {"initial": 0}}},
                "compute": {"dic": True, "cpu": True, "WAIC": True},
            },
        },
    ),
    (
        "Gaussian model given a quantile link meant for gamma",
        ("gaussian",),
        {
            "formula": "yield ~ rain",
            "data": DATA,
            "control": {
                "family": {
                    "control.link": {"model": "quantile", "quantile": 0.9}
                },
                "compute": ["dic", "waic"],
            },
        },
    ),
    (
        "Mixture of likelihoods with an unknown integration strategy",
        ("gaussian", "gamma"),
        {
            "formula": "Y ~ 0 + intercept1 + intercept2",
            "data": DATA,
            "control": {
                "family": [{"hyper": {}}, {"hyper": {}}],
                "inla": {"int_strategy": "sparse-grid"},
                "compute": {"return_marginals": False},
            },
        },
    ),
]


def outcome(check: Callable[..., None], *args: object) -> str:
    try:
        check(*args)
    except SafetyError as err:
        return f"SafetyError: {err}"
    return "accepted"


def main() -> int:
    if getattr(control, "__file__", None) is None or not hasattr(
        control, "enforce_control_structure"
    ):
        print(
            "demo: tarvik.safety.control is not built (the import found only "
            "its source directory). Build it with `make build`, or run "
            "`make demo`.",
            file=sys.stderr,
        )
        return 2
    for number, (title, families, kwargs) in enumerate(CASES, 1):
        print(f"{number}. {title}")
        print(f"   families={families!r}")
        shown = pformat(kwargs["control"], width=68, sort_dicts=False)
        print("   control=" + shown.replace("\n", "\n" + " " * 11))
        print("   enforce_control_structure: "
              + outcome(control.enforce_control_structure, kwargs, families))
        print("   enforce_compute_section:   "
              + outcome(control.enforce_compute_section, kwargs))
        print()
    return 0


if __name__ == "__main__":
    sys.exit(main())
