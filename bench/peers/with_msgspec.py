"""The checks written with msgspec: Structs converted from the caller's dicts
(msgspec.convert), unknown fields forbidden where the module refuses them,
and __post_init__ for what types do not say (the normal form of a choice,
the link configuration).

msgspec passes no context to a conversion, so the families choose the
schema: one for a model without a gamma likelihood (every link configuration
refused), one for gamma and one for gammasurv, each made once. It has no hook
before a type is checked either, so the compute check takes
control['compute'] by hand when control is a dict.

A refusal is msgspec's ValidationError, raised again as SafetyError with its
text.
"""

from typing import Any, Literal, Optional, Type, Union

import messages
import msgspec
from msgspec import UNSET, Struct, ValidationError, field
from reference import INT_STRATEGIES, STRATEGIES, VB_HESSIAN_STRATEGIES, VB_STRATEGIES

from peers import rules
from tarvik.safety.errors import SafetyError


class GammaLink(Struct):
    """A link configuration of a gamma model; other fields are not examined."""

    model: str
    quantile: Any = None

    def __post_init__(self) -> None:
        rules.link_model(rules.text(self.model), self.quantile, survival=False)


class GammasurvLink(GammaLink):
    def __post_init__(self) -> None:
        rules.link_model(rules.text(self.model), self.quantile, survival=True)


class ControlVb(Struct, forbid_unknown_fields=True):
    strategy: Optional[str] = None
    hessian_strategy: Optional[str] = None
    emergency: Any = None
    enable: Any = None
    f_enable_limit: Any = None
    hessian_update: Any = None
    iter_max: Any = None
    verbose: Any = None

    def __post_init__(self) -> None:
        rules.vb_choice(self.strategy, VB_STRATEGIES, messages.vb_strategy_refused)
        rules.vb_choice(self.hessian_strategy, VB_HESSIAN_STRATEGIES, messages.vb_hessian_refused)


class Inla(Struct, forbid_unknown_fields=True):
    strategy: Optional[str] = None
    int_strategy_dotted: Optional[str] = field(default=None, name="int.strategy")
    int_strategy: Any = None  # judged as int.strategy when that is None
    adaptive_max: Any = None
    control_vb: Optional[ControlVb] = None

    def __post_init__(self) -> None:
        rules.choice(self.strategy, "strategy", STRATEGIES)
        integration = self.int_strategy_dotted
        rules.choice(self.int_strategy if integration is None else integration, "int.strategy", INT_STRATEGIES)


def schema(link: Optional[Type[GammaLink]]) -> Type[Struct]:
    """The keyword arguments of a fitting call, for models whose link
    configurations are `link` (None: refused)."""

    def check_link(config: Any) -> None:
        if link is None:
            raise SafetyError(messages.link_family)
        msgspec.convert(config, link)

    class Family(Struct):
        """Only the link configuration is examined: the first of
        control.link and control_link that is not empty."""

        dotted_link: Any = field(default=None, name="control.link")
        control_link: Any = None

        def __post_init__(self) -> None:
            config = self.dotted_link or self.control_link
            if config is not None:
                check_link(config)

    class Predictor(Struct, forbid_unknown_fields=True):
        compute: bool = False
        link: Any = None
        dotted_link: Any = field(default=UNSET, name="control.link")
        control_link: Any = UNSET

        def __post_init__(self) -> None:
            # Either key present: the first that is not empty is judged, even None.
            if self.dotted_link is not UNSET or self.control_link is not UNSET:
                dotted = None if self.dotted_link is UNSET else self.dotted_link
                check_link(dotted or (None if self.control_link is UNSET else self.control_link))

    class Control(Struct, forbid_unknown_fields=True):
        family: Union[Family, list, None] = None
        predictor: Optional[Predictor] = None
        inla: Optional[Inla] = None
        # The sections the module passes through unexamined (compute is the
        # other check's).
        compute: Any = None
        expert: Any = None
        fixed: Any = None
        hazard: Any = None
        lincomb: Any = None
        lp_scale: Any = None
        mode: Any = None
        numa: Any = None
        only_hyperparam: Any = None
        pardiso: Any = None
        stiles: Any = None
        taucs: Any = None
        update: Any = None

    class FitCall(Struct):
        control: Optional[Control] = None

    return FitCall


WITHOUT_LINK, GAMMA, GAMMASURV = schema(None), schema(GammaLink), schema(GammasurvLink)

Switch = Union[bool, Literal[0, 1]]


class Compute(Struct, forbid_unknown_fields=True):
    config: Switch = False
    cpo: Switch = False
    dic: Switch = False
    mlik: Switch = False
    po: Switch = False
    return_marginals: Switch = False
    return_marginals_predictor: Switch = False
    waic: Switch = False


def enforce_control_structure(kwargs: Any, families: Any = ()) -> None:
    call = GAMMASURV if "gammasurv" in families else GAMMA if "gamma" in families else WITHOUT_LINK
    try:
        msgspec.convert(kwargs, call)
    except ValidationError as exc:
        raise SafetyError(str(exc)) from exc


def enforce_compute_section(kwargs: Any) -> None:
    control = kwargs.get("control")
    compute = control.get("compute") if isinstance(control, dict) else None
    if compute is None:
        return
    try:
        msgspec.convert(compute, Compute)
    except ValidationError as exc:
        raise SafetyError(str(exc)) from exc
