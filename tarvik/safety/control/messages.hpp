// The messages of the checks, and raising SafetyError with them.
#ifndef TARVIK_SAFETY_CONTROL_MESSAGES_HPP
#define TARVIK_SAFETY_CONTROL_MESSAGES_HPP

#include "tables.hpp"

#include <initializer_list>

namespace tarvik {

// A message text. Each "{}" is filled at the call, in order. Filled once,
// from the message's table: "{sorted}" (its names sorted by code point and
// joined with ", "), "{quoted}" (quoted, in their order, joined with ", ")
// and "{either}" (the same, with "or" before the last); from its name:
// "{name}".
class Message {
  public:
    constexpr explicit Message(const char *text, Table *table = nullptr,
                               const char *name = nullptr)
        : text_(text), table_(table), name_(name)
    {}

    // The texts around the call's holes, as a tuple of str, made on first
    // use and kept (borrowed); nullptr with an error set.
    PyObject *pieces();

  private:
    const char *text_;
    Table *table_;
    const char *name_;
    PyObject *pieces_ = nullptr;
};

namespace msg {
inline Message control_not_dict{
    "tarvik safety check: 'control' must be a dict when provided."};
inline Message control_unsupported{
    "tarvik safety check: unsupported keys in 'control': {}."};
inline Message family_not_dict{
    "tarvik safety check: control['family'] must be a dict (or list of dicts "
    "for multiple families)."};
inline Message predictor_not_dict{
    "tarvik safety check: control['predictor'] must be a dict."};
inline Message predictor_unsupported{
    "tarvik safety check: unsupported keys in control['predictor']: {}."};
inline Message predictor_compute_not_bool{
    "tarvik safety check: control['predictor']['compute'] must be "
    "True/False."};
inline Message inla_not_dict{
    "tarvik safety check: control['inla'] must be a dict when provided."};
inline Message inla_unsupported{
    "tarvik safety check: control['inla'] currently supports only {sorted} "
    "overrides; found {}.",
    &inla_keys};
inline Message vb_not_dict{
    "tarvik safety check: control['inla']['control_vb'] must be a dict."};
inline Message vb_unsupported{
    "tarvik safety check: control['inla']['control_vb'] supports only "
    "{sorted} keys; found {}.",
    &vb_keys};
inline Message link_family{
    "tarvik safety check: control.link is only allowed for gamma "
    "likelihoods."};
inline Message link_not_dict{
    "tarvik safety check: control.link configuration must be a dict."};
inline Message link_model_missing{
    "tarvik safety check: control.link['model'] must be specified."};
inline Message link_model_gammasurv{
    "tarvik safety check: only {either} control.link model is allowed for "
    "gammasurv.",
    &gammasurv_models};
inline Message link_model_gamma{
    "tarvik safety check: only {either} control.link model is allowed for "
    "gamma.",
    &gamma_models};
inline Message link_quantile_missing{
    "tarvik safety check: control.link['quantile'] must be provided when "
    "model='quantile'."};
inline Message link_quantile_not_numeric{
    "tarvik safety check: quantile must be numeric."};
inline Message link_quantile_range{
    "tarvik safety check: quantile must be in (0,1)."};
inline Message compute_not_dict{
    "tarvik safety check: control['compute'] must be a dict if provided."};
inline Message compute_unsupported{
    "tarvik safety check: unsupported keys in control['compute']: {}. "
    "Allowed: {sorted}.",
    &compute_keys};
inline Message compute_not_bool{
    "tarvik safety check: control['compute']['{}'] must be boolean."};
} // namespace msg

// A setting of control['inla'] that names one of its choices, with the
// messages that refuse it.
struct InlaChoice {
    constexpr InlaChoice(const char *name, Table &choices)
        : choices(choices),
          not_text("tarvik safety check: control['inla']['{name}'] must be a "
                   "string.",
                   nullptr, name),
          refused("tarvik safety check: control['inla']['{name}'] must be one "
                  "of {sorted}; got '{}'.",
                  &choices, name)
    {}
    Table &choices;
    Message not_text;
    Message refused;
};
inline InlaChoice strategy_choice{"strategy", strategy_choices};
// Shown under this name also when read from int_strategy.
inline InlaChoice int_strategy_choice{"int.strategy", int_strategy_choices};

// A setting of control['inla']['control_vb'] that names one of its choices,
// compared stripped and lower-cased, with the message that refuses it.
struct VbChoice {
    constexpr VbChoice(int slot, Table &choices, const char *refused)
        : slot(slot), choices(choices), refused(refused, &choices)
    {}
    int slot;
    Table &choices;
    Message refused;
};
// In the order they are judged.
inline VbChoice vb_choices[] = {
    {checked<slot_of(vb_names, "strategy")>, vb_strategy_choices,
     "tarvik safety check: control['inla']['control_vb']['strategy'] must be "
     "{either}; got '{}'."},
    {checked<slot_of(vb_names, "hessian_strategy")>, vb_hessian_choices,
     "tarvik safety check: control['inla']['control_vb']['hessian_strategy'] "
     "must be one of {quoted}; got '{}'."},
};

// What a raise needs from the call it happens in.
struct CallContext {
    PyObject *globals;  // namespace where SafetyError is looked up first
    PyObject *builtins; // then these builtins (a dict)
    PyObject *families; // the exact tuple of family names
};

// Raises SafetyError(message), looked up as a global name of the call is,
// for a message without holes to fill at the call; false.
bool raise_safety_error(const CallContext &call, Message &message);

// A SafetyError about to be raised with a message that shows the caller's
// objects: the name is looked up first, then the texts are made (which may
// run their __repr__ or __format__), as `raise SafetyError(...)` does.
class PendingSafetyError {
  public:
    explicit PendingSafetyError(const CallContext &call);
    // False when the name could not be found (NameError is set).
    explicit operator bool() const { return bool(error_class_); }
    // Raises `message` filled with `shown`, none of them empty; false.
    bool raise(Message &message, std::initializer_list<PyObject *> shown);

  private:
    Ref error_class_;
};

// PyErr_Format(type, format, ...), except that when the message itself
// cannot be made for lack of memory the MemoryError stays raised
// (PyErr_Format would raise `type` with no message instead); nullptr.
PyObject *raise_formatted(PyObject *type, const char *format, ...);

// Raises SafetyError(message) as `raise SafetyError(message) from exc`
// does in an `except Exception as exc:` handler of the pending exception;
// false. An exception outside the Exception family (KeyboardInterrupt and
// the like) is left pending instead.
bool raise_from_pending(const CallContext &call, Message &message);

} // namespace tarvik

#endif
