"""Every outcome of both functions, called many times, keeps allocated blocks stable."""
import collections
import functools
import gc
import importlib
import os
import re
import sys

import messages
import pytest
from messages import listed
import workloads
from reference import COMPUTE_SWITCHES, CONTROL_VB_KEYS, INLA_KEYS, INT_STRATEGIES

from tarvik.safety import control

pytestmark = pytest.mark.skipif(
    os.environ.get("PYTHONMALLOC", "").startswith("malloc")
    or bool(os.environ.get("TARVIK_SANITIZE")),
    reason="allocated blocks are only counted by pymalloc")

ECS, ECP = control.enforce_control_structure, control.enforce_compute_section
SAFETY = control.SafetyError
G, S = ("gamma",), ("gammasurv",)


class Boom(Exception):
    pass


class ExplodingGet(dict):
    def get(self, key, default=None):
        raise Boom("get")


class BadText:
    def __str__(self):
        raise Boom("str")

    __repr__ = __str__


def ctl(**sections):
    return {"control": sections}


def link(model, **extra):
    return ctl(family={"control.link": {"model": model, **extra}})


GOOD = ctl(family={"control.link": {"model": " Quantile ", "quantile": "0.5"}},
           predictor={"compute": True, "link": 1}, fixed=1,
           inla={"strategy": " Laplace ", "int_strategy": "user_std",
                 "control_vb": {"strategy": "Mean", "hessian_strategy": "full"}})

# name: (function, args, expected exception type or None, its message or a text in it)
OUTCOMES = {
    "control ok": (ECS, (GOOD, G), None, ""),
    "compute ok": (ECP, (ctl(compute={"dic": True, "waic": 0, "cpo": 1}),), None, ""),
    "control type": (ECS, ({"control": []},), SAFETY, messages.control_not_dict),
    "control keys": (ECS, ({"control": {"foo": 1, 2: 3}},), SAFETY,
                     messages.control_unsupported.format("2, foo")),
    "family type": (ECS, (ctl(family="gamma"),), SAFETY, messages.family_not_dict),
    "link gate": (ECS, (link("quantile"),), SAFETY, messages.link_family),
    "link type": (ECS, (ctl(predictor={"control_link": None}), G), SAFETY, messages.link_not_dict),
    "gammasurv model": (ECS, (link("x"), S), SAFETY, messages.link_model_gammasurv),
    "quantile numeric": (ECS, (link("quantile", quantile="abc"), G), SAFETY,
                         messages.link_quantile_not_numeric),
    "quantile range": (ECS, (link("quantile", quantile=1.5), G), SAFETY, messages.link_quantile_range),
    "predictor keys": (ECS, (ctl(predictor={"foo": 1}),), SAFETY,
                       messages.predictor_unsupported.format("foo")),
    "inla keys": (ECS, (ctl(inla={"zeta": 1}),), SAFETY,
                  messages.inla_unsupported.format(listed(INLA_KEYS), "zeta")),
    "vb strategy": (ECS, (ctl(inla={"control_vb": {"strategy": 5}}),), SAFETY,
                    messages.vb_strategy_refused.format(5)),
    "choice text": (ECS, (ctl(inla={"strategy": BadText()}),), SAFETY,
                    messages.choice_not_text.format("strategy")),
    "choice value": (ECS, (ctl(inla={"int.strategy": " Fast "}),), SAFETY,
                     messages.choice_refused.format("int.strategy", listed(INT_STRATEGIES), " Fast ")),
    "compute type": (ECP, (ctl(compute=[]),), SAFETY, messages.compute_not_dict),
    "compute keys": (ECP, (ctl(compute={"zeta": 1, 3: 1, "dic": "x"}),), SAFETY,
                     messages.compute_unsupported.format("3, zeta", listed(COMPUTE_SWITCHES))),
    "compute value": (ECP, (ctl(compute={"dic": 2}),), SAFETY,
                      messages.compute_not_bool.format("dic")),
    "binding": (ECS, ({}, (), 3), TypeError, "but 3 were given"),
    "kwargs type": (ECP, (None,), TypeError, "got NoneType)"),
    "kwargs subclass": (ECS, (collections.OrderedDict(),), TypeError, "not accepted"),
    "families type": (ECS, ({}, ["gamma"]), TypeError, "got list)"),
    "model missing": (ECS, (link(None), G), SAFETY, messages.link_model_missing),
    "gamma model": (ECS, (link("log"), G), SAFETY, messages.link_model_gamma),
    "quantile missing": (ECS, (link("quantile"), G), SAFETY, messages.link_quantile_missing),
    "predictor type": (ECS, (ctl(predictor=1),), SAFETY, messages.predictor_not_dict),
    "predictor compute": (ECS, (ctl(predictor={"compute": 1}),), SAFETY,
                          messages.predictor_compute_not_bool),
    "inla type": (ECS, (ctl(inla=[]),), SAFETY, messages.inla_not_dict),
    "vb type": (ECS, (ctl(inla={"control_vb": "mean"}),), SAFETY, messages.vb_not_dict),
    "vb keys": (ECS, (ctl(inla={"control_vb": {"iter.max": 1}}),), SAFETY,
                messages.vb_unsupported.format(listed(CONTROL_VB_KEYS), "iter.max")),
    "vb hessian": (ECS, (ctl(inla={"control_vb": {"hessian_strategy": "x"}}),), SAFETY,
                   messages.vb_hessian_refused.format("x")),
    # accepted through the str methods: non-ASCII, and past any fixed buffer
    "slow text ok": (ECS, (ctl(inla={"strategy": "\u2003Laplace", "int_strategy": " " * 99 + "ccd"}),),
                     None, ""),
    "missing argument": (ECP, (), TypeError, "missing 1 required positional argument"),
    "unexpected keyword": (functools.partial(ECS, {}, x=1), (), TypeError, "keyword argument 'x'"),
    "multiple values": (functools.partial(ECS, {}, kwargs={}), (), TypeError, "multiple values"),
    "caller get raises": (ECS, ({"control": ExplodingGet(family=1)},), Boom, "get"),
    "caller str raises": (ECS, (link(BadText()), G), Boom, "str"),
    "caller repr raises": (ECP, (ctl(compute={BadText(): 1}),), Boom, "str"),
}


