"""Control structure validation."""

from typing import Any as Any, Dict as Dict, Tuple as Tuple

from .errors import SafetyError as SafetyError
from .family import (
    _normalize_family_spec as _normalize_family_spec,
    _normalize_link_value as _normalize_link_value,
)

def enforce_control_structure(
    kwargs: Dict[str, Any], families: Tuple[str, ...] = ()
) -> None:
    """Allow only ``family`` and ``predictor`` keys in control, and constrain predictor."""

def enforce_compute_section(kwargs: Dict[str, Any]) -> None: ...
