// Shared pieces of the two checks: the fixed key and value sets, the message
// texts, reading the caller's mappings, and raising SafetyError.
#ifndef TARVIK_SAFETY_CONTROL_CHECKS_HPP
#define TARVIK_SAFETY_CONTROL_CHECKS_HPP

#include "refs.hpp"

#include <cstdint>
#include <initializer_list>

namespace tarvik {

// Message texts, all in one place. Each %U receives a str (message_text).
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

// A fixed set of names (keys a section accepts, or values a setting may
// take), kept for the life of the process.
struct NameTable {
    static constexpr int capacity = 16;
    static constexpr int slot_count = 64; // a power of two, >= 4 * capacity

    int count = 0;
    // Interned, in the order given; the names a check reads come first.
    PyObject *names[capacity] = {};
    Py_hash_t hashes[capacity] = {};
    // Two open-addressing indexes of the names' positions (-1: empty slot),
    // by object address and by str hash. Mostly empty, so a key that is
    // none of the names is soon told.
    signed char by_address[slot_count] = {};
    signed char by_hash[slot_count] = {};
    PyObject *members = nullptr; // the same names as a frozenset
    PyObject *text = nullptr;    // message form: sorted, ", "-joined

    static size_t address_slot(PyObject *key)
    {
        // Fibonacci hashing of the address: its top 6 bits.
        return static_cast<size_t>(
            (reinterpret_cast<uintptr_t>(key) * 0x9E3779B97F4A7C15u) >> 58);
    }
    static size_t next_slot(size_t slot)
    {
        return (slot + 1) & (slot_count - 1);
    }

    // Position of `key`, an exact str, among the names; -1 when it is none
    // of them. No Python code runs and no error is set. Keys written in
    // Python source as identifiers are the interned names themselves.
    int find(PyObject *key) const
    {
        int index = find_object(key);
        return index >= 0 ? index : find_text(key);
    }
    // find() by identity alone: is `key` one of the name objects?
    int find_object(PyObject *key) const
    {
        for (size_t slot = address_slot(key); by_address[slot] >= 0;
             slot = next_slot(slot)) {
            if (names[by_address[slot]] == key) {
                return by_address[slot];
            }
        }
        return -1;
    }
    // find() by hash and text. Nothing of `key` is kept: the tables hold
    // no caller's object after a call.
    int find_text(PyObject *key) const;
};

// The fixed tables, built once per process by init_constants().
struct Constants {
    NameTable top;                 // control
    NameTable predictor;           // without a link configuration
    NameTable predictor_with_link; // compute, link, control.link, control_link
    NameTable family_link;         // control.link, control_link
    NameTable link;                // model, quantile
    NameTable inla;
    NameTable vb;
    NameTable compute;
    NameTable strategy_choices;
    NameTable int_strategy_choices;
    NameTable vb_strategy_choices;
    NameTable vb_hessian_choices;
    NameTable gammasurv_models; // log, neglog, quantile
    NameTable early_models;     // log, neglog: no quantile needed
    NameTable gamma_models;     // quantile
    NameTable gamma_family;     // gamma
    NameTable gammasurv_family; // gammasurv
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

// The message `format` (one of the msg texts) with each "%U" replaced by the
// next of `args`, all str. The texts are split once per process, so a
// message without holes is the same object every time.
Ref message_text(const char *format, std::initializer_list<PyObject *> args);

// PyErr_Format(type, format, ...), except that when the message itself
// cannot be made its MemoryError stays raised (PyErr_Format would raise
// `type` with no message instead). Always returns nullptr.
PyObject *raise_formatted(PyObject *type, const char *format, ...);

// Raises SafetyError(message), looked up as a global name of the call.
// With `cause`, the new exception is chained to it as `raise ... from cause`
// inside its handler would. Always returns nullptr.
PyObject *raise_safety_error(const CallContext &call, PyObject *message,
                             PyObject *cause = nullptr);
// Raises the message `format`, which has no holes, without a cause.
PyObject *raise_safety_error_format(const CallContext &call,
                                    const char *format);

// A SafetyError about to be raised with a message that shows the caller's
// objects: the name is looked up first, then the message is built (which
// may run their __repr__ or __format__), as `raise SafetyError(...)` does.
class PendingSafetyError {
  public:
    explicit PendingSafetyError(const CallContext &call);
    // False when the name could not be found (NameError is set).
    explicit operator bool() const { return bool(error_class_); }
    // Raises message_text(format, args) without a cause; returns nullptr.
    PyObject *raise(const char *format,
                    std::initializer_list<PyObject *> args);

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

// The keys of a mapping that a section does not accept.
class ExtraKeys {
  public:
    // Finds the keys of `mapping` (its own keys(); an exact dict keyed by
    // strs is read directly, to the same effect) outside `allowed`: 1 when
    // there are some, 0 when there are none, -1 on error.
    int find(PyObject *mapping, const NameTable &allowed);
    // Their message form, as key_list_text gives it.
    Ref listed();