def workload_outcomes():
    """The benchmark's workloads, as outcomes: each message once (the README
    test sees to it), so that a new message needs no outcome of its own."""
    for workload in workloads.ACCEPTED + workloads.REFUSED:
        for check, func in (("structure", ECS), ("compute", ECP)):
            message = workload.expected.get(check)
            if message or not workload.expected:
                args = (workload.kwargs, workload.families) if func is ECS else (workload.kwargs,)
                yield f"{workload.name} ({check})", (func, args, message and SAFETY, message or "")


OUTCOMES.update(workload_outcomes())
# The refusals that replace a failed conversion, chaining its error as the cause.
CHAINED = [re.compile("(.*)".join(map(re.escape, template.split("{}"))), re.S)
           for template in (messages.link_quantile_not_numeric, messages.choice_not_text)]


def outcome(func, args):
    try:
        return func(*args)
    except Exception as exc:
        return exc


def blocks_after(func, args, calls=2000):
    for _ in range(calls):
        outcome(func, args)
    gc.collect()
    return sys.getallocatedblocks()


@pytest.mark.parametrize("name", OUTCOMES)
def test_outcome_does_not_leak(name):
    func, args, expected, text = OUTCOMES[name]
    first = outcome(func, args)
    assert type(first) is (expected or type(None)) and text in str(first), repr(first)
    chained = getattr(first, "__cause__", None) is not None
    assert chained == (expected is SAFETY and any(p.fullmatch(text) for p in CHAINED))
    blocks = [blocks_after(func, args) for _ in range(4)]
    assert blocks[-1] - blocks[-2] < 50, blocks


# The interpreter's own caches grow by tens of blocks in the first rounds of
# re-imports and by a few after; a leak grows with every import. A round's
# growth under a third of its imports in the quietest round passes the noise
# and fails a module that leaks one block per import.
def test_reimport_does_not_leak():
    imports = 300

    def reimport():
        for _ in range(imports):
            del sys.modules["tarvik.safety.control"]
            assert importlib.import_module("tarvik.safety.control") is control
        gc.collect()
        return sys.getallocatedblocks()

    blocks = [reimport() for _ in range(5)]
    growth = [after - before for before, after in zip(blocks, blocks[1:])]
    assert min(growth) < imports // 3, growth
