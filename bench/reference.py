"""Pure-Python model of ``tarvik.safety.control``.

The same two checks, written as plain Python so that each rule reads as one
statement. The benchmark measures the native module against this code, and
the property tests use it as the oracle: for every input, both must return
``None`` or raise the same exception with the same message.
"""

from typing import Any, Dict, Tuple  # noqa: F401  (named in the annotations)

import messages
from tarvik.safety.errors import SafetyError

_HEAPTYPE = 1 << 9  # Py_TPFLAGS_HEAPTYPE
_IMMUTABLETYPE = 1 << 8  # Py_TPFLAGS_IMMUTABLETYPE

# The keys each section accepts and the choices of each setting, as the
# C++ tables hold them (tests/test_sources.py compares them).
TOP_LEVEL_KEYS = frozenset({
    "family", "predictor", "inla", "compute", "fixed", "mode", "expert", "hazard",
    "lincomb", "update", "lp_scale", "pardiso", "stiles", "taucs", "numa",
    "only_hyperparam",
})  # fmt: skip
PREDICTOR_KEYS = frozenset({"compute", "link"})
LINK_KEYS = frozenset({"control.link", "control_link"})
INLA_KEYS = frozenset({"strategy", "int.strategy", "int_strategy", "control_vb", "adaptive_max"})
CONTROL_VB_KEYS = frozenset({
    "strategy", "hessian_strategy", "enable", "iter_max", "hessian_update",
    "verbose", "f_enable_limit", "emergency",
})  # fmt: skip
STRATEGIES = frozenset({"auto", "gaussian", "simplified.laplace", "laplace", "adaptive"})
INT_STRATEGIES = frozenset({"auto", "ccd", "grid", "eb", "user", "user.std"})
COMPUTE_SWITCHES = frozenset({
    "config", "dic", "cpo", "mlik", "return_marginals", "return_marginals_predictor",
    "waic", "po",
})  # fmt: skip
VB_STRATEGIES = ("mean", "variance")
VB_HESSIAN_STRATEGIES = ("default", "full", "partial", "diagonal")
# The link models of a gammasurv family; the first two need no quantile.
GAMMASURV_MODELS = ("log", "neglog", "quantile")
UNQUANTILED_MODELS = ("log", "neglog")


def _type_name(tp):
    # The C-level tp_name: a class statement gives just the class name, a
    # type of an extension module carries its module, whether static
    # (collections.OrderedDict) or made from a spec, immutable
    # (collections.defaultdict from CPython 3.13 on).
    mutable_heap_type = tp.__flags__ & _HEAPTYPE and not tp.__flags__ & _IMMUTABLETYPE
    if mutable_heap_type or tp.__module__ == "builtins":
        return tp.__name__
    return "{}.{}".format(tp.__module__, tp.__name__)


def _check_argument(name, value, expected):
    if type(value) is expected:
        return
    note = ""
    if issubclass(type(value), expected):
        note = ". Subclasses of built-in types are not accepted."
    raise TypeError(
        "Argument '{}' has incorrect type (expected {}, got {}){}".format(
            name[:200], expected.__name__[:200], _type_name(type(value))[:200], note
        )
    )


def _join_keys(keys):
    # Keys are expected to be strings; any other key is shown by its repr so
    # that the message can always be built and sorted. The texts are sorted
    # as plain strs, by code point, whatever a str subclass says of itself.
    texts = [key if issubclass(type(key), str) else repr(key) for key in keys]
    return ", ".join(sorted(str.__str__(text) for text in texts))


