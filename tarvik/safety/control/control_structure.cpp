// enforce_control_structure: the top-level keys of the control mapping, the
// family, predictor and inla sections, link configurations and choices.
//
// Every step returns 0 when its rule holds and -1 with an exception set
// (SafetyError, or whatever the caller's own objects raised).
#include "checks.hpp"

namespace tarvik {

namespace {

int fail(const CallContext &call, const char *message)
{
    raise_safety_error_format(call, message);
    return -1;
}

// Raises `format` filled with the listed keys, after `first` when given.
int fail_with_keys(const CallContext &call, const char *format, PyObject *keys,
                   PyObject *first = nullptr)
{
    PendingSafetyError error(call);
    Ref shown = error ? key_list_text(keys) : Ref();
    if (!shown) {
        return -1;
    }
    if (first) {
        error.raise(format, first, shown.get());
    }
    else {
        error.raise(format, shown.get());
    }
    return -1;
}

// Some family of the call equals `first` (or `second`, tested after it for
// each family): 1, 0 or -1.
int families_include(const CallContext &call, PyObject *first,
                     PyObject *second)
{
    Py_ssize_t count = PyTuple_GET_SIZE(call.families);
    for (Py_ssize_t i = 0; i < count; i++) {
        Ref family = Ref::borrow(PyTuple_GET_ITEM(call.families, i));
        int equal = PyObject_RichCompareBool(family.get(), first, Py_EQ);
        if (equal == 0 && second) {
            equal = PyObject_RichCompareBool(family.get(), second, Py_EQ);
        }
        if (equal != 0) {
            return equal;
        }
    }
    return 0;
}

// The quantile as a float, the way float() converts it; a conversion error
// of the Exception family becomes SafetyError with that error as cause.
int quantile_value(const CallContext &call, PyObject *quantile, double *q)
{
    if (PyFloat_CheckExact(quantile)) {
        *q = PyFloat_AS_DOUBLE(quantile);
        return 0;
    }
    Ref number = Ref::steal(PyNumber_Float(quantile));
    if (!number) {
        Ref caught = catch_exception();
        if (caught) {
            Ref message = Ref::steal(
                PyUnicode_FromString(msg::link_quantile_not_numeric));
            if (message) {
                raise_safety_error(call, message.get(), caught.get());
            }
        }
        return -1;
    }
    *q = PyFloat_AsDouble(number.get());
    return (*q == -1.0 && PyErr_Occurred()) ? -1 : 0;
}

// One link configuration (the value under control.link or control_link),
// judged against the families of the call.
int validate_control_link(const CallContext &call, PyObject *block_arg)
{
    Ref block = Ref::borrow(block_arg);
    int flag = families_include(call, names.gamma, names.gammasurv);
    if (flag <= 0) {
        return flag < 0 ? -1 : fail(call, msg::link_family);
    }
    flag = is_dict(block.get());
    if (flag <= 0) {
        return flag < 0 ? -1 : fail(call, msg::link_not_dict);
    }
    Ref model = mapping_get(block.get(), names.model);
    if (!model) {
        return -1;
    }
    if (model.is_none()) {
        return fail(call, msg::link_model_missing);
    }
    NormalizedText model_norm;
    if (model_norm.assign(model.get(), false) < 0) {
        return -1;
    }
    int is_survival = families_include(call, names.gammasurv, nullptr);
    if (is_survival < 0) {
        return -1;
    }
    if (is_survival) {
        flag = model_norm.in({names.log, names.neglog, names.quantile});
        if (flag <= 0) {
            return flag < 0 ? -1 : fail(call, msg::link_model_gammasurv);
        }
        flag = model_norm.in({names.log, names.neglog});
        if (flag != 0) {
            return flag < 0 ? -1 : 0;
        }
    }
    else {
        flag = model_norm.in({names.quantile});
        if (flag <= 0) {
            return flag < 0 ? -1 : fail(call, msg::link_model_gamma);
        }
    }
    Ref quantile = mapping_get(block.get(), names.quantile);
    if (!quantile) {
        return -1;
    }
    if (quantile.is_none()) {
        return fail(call, msg::link_quantile_missing);
    }
    double q = 0.0;
    if (quantile_value(call, quantile.get(), &q) < 0) {
        return -1;
    }
    // Written so that NaN fails as well.
    if (!(0.0 < q && q < 1.0)) {
        return fail(call, msg::link_quantile_range);
    }
    return 0;
}

// `block.get("control.link") or block.get("control_link")`
Ref link_configuration(PyObject *block)
{
    Ref preferred = mapping_get(block, names.control_dot_link);
    if (!preferred) {
        return Ref();
    }
    int truth = PyObject_IsTrue(preferred.get());
    if (truth < 0) {
        return Ref();
    }
    if (truth) {
        return preferred;
    }
    return mapping_get(block, names.control_link);
}

int check_family(const CallContext &call, PyObject *control)
{
    Ref family_block = mapping_get(control, names.family);
    if (!family_block) {
        return -1;
    }
    if (family_block.is_none()) {
        return 0;
    }
    int flag = is_dict(family_block.get());
    if (flag < 0) {
        return -1;
    }
    if (!flag) {
        // A list of family blocks is accepted as it is.
        flag = is_list(family_block.get());
        if (flag <= 0) {
            return flag < 0 ? -1 : fail(call, msg::family_not_dict);
        }
        return 0;
    }
    Ref link_conf = link_configuration(family_block.get());
    if (!link_conf) {
        return -1;
    }
    if (link_conf.is_none()) {
        return 0;
    }
    return validate_control_link(call, link_conf.get());
}

int check_predictor(const CallContext &call, PyObject *control)
{
    Ref predictor_block;
    int flag = fetch_section(call, control, names.predictor,
                             msg::predictor_not_dict, &predictor_block);
    if (flag <= 0) {
        return flag;
    }
    int has_link =
        mapping_contains(predictor_block.get(), names.control_dot_link);
    if (has_link == 0) {
        has_link = mapping_contains(predictor_block.get(), names.control_link);
    }
    if (has_link < 0) {
        return -1;
    }
    PyObject *allowed_predictor = constants.allowed_predictor;
    if (has_link) {
        // Handed over even when it is None: the validator refuses that.
        Ref link_conf = link_configuration(predictor_block.get());
        if (!link_conf || validate_control_link(call, link_conf.get()) < 0) {
            return -1;
        }
        allowed_predictor = constants.allowed_predictor_with_link;
    }
    Ref extra_pred;
    flag = unsupported_keys(predictor_block.get(), allowed_predictor,
                            &extra_pred);
    if (flag != 0) {
        return flag < 0 ? -1
                        : fail_with_keys(call, msg::predictor_unsupported,
                                         extra_pred.get());
    }
    flag = mapping_contains(predictor_block.get(), names.compute);
    if (flag <= 0) {
        return flag;
    }
    Ref compute =
        Ref::steal(PyObject_GetItem(predictor_block.get(), names.compute));
    if (!compute) {
        return -1;
    }
    flag = is_bool(compute.get());
    if (flag <= 0) {
        return flag < 0 ? -1 : fail(call, msg::predictor_compute_not_bool);
    }
    return 0;
}

// A choice of the inla section: normalised (text, strip, lower, "_" to ".")
// and looked up in `allowed` (a frozenset, whose members the tuple
// `allowed_list` holds too); the refused value is shown as given.
int normalize_choice(const CallContext &call, PyObject *name,
                     PyObject *value_arg, PyObject *allowed,
                     PyObject *allowed_list)
{
    Ref value = Ref::borrow(value_arg);
    NormalizedText normalized;
    if (normalized.assign(value.get(), true) < 0) {
        Ref caught = catch_exception();
        if (caught) {
            Ref message =
                Ref::steal(PyUnicode_FromFormat(msg::choice_not_string, name));
            if (message) {
                raise_safety_error(call, message.get(), caught.get());
            }
        }
        return -1;
    }
    int flag = normalized.in_set(allowed, allowed_list);
    if (flag != 0) {
        return flag < 0 ? -1 : 0;
    }
    PendingSafetyError error(call);
    Ref choices = error ? key_list_text(allowed) : Ref();
    Ref shown = choices ? format_text(value.get()) : Ref();
    if (shown) {
        error.raise(msg::choice_not_allowed, name, choices.get(), shown.get());
    }
    return -1;
}

// A control_vb setting: absent, None, or one of `accepted` once stripped
// and lower-cased; the refused value is shown as stored.
int check_vb_setting(const CallContext &call, PyObject *control_vb,
                     PyObject *key, std::initializer_list<PyObject *> accepted,
                     const char *message)
{
    Ref value = mapping_get(control_vb, key);
    if (!value) {
        return -1;
    }
    if (value.is_none()) {
        return 0;
    }
    NormalizedText text;
    if (text.assign(value.get(), false) < 0) {
        return -1;
    }
    int flag = text.in(accepted);
    if (flag != 0) {
        return flag < 0 ? -1 : 0;
    }
    PendingSafetyError error(call);
    Ref shown = error ? format_text(value.get()) : Ref();
    if (shown) {
        error.raise(message, shown.get());
    }
    return -1;
}

int check_control_vb(const CallContext &call, PyObject *inla_block)
{
    Ref control_vb;
    int flag = fetch_section(call, inla_block, names.control_vb,
                             msg::vb_not_dict, &control_vb);
    if (flag <= 0) {
        return flag;
    }
    Ref extra_vb;
    flag = unsupported_keys(control_vb.get(), constants.allowed_vb, &extra_vb);
    if (flag != 0) {
        return flag < 0
                   ? -1
                   : fail_with_keys(call, msg::vb_unsupported, extra_vb.get(),
                                    constants.allowed_vb_text);
    }
    if (check_vb_setting(call, control_vb.get(), names.strategy,
                         {names.mean, names.variance},
                         msg::vb_strategy_bad) < 0) {
        return -1;
    }
    return check_vb_setting(
        call, control_vb.get(), names.hessian_strategy,
        {names.default_, names.full, names.partial, names.diagonal},
        msg::vb_hessian_bad);
}

int check_inla(const CallContext &call, PyObject *control)
{
    Ref inla_block;
    int flag = fetch_section(call, control, names.inla, msg::inla_not_dict,
                             &inla_block);
    if (flag <= 0) {
        return flag;
    }
    Ref extra_inla;
    flag = unsupported_keys(inla_block.get(), constants.allowed_inla,
                            &extra_inla);
    if (flag != 0) {
        return flag < 0 ? -1
                        : fail_with_keys(call, msg::inla_unsupported,
                                         extra_inla.get(),
                                         constants.allowed_inla_text);
    }
    if (check_control_vb(call, inla_block.get()) < 0) {
        return -1;
    }
    Ref strategy_val = mapping_get(inla_block.get(), names.strategy);
    if (!strategy_val) {
        return -1;
    }
    if (!strategy_val.is_none() &&
        normalize_choice(call, names.strategy, strategy_val.get(),
                         constants.strategy_choices,
                         constants.strategy_choice_list) < 0) {
        return -1;
    }
    Ref int_strategy_val =
        mapping_get(inla_block.get(), names.int_dot_strategy);
    if (!int_strategy_val) {
        return -1;
    }
    if (int_strategy_val.is_none()) {
        flag = mapping_contains(inla_block.get(), names.int_strategy);
        if (flag < 0) {
            return -1;
        }
        if (flag) {
            int_strategy_val = Ref::steal(
                PyObject_GetItem(inla_block.get(), names.int_strategy));
            if (!int_strategy_val) {
                return -1;
            }
        }
    }
    if (int_strategy_val.is_none()) {
        return 0;
    }
    return normalize_choice(
        call, names.int_dot_strategy, int_strategy_val.get(),
        constants.int_strategy_choices, constants.int_strategy_choice_list);
}

} // namespace

PyObject *check_control_structure(const CallContext &call, PyObject *kwargs)
{
    Ref control = mapping_get(kwargs, names.control);
    if (!control) {
        return nullptr;
    }
    if (control.is_none()) {
        Py_RETURN_NONE;
    }
    int flag = is_dict(control.get());
    if (flag <= 0) {
        return flag < 0
                   ? nullptr
                   : raise_safety_error_format(call, msg::control_not_dict);
    }
    Ref extra;
    flag = unsupported_keys(control.get(), constants.allowed_top, &extra);
    if (flag != 0) {
        if (flag > 0) {
            fail_with_keys(call, msg::control_unsupported, extra.get());
        }
        return nullptr;
    }
    if (check_family(call, control.get()) < 0 ||
        check_predictor(call, control.get()) < 0 ||
        check_inla(call, control.get()) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

} // namespace tarvik
