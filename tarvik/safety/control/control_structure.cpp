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
int fail_with_keys(const CallContext &call, const char *format,
                   ExtraKeys &keys, PyObject *first = nullptr)
{
    PendingSafetyError error(call);
    Ref shown = error ? keys.listed() : Ref();
    if (!shown) {
        return -1;
    }
    if (first) {
        error.raise(format, {first, shown.get()});
    }
    else {
        error.raise(format, {shown.get()});
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
            Ref message = message_text(msg::link_quantile_not_numeric, {});
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
        flag = model_norm.in(constants.gammasurv_models);
        if (flag <= 0) {
            return flag < 0 ? -1 : fail(call, msg::link_model_gammasurv);
        }
        flag = model_norm.in(constants.early_models);
        if (flag != 0) {
            return flag < 0 ? -1 : 0;
        }
    }
    else {
        // `model_norm != "quantile"`, through the text's own comparison.
        flag = model_norm.differs_from(names.quantile);
        if (flag != 0) {
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
    const NameTable *allowed_predictor = &constants.predictor;
    if (has_link) {
        // Handed over even when it is None: the validator refuses that.
        Ref link_conf = link_configuration(predictor_block.get());
        if (!link_conf || validate_control_link(call, link_conf.get()) < 0) {
            return -1;
        }
        allowed_predictor = &constants.predictor_with_link;
    }
    ExtraKeys extra_pred;
    flag = extra_pred.find(predictor_block.get(), *allowed_predictor);
    if (flag != 0) {
        return flag < 0 ? -1
                        : fail_with_keys(call, msg::predictor_unsupported,
                                         extra_pred);
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
// and looked up in `allowed`; the refused value is shown as given.
int normalize_choice(const CallContext &call, PyObject *name,
                     PyObject *value_arg, const NameTable &allowed)
{
    Ref value = Ref::borrow(value_arg);
    NormalizedText normalized;
    if (normalized.assign(value.get(), true) < 0) {
        Ref caught = catch_exception();
        if (caught) {
            Ref message = message_text(msg::choice_not_string, {name});
            if (message) {
                raise_safety_error(call, message.get(), caught.get());
            }
        }
        return -1;
    }
    int flag = normalized.in_set(allowed);
    if (flag != 0) {
        return flag < 0 ? -1 : 0;
    }
    PendingSafetyError error(call);
    Ref shown = error ? format_text(value.get()) : Ref();
    if (shown) {
        error.raise(msg::choice_not_allowed,
                    {name, allowed.text, shown.get()});
    }
    return -1;
}

// A control_vb setting: absent, None, or one of `accepted` once stripped
// and lower-cased; the refused value is shown as stored.
int check_vb_setting(const CallContext &call, PyObject *control_vb,
                     PyObject *key, const NameTable &accepted,
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
        error.raise(message, {shown.get()});
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
    ExtraKeys extra_vb;
    flag = extra_vb.find(control_vb.get(), constants.vb);
    if (flag != 0) {
        return flag < 0 ? -1
                        : fail_with_keys(call, msg::vb_unsupported, extra_vb,
                                         constants.vb.text);
    }
    if (check_vb_setting(call, control_vb.get(), names.strategy,
                         constants.vb_strategy_choices,
                         msg::vb_strategy_bad) < 0) {
        return -1;
    }
    return check_vb_setting(call, control_vb.get(), names.hessian_strategy,
                            constants.vb_hessian_choices, msg::vb_hessian_bad);
}

int check_inla(const CallContext &call, PyObject *control)
{
    Ref inla_block;
    int flag = fetch_section(call, control, names.inla, msg::inla_not_dict,
                             &inla_block);
    if (flag <= 0) {
        return flag;
    }
    ExtraKeys extra_inla;
    flag = extra_inla.find(inla_block.get(), constants.inla);
    if (flag != 0) {
        return flag < 0 ? -1
                        : fail_with_keys(call, msg::inla_unsupported,
                                         extra_inla, constants.inla.text);
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
                         constants.strategy_choices) < 0) {
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
            int_strategy_val =
                mapping_get(inla_block.get(), names.int_strategy);
            if (!int_strategy_val) {
                return -1;
            }
        }
    }
    if (int_strategy_val.is_none()) {
        return 0;
    }
    return normalize_choice(call, names.int_dot_strategy,
                            int_strategy_val.get(),
                            constants.int_strategy_choices);
}

// --- calls decided without running Python code --------------------------
//
// Most calls hand over exact dicts keyed by exact strs, holding exact str,
// float and bool settings and the families as exact strs. Such a call can be
// judged by reading it in C alone: no Python-level hash, comparison,
// conversion or method of the caller's objects runs (exact strs are hashed
// and compared in C), so nothing can change between two reads and
// the order of the reads does not matter. The functions below accept only
// when every rule holds, which is when the general path accepts the call
// too; "undecided" means that a rule is broken or some object can only be
// asked through its own methods, and the general path then takes the call
// from the same point, as if this had not run. They read borrowed
// references and make no object, with one exception: float() of an exact
// str quantile, which runs no Python code either. When it fails, every rule
// before it has held, so it is the call's first broken rule.
enum Verdict : int {
    failed = -1, // an error is set
    undecided = 0,
    accepted = 1,
    not_numeric = 2, // the quantile is not numeric; its error is the cause
};

// The text of an exact ASCII str setting, normalised as NormalizedText
// does, is one of `choices`. A setting that is one of the choice objects
// (an interned literal) is: the choices are their own normal form.
bool choice_accepted(PyObject *value, bool dots, const NameTable &choices)
{
    if (choices.find_object(value) >= 0) {
        return true;
    }
    char buffer[NormalizedText::capacity];
    Py_ssize_t length = 0;
    return normalize_ascii(value, dots, buffer, NormalizedText::capacity,
                           &length) &&
           ascii_in_table(buffer, length, choices);
}

// `block.get("control.link") or block.get("control_link")` when the truth
// of the first is known without asking it: *configuration is borrowed, or
// Py_None.
bool pick_link_configuration(PyObject *preferred, PyObject *fallback,
                             PyObject **configuration)
{
    if (!absent(preferred)) {
        if (!PyDict_CheckExact(preferred)) {
            return false;
        }
        if (PyDict_Size(preferred) > 0) {
            *configuration = preferred;
            return true;
        }
    }
    *configuration = fallback ? fallback : Py_None;
    return true;
}

// The quantile of a link configuration, a float or a str, in (0, 1).
Verdict quantile_verdict(PyObject *quantile, Ref *cause)
{
    double q = 0.0;
    if (quantile == nullptr) {
        return undecided;
    }
    if (PyFloat_CheckExact(quantile)) {
        q = PyFloat_AS_DOUBLE(quantile);
    }
    else if (PyUnicode_CheckExact(quantile)) {
        Ref number = Ref::steal(PyNumber_Float(quantile));
        if (!number) {
            *cause = catch_exception();
            return *cause ? not_numeric : failed;
        }
        q = PyFloat_AS_DOUBLE(number.get());
    }
    else {
        return undecided;
    }
    return 0.0 < q && q < 1.0 ? accepted : undecided;
}

Verdict link_verdict(PyObject *families, PyObject *block, Ref *cause)
{
    bool gamma_like = false;
    bool survival = false;
    Py_ssize_t count = PyTuple_GET_SIZE(families);
    for (Py_ssize_t i = 0; i < count; i++) {
        PyObject *family = PyTuple_GET_ITEM(families, i);
        if (!PyUnicode_CheckExact(family)) {
            return undecided;
        }
        if (constants.gammasurv_family.find(family) >= 0) {
            gamma_like = survival = true;
        }
        else if (constants.gamma_family.find(family) >= 0) {
            gamma_like = true;
        }
    }
    PyObject *fields[2]; // model, quantile
    if (!gamma_like ||
        !read_exact_section(block, constants.link, fields, true)) {
        return undecided;
    }
    PyObject *model = fields[0];
    if (model == nullptr) {
        return undecided;
    }
    // log and neglog (gammasurv only) need no quantile.
    if (survival && choice_accepted(model, false, constants.early_models)) {
        return accepted;
    }
    if (!choice_accepted(model, false, constants.gamma_models)) {
        return undecided;
    }
    return quantile_verdict(fields[1], cause);
}

Verdict family_verdict(PyObject *families, PyObject *family, Ref *cause)
{
    if (absent(family) || PyList_CheckExact(family)) {
        return accepted;
    }
    PyObject *fields[2]; // control.link, control_link
    PyObject *configuration = nullptr;
    if (!read_exact_section(family, constants.family_link, fields, true) ||
        !pick_link_configuration(fields[0], fields[1], &configuration)) {
        return undecided;
    }
    return configuration == Py_None
               ? accepted
               : link_verdict(families, configuration, cause);
}

Verdict predictor_verdict(PyObject *families, PyObject *predictor, Ref *cause)
{
    if (absent(predictor)) {
        return accepted;
    }
    PyObject *fields[4]; // compute, link, control.link, control_link
    if (!read_exact_section(predictor, constants.predictor_with_link, fields,
                            false)) {
        return undecided;
    }
    // The link configuration is judged before the other keys.
    if (fields[2] || fields[3]) {
        PyObject *configuration = nullptr;
        if (!pick_link_configuration(fields[2], fields[3], &configuration) ||
            configuration == Py_None) {
            return undecided;
        }
        Verdict link = link_verdict(families, configuration, cause);
        if (link != accepted) {
            return link;
        }
    }
    return fields[0] == nullptr || PyBool_Check(fields[0]) ? accepted
                                                           : undecided;
}

bool inla_accepted(PyObject *inla)
{
    if (absent(inla)) {
        return true;
    }
    PyObject *fields[4]; // strategy, int.strategy, int_strategy, control_vb
    if (!read_exact_section(inla, constants.inla, fields, false)) {
        return false;
    }
    PyObject *control_vb = fields[3];
    if (!absent(control_vb)) {
        PyObject *settings[2]; // strategy, hessian_strategy
        if (!read_exact_section(control_vb, constants.vb, settings, false) ||
            !(absent(settings[0]) ||
              choice_accepted(settings[0], false,
                              constants.vb_strategy_choices)) ||
            !(absent(settings[1]) ||
              choice_accepted(settings[1], false,
                              constants.vb_hessian_choices))) {
            return false;
        }
    }
    PyObject *int_strategy = absent(fields[1]) ? fields[2] : fields[1];
    return (absent(fields[0]) ||
            choice_accepted(fields[0], true, constants.strategy_choices)) &&
           (absent(int_strategy) ||
            choice_accepted(int_strategy, true,
                            constants.int_strategy_choices));
}

} // namespace

int quick_control_structure(PyObject *families, PyObject *control,
                            Ref *carried)
{
    PyObject *sections[3]; // family, predictor, inla
    if (!read_exact_section(control, constants.top, sections, false)) {
        return undecided;
    }
    Verdict verdict = family_verdict(families, sections[0], carried);
    if (verdict == accepted) {
        verdict = predictor_verdict(families, sections[1], carried);
    }
    if (verdict == accepted) {
        verdict = inla_accepted(sections[2]) ? accepted : undecided;
    }
    // A quantile that is not numeric goes to the full step with its cause.
    return verdict == not_numeric ? undecided : verdict;
}

PyObject *check_control_structure(const CallContext &call,
                                  PyObject *control_arg, PyObject *carried)
{
    if (carried) {
        // The quick step found the first broken rule: float() of the
        // quantile failed with `carried`.
        Ref message = message_text(msg::link_quantile_not_numeric, {});
        return message ? raise_safety_error(call, message.get(), carried)
                       : nullptr;
    }
    Ref control = Ref::borrow(control_arg);
    int flag = is_dict(control.get());
    if (flag <= 0) {
        return flag < 0
                   ? nullptr
                   : raise_safety_error_format(call, msg::control_not_dict);
    }
    ExtraKeys extra;
    flag = extra.find(control.get(), constants.top);
    if (flag != 0) {
        if (flag > 0) {
            fail_with_keys(call, msg::control_unsupported, extra);
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
