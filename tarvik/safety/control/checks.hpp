// Shared pieces of the two checks: the fixed key and value sets, the message
// texts, reading the caller's mappings, and raising SafetyError.
#ifndef TARVIK_SAFETY_CONTROL_CHECKS_HPP
#define TARVIK_SAFETY_CONTROL_CHECKS_HPP

#include "refs.hpp"

#include <cstdarg>
#include <initializer_list>

namespace tarvik {

// Message texts, all in one place. Each %U receives a str.
namespace msg {
inline constexpr const char *control_not_dict =
    "tarvik safety check: 'control' must be a dict when provided.";
inline constexpr const char *control_unsupported =
    "tarvik safety check: unsupported keys in 'control': %U.";
inline constexpr const char *family_not_dict =
    "tarvik safety check: control['family'] must be a dict (or list of dicts "
    "for multiple families).";
inline constexpr const char *predictor_not_dict =
    "tarvik safety check: control['predictor'] must be a dict.";
inline constexpr const char *predictor_unsupported =
    "tarvik safety check: unsupported keys in control['predictor']: %U.";
inline constexpr const char *predictor_compute_not_bool =
    "tarvik safety check: control['predictor']['compute'] must be True/False.";
inline constexpr const char *inla_not_dict =
    "tarvik safety check: control['inla'] must be a dict when provided.";
inline constexpr const char *inla_unsupported =
    "tarvik safety check: control['inla'] currently supports only %U "
    "overrides; found %U.";
inline constexpr const char *vb_not_dict =
    "tarvik safety check: control['inla']['control_vb'] must be a dict.";
inline constexpr const char *vb_unsupported =
    "tarvik safety check: control['inla']['control_vb'] supports only %U "
    "keys; found %U.";
inline constexpr const char *vb_strategy_bad =
    "tarvik safety check: control['inla']['control_vb']['strategy'] must be "
    "'mean' or 'variance'; got '%U'.";
inline constexpr const char *vb_hessian_bad =
    "tarvik safety check: control['inla']['control_vb']['hessian_strategy'] "
    "must be one of 'default', 'full', 'partial', 'diagonal'; got '%U'.";
inline constexpr const char *choice_not_string =
    "tarvik safety check: control['inla']['%U'] must be a string.";
inline constexpr const char *choice_not_allowed =
    "tarvik safety check: control['inla']['%U'] must be one of %U; got '%U'.";
inline constexpr const char *link_family =
    "tarvik safety check: control.link is only allowed for gamma likelihoods.";
inline constexpr const char *link_not_dict =
    "tarvik safety check: control.link configuration must be a dict.";
inline constexpr const char *link_model_missing =
    "tarvik safety check: control.link['model'] must be specified.";
inline constexpr const char *link_model_gammasurv =
    "tarvik safety check: only 'log', 'neglog', or 'quantile' control.link "
    "model is allowed for gammasurv.";
inline constexpr const char *link_model_gamma =
    "tarvik safety check: only 'quantile' control.link model is allowed for "
    "gamma.";
inline constexpr const char *link_quantile_missing =
    "tarvik safety check: control.link['quantile'] must be provided when "
    "model='quantile'.";
inline constexpr const char *link_quantile_not_numeric =
    "tarvik safety check: quantile must be numeric.";
inline constexpr const char *link_quantile_range =
    "tarvik safety check: quantile must be in (0,1).";
inline constexpr const char *compute_not_dict =
    "tarvik safety check: control['compute'] must be a dict if provided.";
inline constexpr const char *compute_unsupported =
    "tarvik safety check: unsupported keys in control['compute']: %U. "
    "Allowed: %U.";
inline constexpr const char *compute_not_bool =
    "tarvik safety check: control['compute']['%U'] must be boolean.";
} // namespace msg

// Fixed key and value sets (frozensets of str) and their message forms,
// built once per process by init_constants().
struct Constants {
    PyObject *allowed_top;
    PyObject *allowed_predictor;
    PyObject *allowed_predictor_with_link;
    PyObject *allowed_inla;
    PyObject *allowed_inla_text;
    PyObject *allowed_vb;
    PyObject *allowed_vb_text;
    PyObject *strategy_choices;
    PyObject *strategy_choice_list;
    PyObject *int_strategy_choices;
    PyObject *int_strategy_choice_list;
    PyObject *allowed_compute;
    PyObject *allowed_compute_text;
    PyObject *zero;
    PyObject *one;
};
extern Constants constants;

// 0 on success, -1 on error; safe to call again after a success.
int init_constants();

// What a check needs from the call it runs in.
struct CallContext {
    PyObject *globals;  // namespace where SafetyError is looked up first
    PyObject *builtins; // then these builtins (a dict)
    PyObject *families; // the exact tuple of family names
};

// Raises SafetyError(message), looked up as a global name of the call.
// With `cause`, the new exception is chained to it as `raise ... from cause`
// inside its handler would. Always returns nullptr.
PyObject *raise_safety_error(const CallContext &call, PyObject *message,
                             PyObject *cause = nullptr);
// Formats the message (PyUnicode_FromFormat) and raises it without a cause.
PyObject *raise_safety_error_format(const CallContext &call,
                                    const char *format, ...);

// A SafetyError about to be raised with a message that shows the caller's
// objects: the name is looked up first, then the message is built (which
// may run their __repr__ or __format__), as `raise SafetyError(...)` does.
class PendingSafetyError {
  public:
    explicit PendingSafetyError(const CallContext &call);
    // False when the name could not be found (NameError is set).
    explicit operator bool() const { return bool(error_class_); }
    // Formats the message and raises it without a cause; returns nullptr.
    PyObject *raise(const char *format, ...);
    PyObject *raise(const char *format, va_list vargs);

