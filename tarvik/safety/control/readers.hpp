// Reading the caller's mappings and values for the rules of the checks.
//
// Each rule is written once, over a reader (control_structure.cpp,
// compute.cpp), and a call is decided by running the rules with the fast
// reader and, when it cannot decide, with the general reader from the
// start. Both readers offer the rules the same operations:
//
//   Value, Section<names>, Text  a value read, a mapping read as a section
//                               with the slots of a table, a normal form
//   value(obj)                  the Value of `obj`
//   section(table)              an empty Section for the names of `table`
//   read(v, &section)           `v` read as that section; other keys are
//                               allowed until
//   only(section, allowed, m)   refuses with `m`, listing them, the keys
//                               outside `allowed` (m: a KeysMessage)
//   get(section, slot)          section.get(name), None when missing
//   has(section, slot)          name in section                    (1/0/-1)
//   item(section, slot)         section[name]
//   each_entry(v, table, m, f)  f(r, key, v[key]) for each key of the
//                               mapping `v`, refused with `m` unless all are
//                               names of `table`, `r` the reader to use
//   is_none(v)
//   is_a(v, &PyDict_Type)       isinstance(v, dict), of any type  (1/0/-1)
//   truth(v), equals(v, number)                                    (1/0/-1)
//   normalize(v, dots, &text)   str(v).strip().lower() (and "_" read as ".")
//   normalize_or(..., m, name)  the same, a failed conversion refused with
//                               m, filled with name
//   in_order, in_set(text, t)   `text in` a tuple, a set of the names of t
//   differs(text, t, slot)      text != the name                   (1/0/-1)
//   number(v, &q, m)            float(v), a failed conversion refused with m
//   family_is(slot[, also])     some family of the call equals a name of
//                               gamma_families                     (1/0/-1)
//   refuse(m), refuse_showing(m, fills...)   raise SafetyError with m,
//                               filled with the strs or values given;
//                               return false
//
// A slot is the place of a name in its table (tables.hpp): a section takes
// the slots of its own table and of those it was joined from, no others.
//
// Stopping follows refs.hpp: an empty Value, false, or -1. In the fast
// reader any of them may stop with no error set: the call is then
// undecided, and the general reader decides it. Refusals do so too in the
// reader that each_entry() hands its visit (a DeferringReader): a key read
// later in that one pass may be refused first.
#ifndef TARVIK_SAFETY_CONTROL_READERS_HPP
#define TARVIK_SAFETY_CONTROL_READERS_HPP

#include "compat.hpp"
#include "counts.hpp"
#include "messages.hpp"
#include "text.hpp"

#include <cstdint>
#include <utility>

namespace tarvik {

// True when every key of `mapping` (owned by the caller) is a name of
// `allowed`; else raises `message` listing the others, sorted by their text
// (str keys as themselves, other keys by repr()) and joined with ", ", and
// returns false.
bool only_allowed_keys(const CallContext &call, PyObject *mapping,
                       const Table &allowed, const KeysMessage &message);

// The call's namespaces owned while the caller's code runs: raising a
// SafetyError runs it too (its lookup, its constructor).
class OwnedCall {
  public:
    explicit OwnedCall(const CallContext &call)
        : globals_(Ref::borrow(call.globals)),
          builtins_(Ref::borrow(call.builtins)), call_{globals_.get(),
                                                       builtins_.get(),
                                                       call.families}
    {}
    const CallContext &get() const { return call_; }

