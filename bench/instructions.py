"""Count the instructions each check costs per call, with callgrind.

Run from the repository root after the in-place build (`make
bench-instructions` installs valgrind when missing, builds, and runs this):

    .venv/3.11/bin/python bench/instructions.py [--only TEXT] [--calls N]
                                                [--root DIR] [--peers] [--json PATH]

Wall-clock ratios on a shared machine move by half a unit from run to run;
instruction counts do not, so a change's cost shows even when it is small.
Every workload of bench/workloads.py goes through both checks, in the loop
`make bench` times it with (a timeit loop over `func(kwargs, families)`, or
the same in a try/except for a refused input), and so do the floors of
`make bench`: an empty Python function of the same signature for an accepted
input, one raising ValueError for a refused one.

One callgrind process runs every measurement. Collection is on only inside
a C call, made through ctypes, that runs one loop of n calls, and callgrind
writes the count of each such call to its own file. Each loop is run with
n = N and with n = 2N calls; the difference divided by N is the cost of one
pass of the loop, with everything paid once (the ctypes call, starting the
loop, the interpreter's first specialising passes) cancelled out. The same
is done for a loop whose body is `pass`; its cost per pass is subtracted, so
that "instructions per call" is what the call statement itself costs, and
the ratio is that of the check to its floor. PYTHONHASHSEED is fixed, so a
run gives the same counts every time.

It counts the copy of the module that bench/bench.py times (the one the
interpreter finds, or else this clone's build); `--root DIR` counts the one
built in place in another checkout instead (the workloads and floors stay
this clone's), to compare a change with the code before it.

With --peers, the plain-Python model and the validators of bench/peers/ are
counted too, in the same loops (`make bench-peers`).
"""

import argparse
import ctypes
import datetime
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import timeit
from pathlib import Path
from typing import Any, Dict, List, Optional

ROOT = Path(__file__).resolve().parent.parent

# Ratio to the floor (both without the loop) each row should stay within
# under pyenv's CPython 3.11, whose calls cost about a tenth more than under
# Debian's 3.11.2 (built otherwise). The interpreter of another version calls
# an extension's function and a Python function otherwise again: there a row
# may be a tenth dearer (VERSION_ALLOWANCE).
TARGETS = {
    ("minimal", "structure"): 1.3,
    ("minimal", "compute"): 1.3,
    ("typical", "structure"): 4.4,
    ("typical", "compute"): 2.3,
    ("full", "structure"): 14.0,
    ("full", "compute"): 4.0,
}
# 3.14 and 3.15 are Debian's (in the sid chroot), whose floor is cheaper
# again: no shared libpython, and its compiler's -O2.
VERSION_ALLOWANCE = {(3, 11): 1.0, (3, 12): 1.1, (3, 13): 1.1, (3, 14): 1.1, (3, 15): 1.1}
# Collection is switched on while this libffi function runs: ctypes calls
# every foreign function, our loops included, through it.
GATE = "ffi_call"


def import_bench(root: Optional[Path]) -> Any:
    """bench.py (its floors, timers and report) with the module to count:
    the one built in place in `root`, imported from there first (bench.py
    takes it as it is), or else the one bench.py finds."""
    if root is not None:
        sys.path.insert(0, str(root))
        try:
            from tarvik.safety import control
        except ImportError:
            control = None
        built = getattr(control, "__file__", None)
        if not hasattr(control, "enforce_control_structure") or not Path(built).is_relative_to(root):
            sys.exit("tarvik.safety.control is not built in {}: run `make build` there.".format(root))
    import bench

    return bench


# --- inside callgrind: run the loops ------------------------------------------


