// The messages of the checks, each written whole, and raising SafetyError
// with them.
#ifndef TARVIK_SAFETY_CONTROL_MESSAGES_HPP
#define TARVIK_SAFETY_CONTROL_MESSAGES_HPP

#include "tables.hpp"

#include <initializer_list>
#include <string_view>

namespace tarvik {

// A message: its whole text, with "{}" where a refusal fills in a key, a
// value or a list, in order, as str.format fills them (format(fill, "")).
struct Message {
    static constexpr int max_holes = 3;

    const char *text;

    // The texts between its holes (the whole text when it has none), as
    // strs made at the message's first refusal and kept for the process:
    // filling them in costs a refusal a seventh of what str.format would
    // (bench). Making strs runs no Python code, so nothing can see them
    // half made. nullptr with an error set.
    PyObject *const *pieces() const;
    // Its holes, once pieces() has made them.
    int holes() const { return piece_count - 1; }

    mutable PyObject *made[max_holes + 1] = {};
    mutable int piece_count = 0;
};

// A message that lists a section's unsupported keys, and in some also the
// keys it accepts (sorted and joined like them), in the order of its holes.
struct KeysMessage : Message {
    enum Holes { found, found_allowed, allowed_found } holes;
};

namespace msg {
// clang-format off
inline constexpr Message control_not_dict{"tarvik safety check: 'control' must be a dict when provided."};
inline constexpr KeysMessage control_unsupported{{"tarvik safety check: unsupported keys in 'control': {}."}, KeysMessage::found};
inline constexpr Message family_not_dict{"tarvik safety check: control['family'] must be a dict (or list of dicts for multiple families)."};
inline constexpr Message predictor_not_dict{"tarvik safety check: control['predictor'] must be a dict."};
inline constexpr KeysMessage predictor_unsupported{{"tarvik safety check: unsupported keys in control['predictor']: {}."}, KeysMessage::found};
inline constexpr Message predictor_compute_not_bool{"tarvik safety check: control['predictor']['compute'] must be True/False."};
inline constexpr Message inla_not_dict{"tarvik safety check: control['inla'] must be a dict when provided."};
inline constexpr KeysMessage inla_unsupported{{"tarvik safety check: control['inla'] currently supports only {} overrides; found {}."}, KeysMessage::allowed_found};
inline constexpr Message vb_not_dict{"tarvik safety check: control['inla']['control_vb'] must be a dict."};
inline constexpr KeysMessage vb_unsupported{{"tarvik safety check: control['inla']['control_vb'] supports only {} keys; found {}."}, KeysMessage::allowed_found};
inline constexpr Message vb_strategy_refused{"tarvik safety check: control['inla']['control_vb']['strategy'] must be 'mean' or 'variance'; got '{}'."};
inline constexpr Message vb_hessian_refused{"tarvik safety check: control['inla']['control_vb']['hessian_strategy'] must be one of 'default', 'full', 'partial', 'diagonal'; got '{}'."};
// The key of the setting (strategy, int.strategy); then its choices, sorted
// and joined, and the value as given.
inline constexpr Message choice_not_text{"tarvik safety check: control['inla']['{}'] must be a string."};
inline constexpr Message choice_refused{"tarvik safety check: control['inla']['{}'] must be one of {}; got '{}'."};
inline constexpr Message link_family{"tarvik safety check: control.link is only allowed for gamma likelihoods."};
inline constexpr Message link_not_dict{"tarvik safety check: control.link configuration must be a dict."};
inline constexpr Message link_model_missing{"tarvik safety check: control.link['model'] must be specified."};
inline constexpr Message link_model_gammasurv{"tarvik safety check: only 'log', 'neglog', or 'quantile' control.link model is allowed for gammasurv."};
inline constexpr Message link_model_gamma{"tarvik safety check: only 'quantile' control.link model is allowed for gamma."};
inline constexpr Message link_quantile_missing{"tarvik safety check: control.link['quantile'] must be provided when model='quantile'."};
inline constexpr Message link_quantile_not_numeric{"tarvik safety check: quantile must be numeric."};
inline constexpr Message link_quantile_range{"tarvik safety check: quantile must be in (0,1)."};
inline constexpr Message compute_not_dict{"tarvik safety check: control['compute'] must be a dict if provided."};
inline constexpr KeysMessage compute_unsupported{{"tarvik safety check: unsupported keys in control['compute']: {}. Allowed: {}."}, KeysMessage::found_allowed};
inline constexpr Message compute_not_bool{"tarvik safety check: control['compute']['{}'] must be boolean."};
// clang-format on
} // namespace msg

// True when `text` quotes exactly the names of `names`, in their order, as
// an English list: 'a', 'b', 'c', or with `either` 'a' or 'b' and
// 'a', 'b', or 'c'. A message that names a table's choices in its words is
// checked against the table by the compiler.
template <size_t N>
constexpr bool quotes(std::string_view text,
                      const std::array<const char *, N> &names, bool either)
{
    char list[256] = {};
    size_t length = 0;
    auto add = [&](std::string_view piece) {
        for (char ch : piece) {
            list[length++] = ch;
        }
    };
    for (size_t i = 0; i < N; i++) {
        if (i > 0) {
            add(!either || i + 1 < N ? ", " : N == 2 ? " or " : ", or ");
        }
        add("'");
        add(names[i]);
        add("'");
    }
    size_t at = text.find(std::string_view(list, length));
    if (at == std::string_view::npos) {
        return false;
    }
    // Not part of a longer list: no quoted name right before or after.
    std::string_view before = text.substr(0, at);
    std::string_view after = text.substr(at + length);
    for (std::string_view link : {", '", " or '", ", or '"}) {
        std::string_view end = link.substr(0, link.size() - 1);
        if (after.substr(0, link.size()) == link ||
            (before.size() >= end.size() + 1 &&
             before.substr(before.size() - end.size()) == end &&
             before[before.size() - end.size() - 1] == '\'')) {
            return false;
        }
    }
    return true;
}

static_assert(quotes(msg::vb_strategy_refused.text, vb_strategy_names, true));
static_assert(quotes(msg::vb_hessian_refused.text, vb_hessian_names, false));
static_assert(quotes(msg::link_model_gammasurv.text, gammasurv_model_names,
                     true));
static_assert(quotes(msg::link_model_gamma.text, gamma_model_names, true));

// What a raise needs from the call it happens in.
struct CallContext {
    PyObject *globals;  // namespace where SafetyError is looked up first
    PyObject *builtins; // then these builtins (a dict)
    PyObject *families; // the exact tuple of family names
};

// The texts that fill a message's holes, in order: strs of the module's,
// or values of the caller's, which are formatted as str.format does.
using Fills = std::initializer_list<PyObject *>;

// Raises SafetyError(message), looked up as a global name of the call is,
// for a message without holes; false.
bool raise_safety_error(const CallContext &call, const Message &message);

// A SafetyError about to be raised with a message that shows the caller's
// objects: the name is looked up first, then the texts are made (which may
// run their __repr__ or __format__), as `raise SafetyError(...)` does.
class PendingSafetyError {
  public:
    explicit PendingSafetyError(const CallContext &call);
    // False when the name could not be found (NameError is set).
    explicit operator bool() const { return bool(error_class_); }
    // Raises `message` filled with `fills`; false.
    bool raise(const Message &message, Fills fills);

  private:
    Ref error_class_;
};

// PyErr_Format(type, format, ...), except that when the message itself
// cannot be made for lack of memory the MemoryError stays raised
// (PyErr_Format would raise `type` with no message instead); nullptr.
PyObject *raise_formatted(PyObject *type, const char *format, ...);

// Raises SafetyError(message filled with `fills`) as
// `raise SafetyError(...) from exc` does in an `except Exception as exc:`
// handler of the pending exception; false. An exception outside the
// Exception family (KeyboardInterrupt and the like) is left pending
// instead.
bool raise_from_pending(const CallContext &call, const Message &message,
                        Fills fills = {});

} // namespace tarvik

#endif
