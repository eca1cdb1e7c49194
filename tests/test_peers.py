"""The peers of the benchmark (bench/peers/) accept and refuse what the module
does, on every workload and on the calls of the module's own case tables;
the calls a peer cannot judge as the module does are named below, and stay
those. Messages are not compared: each peer has its own. Skipped when the
peers are not installed (`make bench-peers` installs them)."""

import re
from types import MappingProxyType

import pytest

for _name in ("pydantic", "msgspec", "fastjsonschema", "jsonschema"):
    pytest.importorskip(_name)

import peers  # noqa: E402
import test_compute  # noqa: E402
import test_control_structure as structure  # noqa: E402
import workloads  # noqa: E402

from tarvik.safety import control  # noqa: E402
from tarvik.safety.errors import SafetyError  # noqa: E402

G = ("gamma",)


def calls():
    """name: (kwargs, families). A table's call is named by its control and
    families, as they print."""
    found = {}

    def add(kwargs, families=(), name=None):
        name = name or re.sub(r" at 0x\w+", "", "{!r} {!r}".format(kwargs.get("control"), families))
        found[name if name not in found else name + " #{}".format(len(found))] = (kwargs, families)

    for workload in workloads.ACCEPTED + workloads.REFUSED:
        add(workload.kwargs, workload.families, workload.name)
    for section, families, _ in structure.CONTROL_CASES:
        add({"control": section}, families)
    for families, config, _ in structure.LINK_CASES:
        for where in ("family", "predictor"):
            add({"control": {where: {"control_link": config}}}, families)
    for quantile, _ in structure.QUANTILE_CASES:
        add({"control": {"predictor": {"control_link": {"model": "quantile", "quantile": quantile}}}}, G)
    for inla, _ in structure.INLA_CASES:
        add({"control": {"inla": inla, "predictor": {}, "family": []}}, G)
    for setting, choices in structure.CHOICES.items():
        for spelling in structure.SPELLINGS.values():
            for choice in choices:
                add({"control": structure.choice_call(setting, spelling(choice))})
                add({"control": structure.choice_call(setting, spelling(choice) + "s")})
    for kwargs in test_compute.ACCEPTED_KWARGS:
        add(kwargs)
    for compute, _ in test_compute.REFUSED_COMPUTE:
        add({"control": {"compute": compute}})
    # Beyond the tables: a family block's other keys are not examined, and a
    # section must be a dict, not any mapping.
    add({"control": {"family": {1: "x"}}})
    add({"control": {"predictor": MappingProxyType({})}})
    return found


CALLS = calls()


def outcome(func, *args):
    try:
        func(*args)
    except SafetyError:
        return "refused"
    except Exception as exc:  # the caller's own, passed through
        return type(exc).__name__
    return "accepted"


# The calls each peer judges otherwise than the module, by check (the
# README's Speed section says why).
TUPLE_FAMILY = "{'family': ('a',)} ()"  # a JSON array or msgspec's list, not a section
FLOAT_SWITCHES = {"{'compute': {'dic': 1.0}} ()", "{'compute': {'dic': 0.0}} ()"}  # JSON's 1 and 0
DISAGREEMENTS = {
    "pydantic": {"structure": set(), "compute": set()},
    "msgspec": {"structure": {TUPLE_FAMILY, "{'family': {'a'}} ()", "{'family': {1: 'x'}} ()",
                              "{'predictor': mappingproxy({})} ()"},
                "compute": set()},
    "fastjsonschema": {"structure": {TUPLE_FAMILY}, "compute": FLOAT_SWITCHES},
    "jsonschema": {"structure": set(), "compute": FLOAT_SWITCHES},
}  # fmt: skip


@pytest.mark.parametrize("check", ["structure", "compute"])
@pytest.mark.parametrize("peer", peers.load(), ids=lambda peer: peer.name)
def test_peer_accepts_and_refuses_as_the_module(peer, check):
    differ = {}
    for name, (kwargs, families) in CALLS.items():
        if check == "structure":
            pair = [outcome(f, kwargs, families) for f in (control.enforce_control_structure,
                                                           peer.enforce_control_structure)]  # fmt: skip
        else:
            pair = [outcome(f, kwargs) for f in (control.enforce_compute_section, peer.enforce_compute_section)]
        if pair[0] != pair[1]:
            differ[name] = pair
    assert set(differ) == DISAGREEMENTS[peer.name][check], differ
