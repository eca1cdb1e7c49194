// The fixed names of the checks: the keys each section accepts and the
// choices of each setting, each written once, with the keys a check reads
// named by slots that the compiler finds in their table.
#ifndef TARVIK_SAFETY_CONTROL_TABLES_HPP
#define TARVIK_SAFETY_CONTROL_TABLES_HPP

#include "refs.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tarvik {

// Most names a table holds: a section read in one pass marks the names it
// holds in the bits of 32.
inline constexpr size_t max_names = 32;

// Not constexpr (and defined nowhere), so that a slot looked up in a table
// that lacks its name stops the build.
int name_not_in_table();

// The place of `text` among `texts`, found by the compiler where a constant
// is needed.
template <size_t N>
constexpr int slot_of(const std::array<const char *, N> &texts,
                      std::string_view text)
{
    for (size_t i = 0; i < N; i++) {
        if (std::string_view(texts[i]) == text) {
            return static_cast<int>(i);
        }
    }
    return name_not_in_table();
}

// The names of `first`, then those of `second`.
template <size_t N, size_t M>
constexpr std::array<const char *, N + M>
joined(const std::array<const char *, N> &first,
       const std::array<const char *, M> &second)
{
    std::array<const char *, N + M> both{};
    for (size_t i = 0; i < N; i++) {
        both[i] = first[i];
    }
    for (size_t i = 0; i < M; i++) {
        both[N + i] = second[i];
    }
    return both;
}

// The place of a name in the table of the names `List`, a constant array of
// namespace scope: slot<top_names>("family").
template <const auto &List>
struct Slot {
    int index;
};
template <const auto &List>
constexpr Slot<List> slot(std::string_view text)
{
    return {slot_of(List, text)};
}

// Where the names of `Part` begin among those of `List`. A table made by
// joined() holds those of each part in their order, so their slots stand for
// the same names in it; a slot of a table of other names does not compile.
template <const auto &Part, const auto &List>
constexpr int offset_of()
{
    for (size_t at = 0; at + Part.size() <= List.size(); at++) {
        size_t i = 0;
        while (i < Part.size() &&
               std::string_view(List[at + i]) == std::string_view(Part[i])) {
            i++;
        }
        if (i == Part.size()) {
            return static_cast<int>(at);
        }
    }
    return name_not_in_table();
}
template <const auto &List, const auto &Part>
constexpr int index_in(Slot<Part> slot)
{
    constexpr int offset = offset_of<Part, List>();
    return slot.index + offset;
}

// A fixed set of names, in the order written: the keys a section accepts or
// the choices of a setting. Each table is listed as it is defined, and
// Table::init_all() interns the names of all of them once per process,
// kept for its life.
class Table {
  public:
    template <size_t N>
    explicit Table(const std::array<const char *, N> &texts)
        : texts_(texts.data()), count_(static_cast<int>(N)), next_(first_)
    {
        static_assert(N <= max_names, "more names than max_names");
        first_ = this;
    }
    Table(const Table &) = delete;
    Table &operator=(const Table &) = delete;

    int count() const { return count_; }
    // The interned name: the very object of a key that Python source
    // writes as an identifier.
    PyObject *name(int slot) const { return names_[slot]; }
    // The names as a frozenset, for the general path.
    PyObject *members() const { return members_; }
    // Sorted by code point and joined with ", ", as messages list them.
    PyObject *sorted() const { return sorted_; }

