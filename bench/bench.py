"""Time the native checks against the pure-Python model, in one run.

Run from the repository root after the in-place build:

    /usr/bin/python3 bench/bench.py

For each case: the time per call of the native function, of the Python model
(bench/reference.py) and of an empty Python function with the same signature
(the floor: what any call costs), and the ratio model / native. Each time is
the minimum over several repeats. Nothing is asserted.
"""

import sys
import timeit
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT), str(ROOT / "bench")]

import reference  # noqa: E402
from tarvik.safety import control  # noqa: E402

if not hasattr(control, "enforce_control_structure"):
    sys.exit("tarvik.safety.control is not built: run `make build` first.")

REPEATS = 5


def empty_structure(kwargs, families=()):
    return None


def empty_compute(kwargs):
    return None


ACCEPTED = {
    "formula": "y ~ x + f(site, model='iid')",
    "data": {"y": [1.2, 0.7, 3.4], "x": [0.1, 0.2, 0.3], "site": [1, 2, 1]},
    "family": "gamma",
    "control": {
        "family": {"variant": 1, "control.link": {"model": "quantile", "quantile": 0.5}},
        "predictor": {"compute": True, "link": 1},
        "inla": {
            "strategy": "Simplified_Laplace",
            "int.strategy": "ccd",
            "control_vb": {"strategy": "mean", "hessian_strategy": "full", "enable": True},
        },
        "compute": {"dic": True, "waic": 1, "cpo": False, "config": True, "mlik": True},
        "fixed": {"prec.intercept": 0.001},
    },
}
MINIMAL = {"formula": "y ~ x", "data": {"y": [1.0], "x": [0.0]}}


def with_control(control_mapping):
    return {"formula": "y ~ x", "control": control_mapping}


# (label, which check, kwargs, families); families is None for the compute check.
CASES = [
    ("accepted, all sections", "structure", ACCEPTED, ("gamma",)),
    ("accepted, all sections", "compute", ACCEPTED, None),
    ("minimal, no control", "structure", MINIMAL, ()),
    ("minimal, no control", "compute", MINIMAL, None),
    ("unsupported top-level key", "structure", with_control({"famly": {}, "mode": 1}), ()),
    ("link for a gaussian model", "structure", with_control({"family": {"control_link": {}}}), ("gaussian",)),
    ("quantile 1.5", "structure",
     with_control({"family": {"control.link": {"model": "quantile", "quantile": 1.5}}}), ("gamma",)),
    ("quantile 'abc' (chained cause)", "structure",
     with_control({"predictor": {"control_link": {"model": "quantile", "quantile": "abc"}}}), ("gamma",)),
    ("strategy 'fast'", "structure", with_control({"inla": {"strategy": " Fast "}}), ()),
    ("compute switch 2", "compute", with_control({"compute": {"dic": True, "waic": 2}}), None),
    ("compute unsupported keys", "compute", with_control({"compute": {"DIC": True, "aic": 1}}), None),
]  # fmt: skip


def per_call(func, kwargs, families):
    """Minimum seconds per call; a raising call includes catching its exception."""
    if families is None:
        statement = "try:\n    func(kwargs)\nexcept Exception:\n    pass"
    else:
        statement = "try:\n    func(kwargs, families)\nexcept Exception:\n    pass"
    timer = timeit.Timer(statement, globals={"func": func, "kwargs": kwargs, "families": families})
    number, _ = timer.autorange()
    number = max(1, number // 4)
    return min(timer.repeat(repeat=REPEATS, number=number)) / number


def outcome(func, kwargs, families):
    try:
        func(kwargs) if families is None else func(kwargs, families)
    except Exception as exc:
        return type(exc).__name__, str(exc)
    return None


def main():
    functions = {
        "structure": (control.enforce_control_structure, reference.enforce_control_structure, empty_structure),
        "compute": (control.enforce_compute_section, reference.enforce_compute_section, empty_compute),
    }
    header = "{:<32} {:<9} {:>10} {:>10} {:>8} {:>10}  {}".format(
        "case", "check", "native ns", "model ns", "ratio", "floor ns", "outcome"
    )
    print(header)
    print("-" * len(header))
    for label, check, kwargs, families in CASES:
        native, model, empty = functions[check]
        native_time = per_call(native, kwargs, families)
        model_time = per_call(model, kwargs, families)
        floor_time = per_call(empty, kwargs, families)
        result = outcome(native, kwargs, families)
        shown = "None" if result is None else result[0]
        if result != outcome(model, kwargs, families):
            shown += " (model differs!)"
        print(
            "{:<32} {:<9} {:>10.0f} {:>10.0f} {:>7.1f}x {:>10.0f}  {}".format(
                label, check, native_time * 1e9, model_time * 1e9, model_time / native_time,
                floor_time * 1e9, shown,
            )
        )  # fmt: skip


if __name__ == "__main__":
    main()
