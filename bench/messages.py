"""Every SafetyError message of tarvik.safety.control; a change of wording is made in three places: the C++ literal, this module and the README."""

# Each is named as in the C++ (tarvik/safety/control/messages.hpp); `{}` is
# what the module fills in: a key, a value as the caller gave it, or a list
# of keys or choices (sorted, joined with ", ": `listed`).

control_not_dict = "tarvik safety check: 'control' must be a dict when provided."
control_unsupported = "tarvik safety check: unsupported keys in 'control': {}."
family_not_dict = "tarvik safety check: control['family'] must be a dict (or list of dicts for multiple families)."
predictor_not_dict = "tarvik safety check: control['predictor'] must be a dict."
predictor_unsupported = "tarvik safety check: unsupported keys in control['predictor']: {}."
predictor_compute_not_bool = "tarvik safety check: control['predictor']['compute'] must be True/False."
inla_not_dict = "tarvik safety check: control['inla'] must be a dict when provided."
# The allowed keys, then the unsupported ones.
inla_unsupported = "tarvik safety check: control['inla'] currently supports only {} overrides; found {}."
vb_not_dict = "tarvik safety check: control['inla']['control_vb'] must be a dict."
# The allowed keys, then the unsupported ones.
vb_unsupported = "tarvik safety check: control['inla']['control_vb'] supports only {} keys; found {}."
link_family = "tarvik safety check: control.link is only allowed for gamma likelihoods."
link_not_dict = "tarvik safety check: control.link configuration must be a dict."
link_model_missing = "tarvik safety check: control.link['model'] must be specified."
link_model_gammasurv = "tarvik safety check: only 'log', 'neglog', or 'quantile' control.link model is allowed for gammasurv."
link_model_gamma = "tarvik safety check: only 'quantile' control.link model is allowed for gamma."
link_quantile_missing = "tarvik safety check: control.link['quantile'] must be provided when model='quantile'."
link_quantile_not_numeric = "tarvik safety check: quantile must be numeric."
link_quantile_range = "tarvik safety check: quantile must be in (0,1)."
compute_not_dict = "tarvik safety check: control['compute'] must be a dict if provided."
# The unsupported keys, then the allowed ones.
compute_unsupported = "tarvik safety check: unsupported keys in control['compute']: {}. Allowed: {}."
compute_not_bool = "tarvik safety check: control['compute']['{}'] must be boolean."

# control['inla']['strategy'] and ['int.strategy']: the setting's name, then
# (when refused) its sorted choices and the value.
choice_not_text = "tarvik safety check: control['inla']['{}'] must be a string."
choice_refused = "tarvik safety check: control['inla']['{}'] must be one of {}; got '{}'."
vb_strategy_refused = "tarvik safety check: control['inla']['control_vb']['strategy'] must be 'mean' or 'variance'; got '{}'."
vb_hessian_refused = "tarvik safety check: control['inla']['control_vb']['hessian_strategy'] must be one of 'default', 'full', 'partial', 'diagonal'; got '{}'."


def listed(names):
    """Names as the messages list them: sorted by code point, joined with ", "."""
    return ", ".join(sorted(names))