def run_loops(root: Optional[Path], only: str, calls: int, plan_path: Path, peers: bool) -> None:
    """Run every loop twice (N and 2N calls), each inside one C call, and
    write the plan: the label of each C call in order, and any problem."""
    bench = import_bench(root)
    import workloads

    peers = bench.load_peers(peers)
    plan: Dict[str, Any] = {"module": bench.control.__file__, "loops": [], "rows": [],
                            "problems": [], "peers": {peer.name: peer.version for peer in peers}}  # fmt: skip

    def count(label: str, timer: timeit.Timer) -> None:
        for number in (calls, 2 * calls):

            def loop(number: int = number) -> None:
                timer.timeit(number)

            ctypes.CFUNCTYPE(None)(loop)()  # the C call callgrind counts
            plan["loops"].append({"label": label, "calls": number})

    count("loop", timeit.Timer("pass"))
    floors = set()
    for workload in workloads.ACCEPTED + workloads.REFUSED:
        if only and only not in workload.name:
            continue
        for check, funcs in bench.CHECKS.items():
            expected = workload.expected.get(check)
            expected = None if expected is None else "SafetyError: " + expected
            got = bench.outcome(funcs["native"], check, workload.kwargs, workload.families)
            others = bench.beside(check, peers) if peers else {}
            disagreeing = bench.peer_problems(peers, check, workload)
            if got != expected or disagreeing:
                plan["problems"].append("{} / {}: expected {!r}, got {!r}".format(
                    workload.name, check, expected, got))  # fmt: skip
                plan["problems"] += disagreeing
                continue
            refused = expected is not None
            floor = "raising" if refused else "empty"
            if (floor, check) not in floors:
                floors.add((floor, check))
                count("{} {}".format(floor, check),
                      bench.make_timer(funcs[floor], check, refused, {}, ()))  # fmt: skip
            label = "{} / {}".format(workload.name, check)
            plan["rows"].append({"workload": workload.name, "check": check, "floor": floor,
                                 "label": label, "beside": list(others)})  # fmt: skip
            for name, func in [("", funcs["native"]), *others.items()]:
                count(label + (name and " / " + name), bench.make_timer(
                    func, check, refused, workload.kwargs, workload.families))  # fmt: skip
    plan_path.write_text(json.dumps(plan))


# --- outside: start callgrind, read its counts --------------------------------


def callgrind(args, work: Path) -> Dict[str, Any]:
    """Run the loops under callgrind; the plan with each loop's count."""
    plan_path, out = work / "plan.json", work / "callgrind.out"
    command = [
        "valgrind", "--tool=callgrind", "--collect-atstart=no",
        "--toggle-collect=" + GATE, "--dump-after=" + GATE,
        "--callgrind-out-file=" + str(out),
        sys.executable, str(Path(__file__).resolve()), "--inside", str(plan_path),
        "--calls", str(args.calls), "--only", args.only,
    ] + ["--peers"] * args.peers  # fmt: skip
    if args.root is not None:
        command += ["--root", str(args.root)]
    env = dict(os.environ, PYTHONHASHSEED="0")
    result = subprocess.run(command, env=env, capture_output=True, text=True, check=False)
    if result.returncode != 0 or not plan_path.exists():
        sys.exit("callgrind run failed ({}):\n{}".format(result.returncode, result.stderr[-3000:]))
    plan = json.loads(plan_path.read_text())
    # One file per C call, numbered from 1 in the order they ran.
    dumps = sorted(work.glob("callgrind.out.*"), key=lambda path: int(path.suffix[1:]))
    if len(dumps) != len(plan["loops"]):
        sys.exit("expected {} counts from callgrind, got {}: another call went through {}"
                 " or none did".format(len(plan["loops"]), len(dumps), GATE))  # fmt: skip
    for loop, dump in zip(plan["loops"], dumps):
        totals = [line for line in dump.read_text().splitlines() if line.startswith("totals:")]
        loop["instructions"] = int(totals[0].split()[1])
    return plan


def per_pass(plan: Dict[str, Any], label: str) -> float:
    """Instructions of one more pass of the loop `label`: the count of 2N
    calls minus that of N calls, divided by N."""
    counts = {loop["calls"]: loop["instructions"] for loop in plan["loops"] if loop["label"] == label}
    small, large = sorted(counts)
    return (counts[large] - counts[small]) / (large - small)


def rows_of(plan: Dict[str, Any]) -> List[Dict[str, Any]]:
    loop = per_pass(plan, "loop")
    rows = []
    for row in plan["rows"]:
        name, check, floor = row["workload"], row["check"], row["floor"]
        native = per_pass(plan, row["label"]) - loop
        floor_cost = per_pass(plan, "{} {}".format(floor, check)) - loop
        target = TARGETS.get((name, check))
        if target is not None:
            target *= VERSION_ALLOWANCE.get(sys.version_info[:2], 1.0)
        ratio = native / floor_cost
        beside = {other: per_pass(plan, "{} / {}".format(row["label"], other)) - loop
                  for other in row["beside"]}  # fmt: skip
        rows.append({
            "workload": name, "check": check,
            "outcome": "accepted" if floor == "empty" else "refused",
            "instructions": native, "floor": floor, "floor_instructions": floor_cost,
            "ratio": ratio, "target": target, "met": None if target is None else ratio <= target,
            "loop_instructions": loop,
            # with --peers: the model and each peer
            "beside": {other: {"instructions": count, "ratio": count / floor_cost}
                       for other, count in beside.items()},
        })  # fmt: skip
    return rows


