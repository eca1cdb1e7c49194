# The module's namespace, as Python writes it. setup.py compiles this when
# the module is built (CPython 3.11's compiler can crash when it runs out of
# memory, and an import must not), and the module's initialisation runs it
# in the module's namespace: so the import hook, the module table, the
# ImportError of a missing name and the submodule fallback are the
# interpreter's own. Each function it defines stands behind the native one
# that then takes its name: its attributes are the native one's, and a call
# made with keywords, or with fewer arguments, is bound by running it, so
# that binding, defaults and a wrong call's error are a Python function's.
from typing import Any, Dict, Tuple
from .errors import SafetyError
from .family import _normalize_family_spec, _normalize_link_value


def enforce_control_structure(
    kwargs: "Dict[str, Any]", families: "Tuple[str, ...]" = ()
) -> "None":
    """Allow only ``family`` and ``predictor`` keys in control, and constrain predictor."""
    return kwargs, families


def enforce_compute_section(kwargs: "Dict[str, Any]") -> "None":
    return (kwargs,)
