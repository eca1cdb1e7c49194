"""Rules and messages of enforce_compute_section."""

import enum
import sys
from pathlib import Path

import pytest

from tarvik.safety.control import enforce_compute_section
from tarvik.safety.errors import SafetyError

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
import messages  # noqa: E402
from reference import COMPUTE_SWITCHES  # noqa: E402

NOT_DICT = messages.compute_not_dict
SWITCHES = sorted(COMPUTE_SWITCHES)
ALLOWED = ", ".join(SWITCHES)


def unsupported(keys):
    return messages.compute_unsupported.format(keys, ALLOWED)


not_bool = messages.compute_not_bool.format


class Flag(enum.IntEnum):
    OFF = 0
    ON = 1


ACCEPTED_KWARGS = [
    {},
    *({"control": c} for c in (None, {}, [], 0, False, "", "x", [1], 3, True)),
    {"control": {"fixed": 1}},
    {"control": {"compute": None}},
    {"control": {"compute": {}}},
    {"control": {"compute": {"dic": True, "waic": 0, "cpo": 1, "po": False}}},
    {"control": {"compute": dict.fromkeys(SWITCHES, 1)}},
    {"control": {"compute": {"dic": Flag.ON, "cpo": Flag.OFF}}},
    {"other": [1], "control": {"compute": {"mlik": False}, "junk": 1}},
]


@pytest.mark.parametrize("kwargs", ACCEPTED_KWARGS)
def test_accepted_and_unchanged(kwargs):
    before = repr(kwargs)  # repr tells 1 from True, so a rewrite would show
    assert enforce_compute_section(kwargs) is None
    assert repr(kwargs) == before


REFUSED_COMPUTE = [
    *((c, NOT_DICT) for c in (False, 0, [], "", ["dic"], "dic", 1.5, set())),
    ({"DIC": True}, unsupported("DIC")),
    ({"dic ": True}, unsupported("dic ")),
    ({"waic": True, "zeta": 1, "alpha": 1}, unsupported("alpha, zeta")),
    ({"b": 1, "B": 1, "_": 1}, unsupported("B, _, b")),
    # Values are not looked at before the keys pass.
    ({"zeta": True, "dic": "x"}, unsupported("zeta")),
    # Non-string keys appear by their repr, sorted with the string keys.
    ({1: True, "a": 1}, unsupported("1, a")),
    ({"b": 1, (1, "x"): 1, None: 1, "dic": 1}, unsupported("(1, 'x'), None, b")),
    ({"'z'": 1, b"y": 1}, unsupported("'z', b'y'")),
    ({1: 1, "1": 1}, unsupported("1, 1")),
    *(
        ({"dic": v}, not_bool("dic"))
        for v in (2, -1, 1.0, 0.0, "1", "True", None, [], 1j)
    ),
    ({"return_marginals_predictor": 10**100}, not_bool("return_marginals_predictor")),
]


@pytest.mark.parametrize("compute, message", REFUSED_COMPUTE)
def test_refused(compute, message):
    kwargs = {"control": {"compute": compute}}
    before = repr(kwargs)
    with pytest.raises(SafetyError) as info:
        enforce_compute_section(kwargs)
    assert str(info.value) == message
    assert info.value.__cause__ is None
    assert repr(kwargs) == before


def test_two_bad_switches_raise_one_error_naming_either():
    with pytest.raises(SafetyError) as info:
        enforce_compute_section({"control": {"compute": {"dic": 2, "cpo": "x"}}})
    assert str(info.value) in (not_bool("dic"), not_bool("cpo"))


class Recording(dict):
    """Dict subclass that logs reads, to show they go through its own methods."""

    def __init__(self, *args, **kw):
        super().__init__(*args, **kw)
        self.calls = []

    def get(self, key, default=None):
        self.calls.append(("get", key))
        return super().get(key, default)

    def keys(self):
        self.calls.append(("keys",))
        return super().keys()

    def __getitem__(self, key):
        self.calls.append(("getitem", key))
        return super().__getitem__(key)


def test_subclasses_are_read_through_their_own_methods():
    compute = Recording(dic=Flag.ON)
    control = Recording(compute=compute)
    assert enforce_compute_section({"control": control}) is None
    assert control.calls == [("get", "compute")]
    assert compute.calls == [("keys",), ("keys",), ("getitem", "dic")]
    assert compute == {"dic": Flag.ON}
