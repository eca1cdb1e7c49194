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

