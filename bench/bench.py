"""Time tarvik.safety.control against the cost of a Python call, in one run.

Run from the repository root after the in-place build (`make bench` does
both):

    .venv/3.11/bin/python bench/bench.py [--quick] [--json PATH]

It times the copy of the module that the interpreter finds (an installed
one, say), or else this clone's build; the figures name the one timed.

Every workload of bench/workloads.py is passed to both checks. Each row shows
the median time per call of the native check and of its floor, measured in
the same run, alternately, round after round, and the median of the
per-round ratios:

- for an accepted input the floor is an empty Python function with the same
  signature, called the same way;
- for a refused input it is a Python function of that signature that raises
  ValueError with a constant message, called in the same try/except.

The plain-Python model of the checks (bench/reference.py) is timed in the
same rounds, for comparison. Then: blocks retained over a million successful
calls, bytes allocated during successful calls, and how the cost of the
unsupported-keys messages and of white space around choices grows with the
number of keys and characters. The same figures are written as JSON
(default build/bench.json). Targets are reported as met or missed; nothing is
asserted, but the run fails when a workload does not produce the outcome it
was written for.
"""

import argparse
import datetime
import gc
import itertools
import json
import math
import platform
import statistics
import subprocess
import sys
import timeit
import tracemalloc
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Tuple

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))

import locate  # noqa: E402

locate.use_clone_unless_built()

import reference  # noqa: E402
import workloads  # noqa: E402
from tarvik.safety import control  # noqa: E402
from tarvik.safety.errors import SafetyError  # noqa: E402

if not hasattr(control, "enforce_control_structure"):
    sys.exit("tarvik.safety.control is not built: run `make build` first.")


# --- the floors: what any call of the same signature costs ------------------


def empty_structure(kwargs, families=()):
    return None


def empty_compute(kwargs):
    return None


def raising_structure(kwargs, families=()):
    raise ValueError("tarvik safety check: refused.")


def raising_compute(kwargs):
    raise ValueError("tarvik safety check: refused.")


CHECKS = {
    "structure": {
        "native": control.enforce_control_structure,
        "model": reference.enforce_control_structure,
        "empty": empty_structure,
        "raising": raising_structure,
        "call": "func(kwargs, families)",
    },
    "compute": {
        "native": control.enforce_compute_section,
        "model": reference.enforce_compute_section,
        "empty": empty_compute,
        "raising": raising_compute,
        "call": "func(kwargs)",
    },
}

# Median ratio to the floor that each row should stay within.
TARGETS = {
    ("minimal", "structure"): 1.3,
    ("minimal", "compute"): 1.3,
    ("typical", "structure"): 5.0,
    ("typical", "compute"): 2.0,
    ("full", "structure"): 15.0,
    ("full", "compute"): 15.0,
}
REFUSED_TARGET = 3.0


def outcome(func: Callable, check: str, kwargs: Any, families: Any) -> Optional[str]:
    """None when accepted, else 'Type: message'."""
    try:
        func(kwargs, families) if check == "structure" else func(kwargs)
    except Exception as exc:  # noqa: BLE001 - any outcome is reported
        return "{}: {}".format(type(exc).__name__, exc)
    return None


def make_timer(func: Callable, check: str, refused: bool, kwargs: Any, families: Any):
    statement = CHECKS[check]["call"]
    if refused:
        statement = "try:\n    {}\nexcept ValueError:\n    pass".format(statement)
    names = {"func": func, "kwargs": kwargs, "families": families}
    return timeit.Timer(statement, globals=names)


def calibrate(timer: timeit.Timer, sample_seconds: float) -> int:
    """Calls per sample so that one sample takes about `sample_seconds`."""
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= sample_seconds / 4 or number >= 1 << 24:
            return max(1, int(number * sample_seconds / max(elapsed, 1e-9)))
        number *= 4


def interleaved(timers: List[timeit.Timer], rounds: int, sample_seconds: float):
    """Per-call seconds of each timer, one sample of each per round."""
    numbers = [calibrate(timer, sample_seconds) for timer in timers]
    samples: List[List[float]] = [[] for _ in timers]
    for _ in range(rounds):
        for timer, number, column in zip(timers, numbers, samples):
            column.append(timer.timeit(number) / number)
    return samples