  private:
    Ref globals_;
    Ref builtins_;
    CallContext call_;
};

using FamilySlot = Slot<gamma_family_names>;

class DeferringReader;

// Decides calls made of exact types without running any Python code until
// it refuses: exact dicts keyed by exact strs, each read in one pass into
// the slots of its table; exact str, float, bool and int values; a tuple of
// exact str families. It accepts, or raises the SafetyError of a broken rule
// whose message shows nothing of the caller's but exact strs (which
// formatting asks nothing), having read what the general reader would read
// up to there. At anything else (anything it cannot judge or show without
// asking the object itself) it stops with no error set and the call
// undecided. Its values are borrowed: nothing can change them while no
// Python code runs, and what a refusal shows is owned before it starts.
class FastReader {
  public:
    using Value = PyObject *;
    template <const auto &List>
    struct Section {
        explicit Section(const TableOf<List> &of) : table(&of) {}
        PyObject *mapping = nullptr;
        const TableOf<List> *table;
        uint32_t present = 0; // bit i: the mapping holds the name of slot i
        bool others = false;  // it holds keys outside the table too
        PyObject *values[List.size()]; // of the names present
    };
    // A value's normal form, made only when a test needs it.
    struct Text {
        PyObject *source;
        bool dots;
        mutable bool made;
        mutable AsciiText ascii;
    };

    explicit FastReader(const CallContext &call) : call_(call) {}

    static Value value(PyObject *obj) { return obj; }
    template <const auto &List>
    static Section<List> section(const TableOf<List> &table)
    {
        return Section<List>(table);
    }
    template <const auto &List>
    bool read(Value mapping, Section<List> *section) const;
    template <const auto &List>
    bool only(const Section<List> &section, const Table &allowed,
              const KeysMessage &message) const
    {
        if (!section.others &&
            (&allowed == section.table ||
             only_present(section.present, *section.table, allowed))) {
            return true;
        }
        return refuse_keys(section.mapping, allowed, message);
    }
    template <const auto &List, const auto &Part>
    Value get(const Section<List> &section, Slot<Part> slot) const
    {
        int i = index_in<List>(slot);
        return (section.present >> i) & 1 ? section.values[i] : Py_None;
    }
    template <const auto &List, const auto &Part>
    int has(const Section<List> &section, Slot<Part> slot) const
    {
        return (section.present >> index_in<List>(slot)) & 1;
    }
    template <const auto &List, const auto &Part>
    Value item(const Section<List> &section, Slot<Part> slot) const
    {
        return section.values[index_in<List>(slot)];
    }
    // One pass, visiting each entry as it is read, with a DeferringReader.
    // Past a key outside the table, the pass only reads on, to list the
    // keys.
    template <class Visit>
    bool each_entry(Value mapping, const Table &table,
                    const KeysMessage &message, Visit &&visit) const;

    static bool is_none(Value value) { return value == Py_None; }
    // By its type alone, which runs no Python code; no only for a plain
    // value, which cannot claim another class by its __class__.
    int is_a(Value value, PyTypeObject *type) const
    {
        if (Py_IS_TYPE(value, type)) {
            return 1;
        }
        if (plain(value)) { // of these, only bool is another's subclass
            return PyBool_Check(value) && type == &PyLong_Type;
        }
        return PyType_IsSubtype(Py_TYPE(value), type) ? 1 : -1;
    }
    int truth(Value value) const
    {
        if (PyDict_CheckExact(value)) {
            return PyDict_GET_SIZE(value) != 0;
        }
        return plain(value) ? PyObject_IsTrue(value) : -1;
    }
    int equals(Value value, long number) const
    {
        if (!PyLong_CheckExact(value)) {
            return -1;
        }
        int overflow = 0;
        long got = PyLong_AsLongAndOverflow(value, &overflow);
        return !overflow && got == number;
    }

    bool normalize(Value value, bool dots, Text *text) const
    {
        // The buffer is written only when a test needs the normal form.
        text->source = value;
        text->dots = dots;
        text->made = false;
        return PyUnicode_CheckExact(value);
    }
    bool normalize_or(Value value, bool dots, Text *text, const Message &,
                      PyObject *) const
    {
        return normalize(value, dots, text);
    }
    int in_order(const Text &text, const Table &table) const
    {
        // A value that is one of the names (an interned literal) is its
        // own normal form.
        if (table.find_object(text.source) >= 0) {
            return 1;
        }
        return made(text) ? text.ascii.find(table) >= 0 : -1;
    }
    int in_set(const Text &text, const Table &table) const
    {
        return in_order(text, table);
    }
    template <const auto &List, const auto &Part>
    int differs(const Text &text, const TableOf<List> &table,
                Slot<Part> slot) const
    {
        if (text.source == table.name(slot)) {
            return 0;
        }
        return made(text) ? text.ascii.find(table) != index_in<List>(slot)
                          : -1;
    }
    bool number(Value value, double *q, const Message &not_numeric) const;
    int family_is(FamilySlot slot) const { return family_is(slot, slot); }
    int family_is(FamilySlot slot, FamilySlot also) const;