def print_rows(rows: List[Dict[str, Any]], plan: Dict[str, Any], args) -> None:
    header = "{:<29} {:<9} {:<8} {:>12} {:>12} {:>7}  {:<11}".format(
        "workload", "check", "outcome", "instr/call", "floor", "ratio", "target").rstrip()  # fmt: skip
    print("module: {} ({} {})".format(plan["module"], Path(sys.executable).name,
                                      platform.python_version()))  # fmt: skip
    print(header)
    print("-" * len(header))
    for row in rows:
        target = "" if row["target"] is None else "{:.2f} {}".format(
            row["target"], "met" if row["met"] else "MISSED")  # fmt: skip
        print("{:<29} {:<9} {:<8} {:>12.1f} {:>12.1f} {:>7.2f}  {:<11}".format(
            row["workload"], row["check"], row["outcome"], row["instructions"],
            row["floor_instructions"], row["ratio"], target).rstrip())  # fmt: skip
    print(
        "instr/call: instructions of one call statement: callgrind's count for {} calls less"
        " that for {},\n  divided by {}, less the loop's own {:.1f} per pass (a `pass` loop"
        " counted the same way)\nfloor: an empty Python function of the same signature"
        " (accepted), or one raising ValueError (refused)\nratio: instr/call over"
        " floor".format(2 * args.calls, args.calls, args.calls, per_pass(plan, "loop"))
    )


def metadata(args, plan: Dict[str, Any]) -> Dict[str, Any]:
    def output(*command: str) -> str:
        try:
            run = subprocess.run(command, capture_output=True, text=True, check=False)
        except OSError:
            return ""
        return run.stdout.strip()

    return {
        "date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "root": None if args.root is None else str(args.root),
        # of the checkout the module was built in, if it was
        "commit": output("git", "-C", str(Path(plan["module"]).parent), "rev-parse", "--short",
                         "HEAD"),  # fmt: skip
        "module": plan["module"],
        "python": sys.version.split()[0],
        "executable": sys.executable,
        "valgrind": output("valgrind", "--version"),
        "machine": platform.machine(),
        "calls": args.calls,
        "loop_instructions": per_pass(plan, "loop"),
        "peers": plan["peers"],
        "definition": "per call: (count(2N calls) - count(N calls)) / N - loop per pass;"
        " ratio: per call / floor per call",
    }


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--only", default="", metavar="TEXT",
                        help="count only the workloads whose name contains TEXT")  # fmt: skip
    parser.add_argument("--calls", type=int, default=1000, metavar="N",
                        help="calls in the shorter of each loop's two runs (default 1000)")  # fmt: skip
    parser.add_argument("--root", type=Path, metavar="DIR",
                        help="checkout whose in-place build is counted (default: the module"
                        " bench.py times)")  # fmt: skip
    parser.add_argument("--peers", action="store_true",
                        help="count the model and the validators of bench/peers/ beside the module")
    parser.add_argument("--json", help="where to write the figures (default: build/instructions.json,"
                        " with --peers build/instructions-peers.json)")  # fmt: skip
    parser.add_argument("--inside", type=Path, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.root is not None:
        args.root = args.root.resolve()
    if args.inside:
        run_loops(args.root, args.only, args.calls, args.inside, args.peers)
        return 0
    bench = import_bench(args.root)
    if shutil.which("valgrind") is None:
        sys.exit("valgrind is not installed: `make bench-instructions` installs it.")

    with tempfile.TemporaryDirectory(prefix="tarvik-callgrind-") as work:
        plan = callgrind(args, Path(work))
    rows = rows_of(plan)
    if args.peers:
        bench.print_beside(rows, "floor_instructions", "instr", "instructions per call")
    else:
        print_rows(rows, plan, args)
    report = {"meta": metadata(args, plan), "rows": rows, "problems": plan["problems"]}
    json_path = args.json or ROOT / "build" / ("instructions-peers.json" if args.peers else "instructions.json")
    return bench.finish(report, str(json_path))


if __name__ == "__main__":
    sys.exit(main())