def median_ratio(numerator: List[float], denominator: List[float]) -> float:
    return statistics.median(a / b for a, b in zip(numerator, denominator))


# --- rows: every workload through both checks -------------------------------


def time_rows(args) -> Tuple[List[Dict[str, Any]], List[str]]:
    rows = []
    problems = []
    for workload in workloads.ACCEPTED + workloads.REFUSED:
        if args.only and args.only not in workload.name:
            continue
        for check, funcs in CHECKS.items():
            expected = workload.expected.get(check)
            expected = None if expected is None else "SafetyError: " + expected
            got = outcome(funcs["native"], check, workload.kwargs, workload.families)
            modelled = outcome(funcs["model"], check, workload.kwargs, workload.families)
            if got != expected or modelled != expected:
                problems.append(
                    "{} / {}: expected {!r}, native {!r}, model {!r}".format(
                        workload.name, check, expected, got, modelled
                    )
                )
                continue
            refused = expected is not None
            floor = funcs["raising" if refused else "empty"]
            timers = [
                make_timer(func, check, refused, workload.kwargs, workload.families)
                for func in (funcs["native"], floor, funcs["model"])
            ]
            native, floor_times, model = interleaved(timers, args.rounds, args.sample)
            target = REFUSED_TARGET if refused else TARGETS.get((workload.name, check))
            ratio = median_ratio(native, floor_times)
            rows.append(
                {
                    "workload": workload.name,
                    "check": check,
                    "outcome": "refused" if refused else "accepted",
                    "native_ns": statistics.median(native) * 1e9,
                    "floor": "raising" if refused else "empty",
                    "floor_ns": statistics.median(floor_times) * 1e9,
                    "ratio": ratio,
                    "target": target,
                    "met": None if target is None else ratio <= target,
                    "model_ns": statistics.median(model) * 1e9,
                }
            )
    return rows, problems


def bound_rows(args) -> List[Dict[str, Any]]:
    """What the interpreter alone spends on parts of some refusals, against
    the raising floor: a lower bound for those rows."""
    text = "median"  # the quantile of the "quantile not numeric" workload
    rows = []
    for label, statement, names in [
        ("float() of a quantile text failing, caught",
         "try:\n    to_float(text)\nexcept ValueError:\n    pass", {"to_float": float, "text": text}),
    ]:  # fmt: skip
        timers = [timeit.Timer(statement, globals=names),
                  make_timer(raising_structure, "structure", True, {}, ())]  # fmt: skip
        own, floor_times = interleaved(timers, args.rounds, args.sample)
        rows.append({"case": label, "ns": statistics.median(own) * 1e9,
                     "ratio_to_raising_floor": median_ratio(own, floor_times)})  # fmt: skip
    return rows


def print_bounds(rows: List[Dict[str, Any]]) -> None:
    for row in rows:
        print("interpreter alone: {} {:.0f} ns, {:.2f} x the raising floor".format(
            row["case"], row["ns"], row["ratio_to_raising_floor"]))  # fmt: skip


def print_rows(rows: List[Dict[str, Any]]) -> None:
    header = "{:<29} {:<9} {:<8} {:>9} {:>9} {:>7} {:>7}  {:<6} {:>9}".format(
        "workload", "check", "outcome", "native ns", "floor ns", "ratio", "target", "", "model ns"
    )
    print(header)
    print("-" * len(header))
    for row in rows:
        if row["target"] is None:
            target, verdict = "", ""
        else:
            target = "{:.1f}".format(row["target"])
            verdict = "met" if row["met"] else "MISSED"
        print(
            "{:<29} {:<9} {:<8} {:>9.0f} {:>9.0f} {:>7.2f} {:>7}  {:<6} {:>9.0f}".format(
                row["workload"], row["check"], row["outcome"], row["native_ns"],
                row["floor_ns"], row["ratio"], target, verdict, row["model_ns"],
            )
        )  # fmt: skip
    print(
        "floor: an empty Python function of the same signature (accepted), or one that"
        " raises ValueError (refused); ratio: median of per-round native/floor"
    )


# --- memory: nothing kept, nothing allocated --------------------------------


