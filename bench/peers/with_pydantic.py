"""The checks written with pydantic v2: the keyword arguments of a fitting
call as a TypedDict, one for each section (pydantic's documentation
recommends them over nested models where speed matters), extra keys
forbidden where the module refuses them, Literal types for the choices, and
validators for what types do not say: the normal form of a choice, and the
link configuration judged against the families, which come in the
validation context.

A refusal is pydantic's ValidationError, raised again as SafetyError with
its text.
"""

from typing import Annotated, Any, Literal, Optional, Union

from pydantic import (AfterValidator, BeforeValidator, ConfigDict, Field, TypeAdapter, ValidationError,
                      ValidationInfo, with_config)
from typing_extensions import Required, TypedDict

from peers import rules
from tarvik.safety.errors import SafetyError

# A section is a dict, not any mapping (strict), and refuses other keys, or
# passes them over (a section inherits the configuration of the one that
# holds it unless it has its own).
closed = with_config(ConfigDict(extra="forbid", strict=True))
open_ = with_config(ConfigDict(extra="ignore", strict=True))
# A control_vb choice or a link model, compared in this form.
Text = BeforeValidator(lambda value: value if value is None else rules.text(value))


def for_the_families(config: dict, info: ValidationInfo) -> dict:
    rules.link_model(config["model"], config.get("quantile"), "gammasurv" in info.context["families"])
    return config


LinkConfig = open_(TypedDict("LinkConfig", {
    "model": Required[Annotated[str, Text]],
    "quantile": Any,
}, total=False))  # fmt: skip
LINK_CONFIG = TypeAdapter(Annotated[LinkConfig, AfterValidator(for_the_families)])


def check_link(config: Any, info: ValidationInfo) -> None:
    rules.gate(info.context["families"])
    LINK_CONFIG.validate_python(config, context=info.context)


def family_link(family: dict, info: ValidationInfo) -> dict:
    # The first of control.link and control_link that is not empty.
    config = family.get("control.link") or family.get("control_link")
    if config is not None:
        check_link(config, info)
    return family


def predictor_link(predictor: dict, info: ValidationInfo) -> dict:
    # Either key present: the first that is not empty is judged, even None.
    if "control.link" in predictor or "control_link" in predictor:
        check_link(predictor.get("control.link") or predictor.get("control_link"), info)
    return predictor


# A family block's other keys are not examined.
Family = open_(TypedDict("Family", {"control.link": Any, "control_link": Any}, total=False))
Predictor = closed(TypedDict("Predictor", {
    "compute": bool, "link": Any, "control.link": Any, "control_link": Any,
}, total=False))  # fmt: skip


def strategy_choice(name: str) -> BeforeValidator:
    return BeforeValidator(lambda value: rules.strategy_form(value, name))


@closed
class ControlVb(TypedDict, total=False):
    strategy: Annotated[Optional[Literal["mean", "variance"]], Text]
    hessian_strategy: Annotated[Optional[Literal["default", "full", "partial", "diagonal"]], Text]
    emergency: Any
    enable: Any
    f_enable_limit: Any
    hessian_update: Any
    iter_max: Any
    verbose: Any


Inla = closed(TypedDict("Inla", {
    "strategy": Annotated[Optional[Literal["adaptive", "auto", "gaussian", "laplace", "simplified.laplace"]],
                          strategy_choice("strategy")],
    "int.strategy": Annotated[Optional[Literal["auto", "ccd", "eb", "grid", "user", "user.std"]],
                              strategy_choice("int.strategy")],
    "int_strategy": Any,
    "adaptive_max": Any,
    "control_vb": Optional[ControlVb],
}, total=False))  # fmt: skip


def int_strategy_stands_in(inla: Any) -> Any:
    # int_strategy is judged as int.strategy when that is missing or None.
    if isinstance(inla, dict) and inla.get("int.strategy") is None and inla.get("int_strategy") is not None:
        return {**inla, "int.strategy": inla["int_strategy"]}
    return inla


@closed
class Control(TypedDict, total=False):
    family: Optional[Union[Annotated[Family, AfterValidator(family_link)], list]]
    predictor: Optional[Annotated[Predictor, AfterValidator(predictor_link)]]
    inla: Annotated[Optional[Inla], BeforeValidator(int_strategy_stands_in)]
    # The sections the module passes through unexamined (compute is the
    # other check's).
    compute: Any
    expert: Any
    fixed: Any
    hazard: Any
    lincomb: Any
    lp_scale: Any
    mode: Any
    numa: Any
    only_hyperparam: Any
    pardiso: Any
    stiles: Any
    taucs: Any
    update: Any


class FitCall(TypedDict, total=False):
    """The keyword arguments of a fitting call; only control is examined."""

    control: Optional[Control]


Switch = Union[bool, Annotated[int, Field(ge=0, le=1)]]


@closed
class Compute(TypedDict, total=False):
    config: Switch
    cpo: Switch
    dic: Switch
    mlik: Switch
    po: Switch
    return_marginals: Switch
    return_marginals_predictor: Switch
    waic: Switch


class ComputeControl(TypedDict, total=False):
    compute: Optional[Compute]


def dict_or_none(value: Any) -> Any:
    # The compute check passes over a control that is not a dict: the other
    # check refuses it.
    return value if isinstance(value, dict) else None


class ComputeCall(TypedDict, total=False):
    control: Annotated[Optional[ComputeControl], BeforeValidator(dict_or_none)]


STRUCTURE, COMPUTE = TypeAdapter(FitCall), TypeAdapter(ComputeCall)


def enforce_control_structure(kwargs: Any, families: Any = ()) -> None:
    try:
        STRUCTURE.validate_python(kwargs, context={"families": families})
    except ValidationError as exc:
        raise SafetyError(str(exc)) from exc


def enforce_compute_section(kwargs: Any) -> None:
    try:
        COMPUTE.validate_python(kwargs)
    except ValidationError as exc:
        raise SafetyError(str(exc)) from exc
