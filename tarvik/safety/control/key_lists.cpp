// The keys of a section outside the ones it accepts, and the form in which
// a message lists them.
#include "readers.hpp"

namespace tarvik {

namespace {

// Strong references kept in memory that no Python code can reach, released
// with their owner.
class PrivateRefs {
  public:
    explicit PrivateRefs(Py_ssize_t count)
        : items_(static_cast<PyObject **>(
              PyMem_Calloc(static_cast<size_t>(count > 0 ? count : 1),
                           sizeof(PyObject *)))),
          count_(count)
    {}
    PrivateRefs(const PrivateRefs &) = delete;
    PrivateRefs &operator=(const PrivateRefs &) = delete;
    ~PrivateRefs()
    {
        if (items_) {
            for (Py_ssize_t i = 0; i < count_; i++) {
                Py_XDECREF(items_[i]);
            }
            PyMem_Free(items_);
        }
    }
    explicit operator bool() const { return items_ != nullptr; }
    PyObject *&operator[](Py_ssize_t i) { return items_[i]; }

  private:
    PyObject **items_;
    Py_ssize_t count_;
};

// unsupported_keys() of an exact dict keyed by exact strs, which is its own
// keys() and whose keys are told from the names without running Python
// code: read directly, without the sets, which would make such a refusal
// cost half as much again (bench). False for a dict with another kind of
// key.
bool exact_unsupported_keys(PyObject *dict, const Table &allowed, Ref *extra)
{
    // Counted first, making nothing: a section mostly holds allowed keys.
    Py_ssize_t pos = 0;
    PyObject *key;
    PyObject *value;
    Py_ssize_t count = 0;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            return false;
        }
        count += allowed.find(key) < 0;
    }
    if (count == 0) {
        *extra = Ref::steal(PyTuple_New(0)); // the empty tuple: no new object
        return true;
    }
    // Held where no Python code reaches them until the tuple is made: making
    // it can start the collector, whose callbacks and finalisers can change
    // the dict and find any list of ours. Until then nothing runs, so the
    // second pass finds the same keys.
    PrivateRefs keys(count);
    if (!keys) {
        PyErr_NoMemory();
        return true;
    }
    pos = 0;
    for (Py_ssize_t found = 0;
         found < count && PyDict_Next(dict, &pos, &key, &value);) {
        if (allowed.find(key) < 0) {
            keys[found++] = Py_NewRef(key);
        }
    }
    *extra = Ref::steal(PyTuple_New(count));
    for (Py_ssize_t i = 0; *extra && i < count; i++) {
        PyTuple_SET_ITEM(extra->get(), i, keys[i]);
        keys[i] = nullptr;
    }
    return true;
}

// set(mapping.keys()) - allowed, as a tuple, empty when every key is
// allowed.
Ref unsupported_keys(PyObject *mapping, const Table &allowed)
{
    Ref extra;
    if (PyDict_CheckExact(mapping) &&
        exact_unsupported_keys(mapping, allowed, &extra)) {
        return extra;
    }
    // As frozensets: the keys' __hash__ and __eq__ run while they are made
    // and compared, and may find them (gc.get_referrers) but not change
    // them.
    Ref keys = Ref::steal(PyObject_CallMethodNoArgs(mapping, words.keys));
    Ref key_set = keys ? Ref::steal(PyFrozenSet_New(keys.get())) : Ref();
    Ref difference =
        key_set
            ? Ref::steal(PyNumber_Subtract(key_set.get(), allowed.members()))
            : Ref();
    return difference ? Ref::steal(PySequence_Tuple(difference.get())) : Ref();
}

// Message form of a tuple of keys: str keys as themselves, other keys by
// repr(), sorted by that text and joined with ", ".
Ref key_list_text(PyObject *keys)
{
    // A key's __repr__ may run code that finds and changes any list or set
    // made here (gc.get_referrers hands them out): the keys come as a
    // tuple, and their texts are kept out of reach until all are made.
    Py_ssize_t count = PyTuple_GET_SIZE(keys);
    PrivateRefs texts(count);
    if (!texts) {
        PyErr_NoMemory();
        return Ref();
    }
    for (Py_ssize_t i = 0; i < count; i++) {
        PyObject *key = PyTuple_GET_ITEM(keys, i); // held by the tuple
        Ref shown = PyUnicode_Check(key) ? Ref::borrow(key)
                                         : Ref::steal(PyObject_Repr(key));
        // Exact str copies sort by code point with no user code involved.
        texts[i] = shown ? PyUnicode_FromObject(shown.get()) : nullptr;
        if (!texts[i]) {
            return Ref();
        }
    }
    // From here on no Python code runs until the text is made.
    Ref listed = Ref::steal(PyList_New(count));
    if (!listed) {
        return Ref();
    }
    for (Py_ssize_t i = 0; i < count; i++) {
        PyList_SET_ITEM(listed.get(), i, texts[i]);
        texts[i] = nullptr;
    }
    if (PyList_Sort(listed.get()) < 0) {
        return Ref();
    }
    return Ref::steal(PyUnicode_Join(words.comma_blank, listed.get()));
}

} // namespace

bool only_allowed_keys(const CallContext &call, PyObject *mapping,
                       const Table &allowed, const KeysMessage &message)
{
    Ref extra = unsupported_keys(mapping, allowed);
    if (!extra) {
        return false;
    }
    if (PyTuple_GET_SIZE(extra.get()) == 0) {
        return true;
    }
    PendingSafetyError error(call);
    Ref found = error ? key_list_text(extra.get()) : Ref();
    if (!found) {
        return false;
    }
    switch (message.holes) {
    case KeysMessage::found:
        return error.raise(message, {found.get()});
    case KeysMessage::found_allowed:
        return error.raise(message, {found.get(), allowed.sorted()});
    case KeysMessage::allowed_found:
        return error.raise(message, {allowed.sorted(), found.get()});
    }
    return false;
}

} // namespace tarvik