def retained_blocks(call: timeit.Timer, calls: int) -> int:
    """Blocks still allocated after `calls` more calls than before them."""

    def growth(number: int) -> int:
        call.timeit(1000)  # warm caches and freelists
        gc.collect()
        before = sys.getallocatedblocks()
        call.timeit(number)
        gc.collect()
        return sys.getallocatedblocks() - before

    # The same without the calls counts what measuring itself keeps (the
    # int `before`, for one).
    return growth(calls) - growth(0)


def memory_rows(args) -> List[Dict[str, Any]]:
    rows = []
    for workload in workloads.ACCEPTED:
        if workload.name not in ("typical", "full"):
            continue
        for check, funcs in CHECKS.items():
            func = funcs["native"]
            call = make_timer(func, check, False, workload.kwargs, workload.families)
            retained = retained_blocks(call, args.calls)
            rows.append(
                {
                    "workload": workload.name,
                    "check": check,
                    "calls": args.calls,
                    "blocks_retained": retained,
                    "bytes_allocated_per_call": allocated_per_call(func, check, workload),
                }
            )
    return rows


def allocated_per_call(func: Callable, check: str, workload: workloads.Workload) -> float:
    """Peak traced memory above the start over 1000 calls, per call: zero
    when the calls allocate nothing at all, even temporarily."""
    kwargs, families = workload.kwargs, workload.families
    calls = itertools.repeat(None, 1000)
    tracemalloc.start()
    try:
        tracemalloc.reset_peak()
        start = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        if check == "structure":
            for _ in calls:
                func(kwargs, families)
        else:
            for _ in calls:
                func(kwargs)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    return max(0, peak - start) / 1000


def print_memory(rows: List[Dict[str, Any]]) -> None:
    print()
    print("{:<10} {:<9} {:>10} {:>16} {:>22}".format(
        "workload", "check", "calls", "blocks retained", "bytes allocated/call"))  # fmt: skip
    for row in rows:
        print("{:<10} {:<9} {:>10} {:>16} {:>22.1f}".format(
            row["workload"], row["check"], row["calls"], row["blocks_retained"],
            row["bytes_allocated_per_call"]))  # fmt: skip


# --- scaling: cost per key and per character --------------------------------