    TARVIK_COLD bool refuse(const Message &message) const;
    // Raises `message` filled with `fills` when each is an exact str, whose
    // text formatting takes as it is; else leaves the call undecided.
    template <class... Fill>
    bool refuse_showing(const Message &message, Fill... fills) const
    {
        return refuse_showing_strs(message, {fills...});
    }

  protected:
    // float() of an exact float or str, into *q: false, with the error of a
    // failed conversion set, or with none for another kind of value.
    static bool convert(Value value, double *q);

    const CallContext &call_;

  private:
    // One pass over an exact dict keyed by exact strs: on(slot, key, value)
    // for each entry, its key's slot in `table` or -1, while it says true.
    template <class On>
    TARVIK_ALWAYS_INLINE static bool scan(PyObject *mapping,
                                          const Table &table, On &&on)
    {
        if (!PyDict_CheckExact(mapping)) {
            return false;
        }
        // Counted, to spare the call that would find the end.
        Py_ssize_t size = PyDict_GET_SIZE(mapping);
        Py_ssize_t pos = 0;
        PyObject *key;
        PyObject *value;
        for (Py_ssize_t i = 0;
             i < size && PyDict_Next(mapping, &pos, &key, &value); i++) {
            int slot = table.find_object(key);
            if (slot < 0) {
                // Another kind of key could equal a name by its own __eq__.
                if (!PyUnicode_CheckExact(key)) {
                    return false;
                }
                slot = table.find_by_text(key);
            }
            if (!on(slot, key, value)) {
                return false;
            }
        }
        return true;
    }
    // Every key present, the names of `table` in `present`, is a name of
    // `allowed`.
    static bool only_present(uint32_t present, const Table &table,
                             const Table &allowed)
    {
        for (uint32_t bits = present; bits; bits &= bits - 1) {
            if (allowed.find_object(table.name(lowest_bit(bits))) < 0) {
                return false;
            }
        }
        return true;
    }
    static bool made(const Text &text)
    {
        if (!text.made) {
            text.made = text.ascii.assign(text.source, text.dots);
        }
        return text.made;
    }
    // Of a type whose tests and truth value run no Python code.
    static bool plain(PyObject *value)
    {
        PyTypeObject *type = Py_TYPE(value);
        return value == Py_None || type == &PyUnicode_Type ||
               type == &PyDict_Type || type == &PyList_Type ||
               type == &PyTuple_Type || type == &PyLong_Type ||
               type == &PyBool_Type || type == &PyFloat_Type;
    }
    // Out of line, as refusals are: written in the rules, their code
    // costs accepted calls too.
    TARVIK_COLD bool refuse_showing_strs(const Message &message,
                                         Fills fills) const;
    // Raises `message` listing the keys of `mapping` outside `allowed`.
    TARVIK_COLD bool refuse_keys(PyObject *mapping, const Table &allowed,
                                 const KeysMessage &message) const;

    // Bit i: a family of the call is the name of gamma_families' slot i;
    // -1 until a test asks.
    mutable int families_ = -1;
};

// The fast reader that each_entry() hands the visit of each entry: while a
// mapping is read in one pass, a key read later may be unsupported, and
// that refusal comes first, so each refusal met on the way leaves the call
// undecided (false, no error set) instead of raising.
class DeferringReader : public FastReader {
  public:
    using FastReader::FastReader;