    // Slot of `key`, an exact str, or -1: by identity first (the compiler
    // interns keys written as identifiers, and the names are those very
    // objects), then by text. Runs no Python code and sets no error.
    int find(PyObject *key) const
    {
        int slot = find_object(key);
        return slot >= 0 ? slot : find_by_text(key);
    }
    // Slot of the name spelled as `key`, an exact str, or -1.
    int find_by_text(PyObject *key) const
    {
        if (PyUnicode_READY(key) < 0) {
            PyErr_Clear(); // out of memory: the general path will say so
            return -1;
        }
        // The names are ASCII. A str equal to one (by ==, which compares
        // the storage kinds, then the bytes) is stored one byte a character,
        // though not always flagged ASCII: the C API lets an extension make
        // it with a wider maximum character.
        return PyUnicode_KIND(key) == PyUnicode_1BYTE_KIND
                   ? find_text(reinterpret_cast<const char *>(
                                   PyUnicode_1BYTE_DATA(key)),
                               PyUnicode_GET_LENGTH(key))
                   : -1;
    }
    // Slot of the str object `key` itself among the names, or -1. Its
    // address picks a bucket, which holds the one name that can be it: a
    // dict's keys in another order than the table's cost no scan (the
    // typical compute call a tenth less, bench).
    int find_object(PyObject *key) const
    {
        int slot = buckets_[bucket_of(key)];
        return slot >= 0 && names_[slot] == key ? slot : -1;
    }
    // Slot of the name spelled `text` (`length` bytes), or -1.
    int find_text(const char *text, Py_ssize_t length) const;

    // Interns the names of every table, once the words are: 0, or -1 with
    // an error set. Safe to call again.
    static int init_all();

  private:
    // Twice as many buckets as names at the most: a multiplier that puts
    // each name in its own is found in a few dozen tries.
    static constexpr int bucket_bits = 7;

    int init();
    // Chooses the multiplier that puts each name in a bucket of its own.
    int place_names();
    int bucket_of(PyObject *key) const
    {
        return static_cast<int>(
            (static_cast<uint64_t>(reinterpret_cast<uintptr_t>(key)) *
             multiplier_) >>
            (64 - bucket_bits));
    }

    const char *const *texts_;
    int count_;
    Table *next_;
    Py_ssize_t lengths_[max_names] = {};
    PyObject *names_[max_names] = {};
    uint64_t multiplier_ = 0;
    signed char buckets_[1 << bucket_bits] = {}; // a slot, or -1
    PyObject *members_ = nullptr;
    PyObject *sorted_ = nullptr;
    // The last table defined; each lists the one defined before it.
    static inline Table *first_ = nullptr;
};

// The table of the names `List`, whose slots it takes: those of its own, and
// of the tables it was joined from.
template <const auto &List>
class TableOf : public Table {
  public:
    TableOf() : Table(List) {}
    template <const auto &Part>
    PyObject *name(Slot<Part> slot) const
    {
        return Table::name(index_in<List>(slot));
    }
};

// --- keys of the sections -------------------------------------------------

// control: its sections; the checks read the first four.
inline constexpr std::array top_names{
    "family", "predictor", "inla",    "compute",        "fixed",    "mode",
    "expert", "hazard",    "lincomb", "update",         "lp_scale", "pardiso",
    "stiles", "taucs",     "numa",    "only_hyperparam"};
inline TableOf<top_names> top_keys;
namespace top {
inline constexpr auto family = slot<top_names>("family");
inline constexpr auto predictor = slot<top_names>("predictor");
inline constexpr auto inla = slot<top_names>("inla");
inline constexpr auto compute = slot<top_names>("compute");
} // namespace top

// The keys under which a family block or the predictor section carries a
// link configuration, the first preferred.
inline constexpr std::array link_names{"control.link", "control_link"};
inline TableOf<link_names> link_keys;
namespace link_key {
inline constexpr auto preferred = slot<link_names>("control.link");
inline constexpr auto fallback = slot<link_names>("control_link");
} // namespace link_key

// control['predictor']: its keys, and the same with the link keys, which it
// accepts when it carries a link configuration.
inline constexpr std::array predictor_names{"compute", "link"};
inline TableOf<predictor_names> predictor_keys;
inline constexpr auto predictor_link_names =
    joined(predictor_names, link_names);
inline TableOf<predictor_link_names> predictor_link_keys;
namespace predictor {
inline constexpr auto compute = slot<predictor_names>("compute");
} // namespace predictor

// A link configuration: the keys the checks read (any others are allowed).
inline constexpr std::array configuration_names{"model", "quantile"};
inline TableOf<configuration_names> configuration_keys;
namespace configuration {
inline constexpr auto model = slot<configuration_names>("model");
inline constexpr auto quantile = slot<configuration_names>("quantile");
} // namespace configuration

