// Interning the fixed names and words of the checks, once per process.
#include "tables.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

namespace tarvik {

int Table::find_text(const char *text, Py_ssize_t length) const
{
    for (int i = 0; i < count_; i++) {
        if (lengths_[i] == length &&
            std::memcmp(texts_[i], text, static_cast<size_t>(length)) == 0) {
            return i;
        }
    }
    return -1;
}

int Table::place_names()
{
    // Odd multipliers, drawn by a fixed sequence (splitmix64): with at most
    // 16 names in 64 buckets, about one in eight does.
    uint64_t state = 0;
    for (int tries = 0; tries < 100000; tries++) {
        uint64_t mixed = (state += 0x9E3779B97F4A7C15u);
        mixed = (mixed ^ (mixed >> 30)) * 0xBF58476D1CE4E5B9u;
        mixed = (mixed ^ (mixed >> 27)) * 0x94D049BB133111EBu;
        multiplier_ = (mixed ^ (mixed >> 31)) | 1;
        std::fill(std::begin(buckets_), std::end(buckets_), -1);
        int placed = 0;
        while (placed < count_ && buckets_[bucket_of(names_[placed])] < 0) {
            buckets_[bucket_of(names_[placed])] =
                static_cast<signed char>(placed);
            placed++;
        }
        if (placed == count_) {
            return 0;
        }
    }
    PyErr_SetString(PyExc_SystemError,
                    "no multiplier puts the names of a table apart");
    return -1;
}

int Table::init()
{
    if (sorted_) {
        return 0;
    }
    Ref listed = Ref::steal(PyList_New(count_));
    if (!listed) {
        return -1;
    }
    for (int i = 0; i < count_; i++) {
        if (!names_[i] &&
            !(names_[i] = PyUnicode_InternFromString(texts_[i]))) {
            return -1;
        }
        lengths_[i] = static_cast<Py_ssize_t>(std::strlen(texts_[i]));
        PyList_SET_ITEM(listed.get(), i, Py_NewRef(names_[i]));
    }
    if (place_names() < 0) {
        return -1;
    }
    // Made from the names in their order, as a set display of them is: a
    // set's iteration order follows from it (and the compute check visits
    // its switches in the order of an intersection with this set).
    if (!members_ && !(members_ = PyFrozenSet_New(listed.get()))) {
        return -1;
    }
    if (PyList_Sort(listed.get()) < 0) {
        return -1;
    }
    sorted_ = PyUnicode_Join(words.comma_blank, listed.get());
    return sorted_ ? 0 : -1;
}

int Table::init_all()
{
    for (Table *table = first_; table; table = table->next_) {
        if (table->init() < 0) {
            return -1;
        }
    }
    return 0;
}

int init_words()
{
    const std::pair<PyObject **, const char *> texts[] = {
        {&words.control, "control"}, {&words.get, "get"},
        {&words.keys, "keys"},       {&words.intersection, "intersection"},
        {&words.strip, "strip"},     {&words.lower, "lower"},
        {&words.replace, "replace"}, {&words.underscore, "_"},
        {&words.dot, "."},           {&words.comma_blank, ", "},
        {&words.empty, ""},          {&words.safety_error, "SafetyError"},
    };
    static_assert(sizeof texts / sizeof texts[0] ==
                      sizeof(Words) / sizeof(PyObject *),
                  "each word has its text");
    for (const auto &[word, text] : texts) {
        if (!*word && !(*word = PyUnicode_InternFromString(text))) {
            return -1;
        }
    }
    return 0;
}

} // namespace tarvik
