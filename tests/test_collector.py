"""The collector runs the caller's code (gc callbacks, finalisers) at any
allocation of a tracked object; the module's own lists must not be read
while that code can change them."""

import pathlib
import subprocess
import sys

import messages
import pytest
from messages import listed
from reference import COMPUTE_SWITCHES

# Directory holding the imported `tarvik` package (source tree or sanitizer build).
ROOT = str(pathlib.Path(__import__("tarvik").__file__).resolve().parents[1])

# gc.get_referrers hands out any list holding one of the caller's keys; the
# callback empties (or grows) it, then makes lists of many sizes, so that
# the memory just freed holds other objects. 30 keys: a tuple that long is
# never taken from a free list, so copying the list into one allocates and
# collects.
KEY_LIST_SCRIPT = """if 1:
    import gc
    from tarvik.safety.control import enforce_compute_section, enforce_control_structure
    from tarvik.safety.errors import SafetyError

    class Tracked:
        pass

    keys = ["k%02d" % i for i in range(30)]
    refill = []
    def tamper(phase, info):
        if phase == "stop":  # counted allocations: the next one collects again
            refill.append([Tracked(), Tracked()])
            return
        for holder in gc.get_referrers(keys[0]):
            if type(holder) is list and holder is not keys and type(holder[0]) is str:
                {action}
                refill.extend([["stale"] * n for n in range(1, 80)])
    section = dict.fromkeys(keys, 1)
    if {check!r} == "compute":
        check, kwargs = enforce_compute_section, {{"control": {{"compute": section}}}}
    else:
        check, kwargs = enforce_control_structure, {{"control": section}}
    gc.set_threshold(1)
    gc.callbacks.append(tamper)
    try:
        check(kwargs)
    except SafetyError as exc:
        print(exc)
    finally:
        gc.callbacks.remove(tamper)
"""

# The first refusal with a message makes the message's pieces in a list and
# copies it into a tuple. With the free lists of lists and of 1-tuples used
# up, both the list and the copy allocate, and the collector runs at each.
PIECES_SCRIPT = """if 1:
    import gc, sys, tracemalloc
    from tarvik.safety.control import enforce_control_structure
    from tarvik.safety.errors import SafetyError

    mode = sys.argv[1]
    keep, entered = [], []
    kwargs = {"control": {"predictor": 5}}
    def refused():
        try:
            enforce_control_structure(kwargs)
        except SafetyError as exc:
            return str(exc)
    def callback(phase, info):
        if phase == "start" and not entered:
            for obj in gc.get_objects():
                if (type(obj) is list and obj and type(obj[0]) is str
                        and obj[0].startswith("tarvik safety check")):
                    entered.append(1)
                    if mode == "clear":
                        obj.clear()
                    elif mode == "reenter":
                        refused()
                    break
        if phase == "stop":
            keep.append([(object(),) for _ in range(2100)])
    tracemalloc.start(30)
    gc.set_threshold(1)
    gc.callbacks.append(callback)
    lists = [[] for _ in range(200)]
    try:
        print(refused())
    finally:
        gc.callbacks.remove(callback)
        gc.set_threshold(700)
    if mode == "late":  # the same nested call, once the outer one is over
        refused()
    del keep[:], lists
    gc.collect()
    # Blocks still held that were allocated during a call of the check.
    lines = range(refused.__code__.co_firstlineno, refused.__code__.co_firstlineno + 5)
    held = tracemalloc.take_snapshot().filter_traces([tracemalloc.Filter(True, "<string>")])
    print(sum(stat.count for stat in held.statistics("traceback")
              if any(frame.lineno in lines for frame in stat.traceback)))
"""


def run(script, *args):
    return subprocess.run([sys.executable, "-c", script, *args], cwd=ROOT, capture_output=True,
                          text=True, timeout=600)  # fmt: skip


@pytest.mark.parametrize("action", ["holder.clear()", "holder.extend([object()] * 1000)"])
@pytest.mark.parametrize("check", ["structure", "compute"])
def test_key_list_copy_survives_a_collection_that_changes_it(check, action):
    proc = run(KEY_LIST_SCRIPT.format(check=check, action=action))
    assert proc.returncode == 0, proc.stderr
    keys = ", ".join("k%02d" % i for i in range(30))
    if check == "compute":
        message = messages.compute_unsupported.format(keys, listed(COMPUTE_SWITCHES))
    else:
        message = messages.control_unsupported.format(keys)
    assert proc.stdout.startswith(message), proc.stdout


def test_message_pieces_survive_a_collection_that_empties_their_list():
    proc = run(PIECES_SCRIPT, "clear")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines()[0] == messages.predictor_not_dict


def test_message_pieces_made_twice_at_once_are_not_leaked():
    def held(mode):
        proc = run(PIECES_SCRIPT, mode)
        assert proc.returncode == 0, proc.stderr
        return int(proc.stdout.split()[-1])

    # Either way one set of pieces stays, cached.
    assert held("reenter") == held("late")