  private:
    Ref keys_; // the set of them, found through the mapping's methods
    Ref text_; // or their message form, already made
};

// Message form of a key collection: str keys as themselves, other keys by
// repr(), sorted by that text and joined with ", ".
Ref key_list_text(PyObject *keys);

// strip(), lower() and, with `dots`, replace("_", ".") of an exact str that
// is all ASCII, into `buffer`; false when it is not such a str or the
// result would not fit. Runs no Python code.
bool normalize_ascii(PyObject *text, bool dots, char *buffer,
                     Py_ssize_t capacity, Py_ssize_t *length);
// The text in `buffer` is one of the (ASCII) names of `table`.
bool ascii_in_table(const char *buffer, Py_ssize_t length,
                    const NameTable &table);

// The text a choice is compared by: str(value).strip().lower(), and
// .replace("_", ".") when `dots`. An exact ASCII str, the usual case, is
// normalised into a buffer without making any object.
class NormalizedText {
  public:
    static constexpr Py_ssize_t capacity = 64;

    // 0, or -1 with the conversion's error set.
    int assign(PyObject *value, bool dots);
    // Equal to one of the names of `choices`, compared in their order as
    // `in` a tuple does: 1, 0 or -1.
    int in(const NameTable &choices) const;
    // A member of `choices`, as `in` a frozenset tests: 1, 0 or -1.
    int in_set(const NameTable &choices) const;
    // `text != name` (an ASCII name): 1, 0 or -1.
    int differs_from(PyObject *name) const;

  private:
    bool in_buffer_ = false;
    char buffer_[capacity];
    Py_ssize_t length_ = 0;
    Ref text_;
};

// Reading an exact dict keyed by exact strs without running Python code:
// borrowed values of the first N names of `table` (nullptr when absent;
// the later names are accepted keys whose values are not wanted). False
// when `dict` is not an exact dict, a key is not an exact str, or, unless
// `others_allowed`, a key is not one of the names. Sets no error.
template <size_t N>
bool read_exact_section(PyObject *dict, const NameTable &table,
                        PyObject *(&values)[N], bool others_allowed)
{
    for (PyObject *&value : values) {
        value = nullptr;
    }
    if (!PyDict_CheckExact(dict)) {
        return false;
    }
    // Counted, to spare the call that would find the end.
    Py_ssize_t size = PyDict_Size(dict);
    Py_ssize_t pos = 0;
    PyObject *key;
    PyObject *value;
    for (Py_ssize_t i = 0; i < size && PyDict_Next(dict, &pos, &key, &value);
         i++) {
        if (!PyUnicode_CheckExact(key)) {
            return false;
        }
        int index = table.find(key);
        if (index < 0) {
            if (!others_allowed) {
                return false;
            }
        }
        else if (static_cast<size_t>(index) < N) {
            values[index] = value;
        }
    }
    return true;
}
// A value read that way is missing or None.
inline bool absent(PyObject *value)
{
    return value == nullptr || value == Py_None;
}

// "{}".format(value)
Ref format_text(PyObject *value);

// Each public function, after argument binding, the argument type tests
// and kwargs.get("control"), runs in two steps on that `control` when it
// is not None (an owned reference).
//
// The quick step comes before the call takes its references and the
// recursion guard, and decides the usual call, made of exact types: 1 when
// it accepts the call, 0 when the full step must decide, -1 with an error
// set. No Python code runs in it, but for the key comparisons of an exact
// dict's lookup, which the interpreter guards itself. What the full step
// must go on from instead of doing again is handed on in *carried: for the
// compute check the section it looked up, for the structure check the
// error of a quantile text that float() refused, the call's first broken
// rule.
int quick_control_structure(PyObject *families, PyObject *control,
                            Ref *carried);
int quick_compute_section(PyObject *families, PyObject *control, Ref *carried);
// The full step: a new reference to None, or nullptr with an error set.
PyObject *check_control_structure(const CallContext &call, PyObject *control,
                                  PyObject *carried);
PyObject *check_compute_section(const CallContext &call, PyObject *control,
                                PyObject *carried);

} // namespace tarvik

#endif