    static bool refuse(const Message &) { return false; }
    template <class... Fill>
    static bool refuse_showing(const Message &, Fill...)
    {
        return false;
    }
    bool number(Value value, double *q, const Message &) const
    {
        if (convert(value, q)) {
            return true;
        }
        PyErr_Clear(); // the general reader converts it again
        return false;
    }
};

// Inlined where each section is read, with its one pass (scan()): a call
// for each costs the typical call about a seventh more (bench).
template <const auto &List>
TARVIK_ALWAYS_INLINE bool FastReader::read(PyObject *mapping,
                                           Section<List> *section) const
{
    static_assert(List.size() <= max_names, "the names fit in `present`");
    section->mapping = mapping;
    section->present = 0;
    section->others = false;
    return scan(mapping, *section->table,
                [&](int slot, PyObject *, PyObject *value) {
                    if (slot < 0) {
                        section->others = true;
                    }
                    else {
                        section->present |= uint32_t{1} << slot;
                        section->values[slot] = value;
                    }
                    return true;
                });
}

template <class Visit>
bool FastReader::each_entry(Value mapping, const Table &table,
                            const KeysMessage &message, Visit &&visit) const
{
    DeferringReader deferring(call_);
    bool others = false;
    bool read =
        scan(mapping, table, [&](int slot, PyObject *key, PyObject *value) {
            if (slot < 0) {
                others = true;
                return true;
            }
            return others || visit(deferring, key, value);
        });
    return read && (!others || refuse_keys(mapping, table, message));
}

inline int FastReader::family_is(FamilySlot slot, FamilySlot also) const
{
    // The families are exact strs, whose equality asks nothing of them:
    // looked at once a call, however many tests ask.
    if (families_ < 0) {
        PyObject *families = call_.families;
        Py_ssize_t count = PyTuple_GET_SIZE(families);
        int found = 0;
        for (Py_ssize_t i = 0; i < count; i++) {
            PyObject *family = PyTuple_GET_ITEM(families, i);
            if (!PyUnicode_CheckExact(family)) {
                return -1;
            }
            int name = gamma_families.find(family);
            if (name >= 0) {
                found |= 1 << name;
            }
        }
        families_ = found;
    }
    return (families_ >> slot.index & 1) || (families_ >> also.index & 1);
}

// Reads everything through the objects' own methods (get, keys,
// __contains__, item lookup, truth test, str(), float(), ==), owns what it
// holds, and stops with an exception set: the SafetyError of the broken
// rule, or whatever the caller's own objects raised.
class GeneralReader {
  public:
    using Value = Ref;
    template <const auto &List>
    struct Section {
        explicit Section(const TableOf<List> &of) : table(&of) {}
        Ref mapping;
        const TableOf<List> *table;
    };
    using Text = NormalizedText;

    explicit GeneralReader(const CallContext &call) : call_(call) {}

    static Value value(PyObject *obj) { return Ref::borrow(obj); }
    template <const auto &List>
    static Section<List> section(const TableOf<List> &table)
    {
        return Section<List>(table);
    }
    template <const auto &List>
    bool read(const Value &mapping, Section<List> *section) const
    {
        section->mapping = Ref::borrow(mapping.get());
        return true;
    }
    template <const auto &List>
    bool only(const Section<List> &section, const Table &allowed,
              const KeysMessage &message) const
    {
        return only_allowed_keys(call_, section.mapping.get(), allowed,
                                 message);
    }
    template <const auto &List, const auto &Part>
    Value get(const Section<List> &section, Slot<Part> slot) const
    {
        return get(section.mapping.get(), section.table->name(slot));
    }
    template <const auto &List, const auto &Part>
    int has(const Section<List> &section, Slot<Part> slot) const
    {
        return PySequence_Contains(section.mapping.get(),
                                   section.table->name(slot));
    }
    template <const auto &List, const auto &Part>
    Value item(const Section<List> &section, Slot<Part> slot) const
    {
        return Ref::steal(PyObject_GetItem(section.mapping.get(),
                                           section.table->name(slot)));
    }
    // Each key of the table that a second keys() holds, in the order of
    // their intersection, visited with its value by item lookup.
    template <class Visit>
    bool each_entry(const Value &mapping, const Table &table,
                    const KeysMessage &message, Visit &&visit) const
    {
        if (!only_allowed_keys(call_, mapping.get(), table, message)) {
            return false;
        }
        Ref present = present_keys(mapping.get(), table);
        while (present) {
            Ref key = Ref::steal(PyIter_Next(present.get()));
            if (!key) {
                return !PyErr_Occurred();
            }
            Ref item = Ref::steal(PyObject_GetItem(mapping.get(), key.get()));
            if (!item || !visit(*this, key, item)) {
                return false;
            }
        }
        return false;
    }