// control['inla']
inline constexpr std::array inla_names{
    "strategy", "int.strategy", "int_strategy", "control_vb", "adaptive_max"};
inline TableOf<inla_names> inla_keys;
namespace inla {
inline constexpr auto strategy = slot<inla_names>("strategy");
inline constexpr auto int_dot_strategy = slot<inla_names>("int.strategy");
// Read only when int.strategy is missing or None.
inline constexpr auto int_underscore_strategy =
    slot<inla_names>("int_strategy");
inline constexpr auto control_vb = slot<inla_names>("control_vb");
} // namespace inla

// control['inla']['control_vb']
inline constexpr std::array vb_names{
    "strategy",       "hessian_strategy", "enable",         "iter_max",
    "hessian_update", "verbose",          "f_enable_limit", "emergency"};
inline TableOf<vb_names> vb_keys;
namespace vb {
inline constexpr auto strategy = slot<vb_names>("strategy");
inline constexpr auto hessian_strategy = slot<vb_names>("hessian_strategy");
} // namespace vb

// control['compute']: the switches. The check visits them in the order of
// a set made from these.
inline constexpr std::array compute_names{"config",
                                          "dic",
                                          "cpo",
                                          "mlik",
                                          "return_marginals",
                                          "return_marginals_predictor",
                                          "waic",
                                          "po"};
inline TableOf<compute_names> compute_keys;

// --- values -----------------------------------------------------------------

// Choices, in their normal form (stripped, lower case, "." as separator).
inline constexpr std::array strategy_names{
    "auto", "gaussian", "simplified.laplace", "laplace", "adaptive"};
inline TableOf<strategy_names> strategy_choices;
inline constexpr std::array int_strategy_names{"auto", "ccd",  "grid",
                                               "eb",   "user", "user.std"};
inline TableOf<int_strategy_names> int_strategy_choices;
inline constexpr std::array vb_strategy_names{"mean", "variance"};
inline TableOf<vb_strategy_names> vb_strategy_choices;
inline constexpr std::array vb_hessian_names{"default", "full", "partial",
                                             "diagonal"};
inline TableOf<vb_hessian_names> vb_hessian_choices;

// Link models: the one of a gamma family, the others of a survival family,
// which need no quantile, and all those of a survival family.
inline constexpr std::array gamma_model_names{"quantile"};
inline TableOf<gamma_model_names> gamma_models;
inline constexpr auto quantile_model = slot<gamma_model_names>("quantile");
inline constexpr std::array unquantiled_model_names{"log", "neglog"};
inline TableOf<unquantiled_model_names> unquantiled_models;
inline constexpr auto gammasurv_model_names =
    joined(unquantiled_model_names, gamma_model_names);
inline TableOf<gammasurv_model_names> gammasurv_models;

// The likelihood families that allow a link configuration, gamma tested
// first, and the survival one among them.
inline constexpr std::array gamma_family_names{"gamma", "gammasurv"};
inline TableOf<gamma_family_names> gamma_families;
namespace family {
inline constexpr auto gamma = slot<gamma_family_names>("gamma");
inline constexpr auto gammasurv = slot<gamma_family_names>("gammasurv");
} // namespace family

// --- other names ------------------------------------------------------------

// Method names and small texts the checks use, interned once per process
// (init_words()) and kept for its life.
struct Words {
    PyObject *control; // kwargs["control"]
    PyObject *get;     // the methods called on the caller's objects
    PyObject *keys;
    PyObject *intersection; // of a table's names with a section's keys
    PyObject *strip;        // the normal form of a choice
    PyObject *lower;
    PyObject *replace;
    PyObject *underscore;
    PyObject *dot;
    PyObject *comma_blank;  // joining a list of keys
    PyObject *empty;        // joining a message
    PyObject *safety_error; // the global name of the exception raised
};
inline Words words;

// 0, or -1 with an error set. Safe to call again.
int init_words();

} // namespace tarvik

#endif
