"""Every outcome of both functions, called many times, keeps allocated blocks stable."""
import collections
import functools
import gc
import importlib
import os
import sys

import pytest

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

# name: (function, args, expected exception type or None, text in its message)
OUTCOMES = {
    "control ok": (ECS, (GOOD, G), None, ""),
    "compute ok": (ECP, (ctl(compute={"dic": True, "waic": 0, "cpo": 1}),), None, ""),
    "control type": (ECS, ({"control": []},), SAFETY, "'control' must be a dict"),
    "control keys": (ECS, ({"control": {"foo": 1, 2: 3}},), SAFETY, "'control': 2, foo."),
    "family type": (ECS, (ctl(family="gamma"),), SAFETY, "control['family'] must be"),
    "link gate": (ECS, (link("quantile"),), SAFETY, "only allowed for gamma"),
    "link type": (ECS, (ctl(predictor={"control_link": None}), G), SAFETY, "must be a dict."),
    "gammasurv model": (ECS, (link("x"), S), SAFETY, "allowed for gammasurv."),
    "quantile numeric": (ECS, (link("quantile", quantile="abc"), G), SAFETY, "must be numeric"),
    "quantile range": (ECS, (link("quantile", quantile=1.5), G), SAFETY, "must be in (0,1)"),
    "predictor keys": (ECS, (ctl(predictor={"foo": 1}),), SAFETY, "control['predictor']: foo."),
    "inla keys": (ECS, (ctl(inla={"zeta": 1}),), SAFETY, "found zeta."),
    "vb strategy": (ECS, (ctl(inla={"control_vb": {"strategy": 5}}),), SAFETY, "got '5'"),
    "choice text": (ECS, (ctl(inla={"strategy": BadText()}),), SAFETY, "must be a string."),
    "choice value": (ECS, (ctl(inla={"int.strategy": " Fast "}),), SAFETY, "got ' Fast '"),
    "compute type": (ECP, (ctl(compute=[]),), SAFETY, "must be a dict if provided"),
    "compute keys": (ECP, (ctl(compute={"zeta": 1, 3: 1, "dic": "x"}),), SAFETY, ": 3, zeta."),
    "compute value": (ECP, (ctl(compute={"dic": 2}),), SAFETY, "['dic'] must be boolean"),
    "binding": (ECS, ({}, (), 3), TypeError, "but 3 were given"),
    "kwargs type": (ECP, (None,), TypeError, "got NoneType)"),
    "kwargs subclass": (ECS, (collections.OrderedDict(),), TypeError, "not accepted"),
    "families type": (ECS, ({}, ["gamma"]), TypeError, "got list)"),
    "model missing": (ECS, (link(None), G), SAFETY, "['model'] must be specified."),
    "gamma model": (ECS, (link("log"), G), SAFETY, "allowed for gamma."),
    "quantile missing": (ECS, (link("quantile"), G), SAFETY, "must be provided when"),
    "predictor type": (ECS, (ctl(predictor=1),), SAFETY, "control['predictor'] must be a dict."),
    "predictor compute": (ECS, (ctl(predictor={"compute": 1}),), SAFETY, "must be True/False."),
    "inla type": (ECS, (ctl(inla=[]),), SAFETY, "control['inla'] must be a dict when"),
    "vb type": (ECS, (ctl(inla={"control_vb": "mean"}),), SAFETY, "['control_vb'] must be a dict."),
    "vb keys": (ECS, (ctl(inla={"control_vb": {"iter.max": 1}}),), SAFETY, "found iter.max."),
    "vb hessian": (ECS, (ctl(inla={"control_vb": {"hessian_strategy": "x"}}),), SAFETY, "got 'x'"),
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
    # The two conversion failures chain the caught error as the cause.
    chained = getattr(first, "__cause__", None) is not None
    assert chained == (name in ("quantile numeric", "choice text"))
    blocks = [blocks_after(func, args) for _ in range(4)]
    assert blocks[-1] - blocks[-2] < 50, blocks


def test_reimport_does_not_leak():
    def reimport(times):
        for _ in range(times):
            del sys.modules["tarvik.safety.control"]
            assert importlib.import_module("tarvik.safety.control") is control
        gc.collect()
        return sys.getallocatedblocks()

    blocks = [reimport(300) for _ in range(3)]
    assert blocks[-1] - blocks[-2] < 50, blocks