    static bool is_none(const Value &value) { return value.get() == Py_None; }
    // isinstance(v, type), the type's own subclass test first. Like
    // isinstance, it believes a __class__ that claims the type.
    int is_a(const Value &value, PyTypeObject *type) const
    {
        PyObject *obj = value.get();
        return PyObject_TypeCheck(obj, type)
                   ? 1
                   : PyObject_IsInstance(obj,
                                         reinterpret_cast<PyObject *>(type));
    }
    int truth(const Value &value) const
    {
        return PyObject_IsTrue(value.get());
    }
    int equals(const Value &value, long number) const;

    bool normalize(const Value &value, bool dots, Text *text) const
    {
        return text->assign(value.get(), dots) == 0;
    }
    bool normalize_or(const Value &value, bool dots, Text *text,
                      const Message &not_text, PyObject *name) const;
    int in_order(const Text &text, const Table &table) const
    {
        return text.in_order(table);
    }
    int in_set(const Text &text, const Table &table) const
    {
        return text.in_set(table);
    }
    template <const auto &List, const auto &Part>
    int differs(const Text &text, const TableOf<List> &table,
                Slot<Part> slot) const
    {
        return text.differs(table.name(slot));
    }
    bool number(const Value &value, double *q,
                const Message &not_numeric) const;
    int family_is(FamilySlot slot) const { return family_is(slot, slot); }
    int family_is(FamilySlot slot, FamilySlot also) const;

    bool refuse(const Message &message) const
    {
        return raise_safety_error(call_, message);
    }
    template <class... Fill>
    bool refuse_showing(const Message &message, const Fill &...fills) const
    {
        PendingSafetyError error(call_);
        return error && error.raise(message, {object_of(fills)...});
    }

  private:
    static PyObject *object_of(PyObject *obj) { return obj; }
    static PyObject *object_of(const Ref &obj) { return obj.get(); }
    // mapping.get(name)
    Value get(PyObject *mapping, PyObject *name) const;
    // An iterator over the names of `table` that a second keys() of
    // `mapping` holds, in the order of their intersection.
    Ref present_keys(PyObject *mapping, const Table &table) const;

    const CallContext &call_;
};

// True when `test` said yes; refuses with `message` when it said no.
template <class R>
bool expect(R &r, int test, const Message &message)
{
    return test > 0 || (test == 0 && r.refuse(message));
}

// Decides a call by `check(reader, control)`: with the fast reader, then,
// if it could not decide, with the general reader from the start; nothing
// observable has happened before it. True when the call is accepted, false
// with an exception set. `control` is owned by the caller.
template <class Check>
bool decide(const CallContext &call, PyObject *control, Check &&check)
{
    // A build with TARVIK_GENERAL_READER defined (setup.py) leaves every
    // call to the general reader, so that the whole suite runs through it.
#ifndef TARVIK_GENERAL_READER
    FastReader fast(call);
    if (check(fast, control)) {
        return true;
    }
    if (PyErr_Occurred()) {
        return false; // refused
    }
#ifdef TARVIK_COUNT_PATHS
    path_counts.deferred++;
#endif
#endif
    OwnedCall owned_call(call);
    // The caller's own methods can call a check again with no Python frame
    // in between.
    if (enter_recursive_call() < 0) {
        return false;
    }
    GeneralReader general(owned_call.get());
    bool accepted = check(general, control);
    Py_LeaveRecursiveCall();
    return accepted;
}

} // namespace tarvik

#endif
