// The text a choice is compared by: str(value).strip().lower(), and with
// "_" read as "." for the choices of control['inla'].
#ifndef TARVIK_SAFETY_CONTROL_TEXT_HPP
#define TARVIK_SAFETY_CONTROL_TEXT_HPP

#include "tables.hpp"

namespace tarvik {

// The normal form of an exact str that is all ASCII, the usual setting,
// made in a buffer without making any object: the checks then accept a
// call without allocating anything, which the benchmark shows is worth it
// on every call that carries a choice written as users write them.
struct AsciiText {
    static constexpr Py_ssize_t capacity = 64;

    // False when `text` is not such a str or its normal form would not fit.
    // Runs no Python code and sets no error.
    bool assign(PyObject *text, bool dots);
    // Slot of the name of `table` it equals, or -1.
    int find(const Table &table) const
    {
        return table.find_text(buffer, length);
    }

    char buffer[capacity];
    Py_ssize_t length = 0;
};

// The normal form of any value, through its own str() and the str methods
// called by name (so a str subclass that str() returned answers itself).
class NormalizedText {
  public:
    // 0, or -1 with the conversion's error set.
    int assign(PyObject *value, bool dots);
    // Equal to one of the names of `table`, compared in their order as `in`
    // a tuple does: 1, 0 or -1.
    int in_order(const Table &table) const;
    // A member of `table`, as `in` a set tests: 1, 0 or -1.
    int in_set(const Table &table) const;
    // `text != name`: 1, 0 or -1.
    int differs(PyObject *name) const;

  private:
    bool ascii_ = false;
    AsciiText ascii_text_;
    Ref text_;
};

} // namespace tarvik

#endif