def enforce_control_structure(
    kwargs: "Dict[str, Any]", families: "Tuple[str, ...]" = ()
) -> "None":
    """Allow only ``family`` and ``predictor`` keys in control, and constrain predictor."""
    _check_argument("kwargs", kwargs, dict)
    _check_argument("families", families, tuple)

    def _validate_control_link(block: "Dict[str, Any]") -> "None":
        if not any(family == "gamma" or family == "gammasurv" for family in families):
            raise SafetyError(messages.link_family)
        if not isinstance(block, dict):
            raise SafetyError(messages.link_not_dict)
        model = block.get("model")
        if model is None:
            raise SafetyError(messages.link_model_missing)
        model_norm = str(model).strip().lower()
        is_survival = any(family == "gammasurv" for family in families)
        if is_survival:
            if model_norm not in GAMMASURV_MODELS:
                raise SafetyError(messages.link_model_gammasurv)
            if model_norm in UNQUANTILED_MODELS:
                return None
        elif model_norm != "quantile":
            raise SafetyError(messages.link_model_gamma)
        quantile = block.get("quantile")
        if quantile is None:
            raise SafetyError(messages.link_quantile_missing)
        try:
            q = float(quantile)
        except Exception as exc:
            raise SafetyError(messages.link_quantile_not_numeric) from exc
        if not (0.0 < q < 1.0):
            raise SafetyError(messages.link_quantile_range)
        return None

    def _normalize_choice(name: "str", value: "Any", allowed: "frozenset[str]") -> "None":
        try:
            normalized = str(value).strip().lower().replace("_", ".")
        except Exception as exc:
            raise SafetyError(messages.choice_not_text.format(name)) from exc
        if normalized not in allowed:
            raise SafetyError(
                messages.choice_refused.format(name, messages.listed(allowed), value)
            )
        return None

    control = kwargs.get("control")
    if control is None:
        return None
    if not isinstance(control, dict):
        raise SafetyError(messages.control_not_dict)
    extra = set(control.keys()) - TOP_LEVEL_KEYS
    if extra:
        raise SafetyError(messages.control_unsupported.format(_join_keys(extra)))

    family_block = control.get("family")
    if family_block is not None and not isinstance(family_block, (dict, list)):
        raise SafetyError(messages.family_not_dict)
    if isinstance(family_block, dict):
        link_conf = family_block.get("control.link") or family_block.get("control_link")
        if link_conf is not None:
            _validate_control_link(link_conf)

    predictor_block = control.get("predictor")
    if predictor_block is not None:
        if not isinstance(predictor_block, dict):
            raise SafetyError(messages.predictor_not_dict)
        allowed_predictor = PREDICTOR_KEYS
        if "control.link" in predictor_block or "control_link" in predictor_block:
            link_conf = predictor_block.get("control.link") or predictor_block.get("control_link")
            _validate_control_link(link_conf)
            allowed_predictor = PREDICTOR_KEYS | LINK_KEYS
        extra_pred = set(predictor_block.keys()) - allowed_predictor
        if extra_pred:
            raise SafetyError(messages.predictor_unsupported.format(_join_keys(extra_pred)))
        if "compute" in predictor_block and not isinstance(predictor_block["compute"], bool):
            raise SafetyError(messages.predictor_compute_not_bool)

    inla_block = control.get("inla")
    if inla_block is None:
        return None
    if not isinstance(inla_block, dict):
        raise SafetyError(messages.inla_not_dict)
    extra_inla = set(inla_block.keys()) - INLA_KEYS
    if extra_inla:
        raise SafetyError(
            messages.inla_unsupported.format(messages.listed(INLA_KEYS), _join_keys(extra_inla))
        )

    control_vb = inla_block.get("control_vb")
    if control_vb is not None:
        if not isinstance(control_vb, dict):
            raise SafetyError(messages.vb_not_dict)
        extra_vb = set(control_vb.keys()) - CONTROL_VB_KEYS
        if extra_vb:
            allowed = messages.listed(CONTROL_VB_KEYS)
            raise SafetyError(messages.vb_unsupported.format(allowed, _join_keys(extra_vb)))
        vb_strategy = control_vb.get("strategy")
        if vb_strategy is not None:
            vb_strategy_str = str(vb_strategy).strip().lower()
            if vb_strategy_str not in VB_STRATEGIES:
                raise SafetyError(messages.vb_strategy_refused.format(vb_strategy))
        vb_hessian = control_vb.get("hessian_strategy")
        if vb_hessian is not None:
            vb_hessian_str = str(vb_hessian).strip().lower()
            if vb_hessian_str not in VB_HESSIAN_STRATEGIES:
                raise SafetyError(messages.vb_hessian_refused.format(vb_hessian))

    strategy_val = inla_block.get("strategy")
    if strategy_val is not None:
        _normalize_choice("strategy", strategy_val, STRATEGIES)
    int_strategy_val = inla_block.get("int.strategy")
    if int_strategy_val is None and "int_strategy" in inla_block:
        int_strategy_val = inla_block.get("int_strategy")
    if int_strategy_val is not None:
        _normalize_choice("int.strategy", int_strategy_val, INT_STRATEGIES)
    return None


def enforce_compute_section(kwargs: "Dict[str, Any]") -> "None":
    _check_argument("kwargs", kwargs, dict)
    control = kwargs.get("control") or {}
    if not isinstance(control, dict):
        return None
    compute = control.get("compute")
    if compute is None:
        return None
    if not isinstance(compute, dict):
        raise SafetyError(messages.compute_not_dict)
    extra = set(compute.keys()) - COMPUTE_SWITCHES
    if extra:
        allowed = messages.listed(COMPUTE_SWITCHES)
        raise SafetyError(messages.compute_unsupported.format(_join_keys(extra), allowed))
    for key in COMPUTE_SWITCHES.intersection(compute.keys()):
        val = compute[key]
        if isinstance(val, bool):
            continue
        if isinstance(val, int) and (val == 0 or val == 1):
            continue
        raise SafetyError(messages.compute_not_bool.format(key))
    return None
