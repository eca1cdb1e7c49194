"""The rules that no peer's schema states by itself, as plain Python that the
peers' validators call: a choice compared after str(), strip() and lower(),
and the link configuration, whose model and quantile are judged against the
call's families. Each refusal is the module's SafetyError with its message.
"""

import messages
from reference import GAMMASURV_MODELS, UNQUANTILED_MODELS
from tarvik.safety.errors import SafetyError


def text(value):
    """The form in which a control_vb choice or a link model is compared."""
    return str(value).strip().lower()


def strategy_form(value, name):
    """The form in which a strategy or int.strategy choice is compared ("_"
    read as "."); None stays None."""
    if value is None:
        return None
    try:
        return str(value).strip().lower().replace("_", ".")
    except Exception as exc:
        raise SafetyError(messages.choice_not_text.format(name)) from exc


def gate(families):
    """A link configuration is only for a model with a gamma likelihood."""
    if "gamma" not in families and "gammasurv" not in families:
        raise SafetyError(messages.link_family)


def link_model(model, quantile, survival):
    """The model of a link configuration, in the form of text(), and its
    quantile, for a gammasurv model (survival) or a gamma one."""
    if survival:
        if model not in GAMMASURV_MODELS:
            raise SafetyError(messages.link_model_gammasurv)
        if model in UNQUANTILED_MODELS:
            return
    elif model != "quantile":
        raise SafetyError(messages.link_model_gamma)
    if quantile is None:
        raise SafetyError(messages.link_quantile_missing)
    try:
        q = float(quantile)
    except Exception as exc:
        raise SafetyError(messages.link_quantile_not_numeric) from exc
    if not 0.0 < q < 1.0:
        raise SafetyError(messages.link_quantile_range)


def choice(value, name, allowed):
    """A strategy or int.strategy choice: None, or one of `allowed`."""
    form = strategy_form(value, name)
    if form is not None and form not in allowed:
        raise SafetyError(messages.choice_refused.format(name, messages.listed(allowed), value))


def vb_choice(value, allowed, message):
    """A choice of control_vb: None, or one of `allowed` (else `message`)."""
    if value is not None and text(value) not in allowed:
        raise SafetyError(message.format(value))