def time_sizes(cases: List[Tuple[int, Callable, str, bool, Any, Any]], args) -> List[float]:
    """Median seconds per call of each (n, func, check, refused, kwargs,
    families), the sizes timed in turn within each round so that they are
    compared under the same conditions."""
    timers = [make_timer(func, check, refused, kwargs, families)
              for _, func, check, refused, kwargs, families in cases]  # fmt: skip
    for timer in timers:
        timer.timeit(3)
    samples = interleaved(timers, max(5, args.rounds // 2), args.sample)
    return [statistics.median(column) for column in samples]


def scaling_rows(args) -> Tuple[List[Dict[str, Any]], List[str]]:
    rows = []
    problems = []
    # Calls with megabytes of keys get fresh pages from the system until
    # the C allocator has settled on keeping that much memory; a few such
    # calls first, so that every size is timed in the same steady state.
    for section in workloads.SECTIONS:
        kwargs, check = workloads.unsupported_keys_call(section, max(args.sizes))
        for _ in range(3):
            outcome(CHECKS[check]["native"], check, kwargs, ("gamma",))
    groups = []
    for section in workloads.SECTIONS:
        cases = []
        for count in args.sizes:
            kwargs, check = workloads.unsupported_keys_call(section, count)
            func = CHECKS[check]["native"]
            got = outcome(func, check, kwargs, ("gamma",))
            if not (got or "").startswith("SafetyError: ") or "unsupported_000000" not in got:
                problems.append("{} keys in {}: {!r}".format(count, section, (got or "")[:200]))
                continue
            cases.append((count, func, check, True, kwargs, ("gamma",)))
        groups.append(("unsupported keys in " + section, "key", cases))
    cases = []
    for blanks in args.blanks:
        kwargs, families, total = workloads.padded_call(blanks)
        func = CHECKS["structure"]["native"]
        got = outcome(func, "structure", kwargs, families)
        if got is not None:
            problems.append("{} blanks: {!r}".format(blanks, got[:200]))
            continue
        cases.append((total, func, "structure", False, kwargs, families))
    groups.append(("white space around 5 choices", "char", cases))
    for label, unit, cases in groups:
        for (count, _, check, *_), seconds in zip(cases, time_sizes(cases, args)):
            rows.append({"case": label, "check": check, "n": count, "unit": unit,
                         "ns": seconds * 1e9, "ns_per_unit": seconds * 1e9 / count})  # fmt: skip
    return rows, problems


def print_scaling(rows: List[Dict[str, Any]]) -> None:
    print()
    print("{:<32} {:<9} {:>8} {:>14} {:>14} {:>12}".format(
        "case", "check", "n", "ns per call", "ns per unit", "growth"))  # fmt: skip
    previous: Dict[str, Dict[str, Any]] = {}
    for row in rows:
        growth = ""
        last = previous.get(row["case"])
        if last is not None:
            # Per-unit cost against the last size; n log n allows log(n)/log(n0).
            row["growth"] = row["ns_per_unit"] / last["ns_per_unit"]
            row["n_log_n_bound"] = math.log(row["n"]) / math.log(last["n"])
            growth = "{:.2f} (<= {:.2f})".format(row["growth"], row["n_log_n_bound"])
        previous[row["case"]] = row
        print("{:<32} {:<9} {:>8} {:>14.0f} {:>14.2f} {:>12}".format(
            row["case"], row["check"], row["n"], row["ns"], row["ns_per_unit"],
            growth))  # fmt: skip
    print("growth: cost per unit against the previous size, with the n log n bound")


# --- the run ------------------------------------------------------------------


def metadata(args) -> Dict[str, Any]:
    try:
        commit = subprocess.run(
            ["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"],
            capture_output=True, text=True, check=False,
        ).stdout.strip()  # fmt: skip
    except OSError:
        commit = ""
    return {
        "date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "commit": commit,
        "python": sys.version.split()[0],
        "executable": sys.executable,
        "module": control.__file__,
        "machine": platform.machine(),
        "platform": platform.platform(),
        "rounds": args.rounds,
        "sample_seconds": args.sample,
    }


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="few rounds and small sizes: checks that the benchmark runs")  # fmt: skip
    parser.add_argument("--json", default=str(ROOT / "build" / "bench.json"),
                        help="where to write the figures (default: build/bench.json)")  # fmt: skip
    parser.add_argument("--only", default="", metavar="TEXT",
                        help="time only the workloads whose name contains TEXT; no scaling")  # fmt: skip
    args = parser.parse_args(argv)
    if args.quick:
        args.rounds, args.sample, args.calls = 3, 0.0005, 10_000
        args.sizes, args.blanks = (10, 100), (10, 100)
    else:
        args.rounds, args.sample, args.calls = 21, 0.002, 1_000_000
        args.sizes, args.blanks = (10, 1_000, 100_000), (10, 100_000)

    rows, problems = time_rows(args)
    print_rows(rows)
    bounds = bound_rows(args)
    print_bounds(bounds)
    memory, scaling = [], []
    if not args.only:
        memory = memory_rows(args)
        print_memory(memory)
        scaling, scaling_problems = scaling_rows(args)
        print_scaling(scaling)
        problems += scaling_problems

    report = {"meta": metadata(args), "rows": rows, "bounds": bounds, "memory": memory,
              "scaling": scaling, "problems": problems}  # fmt: skip
    return finish(report, args.json)


def finish(report: Dict[str, Any], json_path: str) -> int:
    """Write the figures, name the missed targets and the workloads that went
    wrong; the exit status: 1 when a workload did."""
    path = Path(json_path)
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps(report, indent=2) + "\n")
    print("\nfigures written to {}".format(path))
    missed = [row for row in report["rows"] if row["met"] is False]
    if missed:
        print("targets missed: " + ", ".join(
            "{} / {}".format(row["workload"], row["check"]) for row in missed))  # fmt: skip
    for problem in report["problems"]:
        print("WORKLOAD PROBLEM: " + problem, file=sys.stderr)
    return 1 if report["problems"] else 0


if __name__ == "__main__":
    sys.exit(main())