  private:
    Ref error_class_;
};

// Clears and returns the pending error when it belongs to the Exception
// family; otherwise leaves it pending (KeyboardInterrupt and the like pass
// through) and returns an empty Ref.
Ref catch_exception();

// isinstance(obj, type), with the type's own subclass test first: 1, 0, -1.
// Like isinstance, it also believes a __class__ that claims the type.
int is_instance(PyObject *obj, PyTypeObject *type);
// isinstance(obj, dict) / list / bool / int: 1, 0 or -1.
int is_dict(PyObject *obj);
int is_list(PyObject *obj);
int is_bool(PyObject *obj);
int is_int(PyObject *obj);

// mapping.get(key); None when missing.
Ref mapping_get(PyObject *mapping, PyObject *key);
// The section `parent.get(key)`: 1 with it stored in *section when it is a
// dict, 0 when it is None; a value that is not a dict raises
// SafetyError(not_dict). -1 on any error.
int fetch_section(const CallContext &call, PyObject *parent, PyObject *key,
                  const char *not_dict, Ref *section);
// key in mapping: 1, 0 or -1.
int mapping_contains(PyObject *mapping, PyObject *key);

// The keys of `mapping` (its own keys()) not in the frozenset `allowed`.
// Returns 0 when there are none, 1 with the set stored in *extra, or -1.
int unsupported_keys(PyObject *mapping, PyObject *allowed, Ref *extra);
// Message form of a key collection: str keys as themselves, other keys by
// repr(), sorted by that text and joined with ", ".
Ref key_list_text(PyObject *keys);

// The text a choice is compared by: str(value).strip().lower(), and
// .replace("_", ".") when `dots`. An exact ASCII str, the usual case, is
// normalised into a buffer without making any object.
class NormalizedText {
  public:
    // 0, or -1 with the conversion's error set.
    int assign(PyObject *value, bool dots);
    // Equal to one of `choices` (exact str), compared as `in` a tuple does:
    // 1, 0 or -1.
    int in(std::initializer_list<PyObject *> choices) const;
    // Member of the frozenset `members`, whose items the tuple
    // `member_list` holds too: 1, 0 or -1.
    int in_set(PyObject *members, PyObject *member_list) const;

  private:
    bool matches(PyObject *choice) const;

    static constexpr Py_ssize_t capacity = 64;
    bool in_buffer_ = false;
    char buffer_[capacity];
    Py_ssize_t length_ = 0;
    Ref text_;
};
// "{}".format(value)
Ref format_text(PyObject *value);

// The bodies of the two public functions, after argument binding and the
// argument type tests. New reference to None, or nullptr with an error set.
PyObject *check_control_structure(const CallContext &call, PyObject *kwargs);
PyObject *check_compute_section(const CallContext &call, PyObject *kwargs);

} // namespace tarvik

#endif
