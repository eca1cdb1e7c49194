// Reference ownership, and how every function of the module says it stopped.
//
// Ownership:
// - A function that returns a new reference returns `Ref`.
// - A raw `PyObject *` parameter is borrowed from the caller for the length
//   of the call. It must not be kept across anything that can run Python
//   code (str(), repr(), ==, hash, truth tests, format, float(), a mapping's
//   own get/keys/__contains__/__getitem__, or an allocation that starts the
//   garbage collector) unless it is owned: `Ref::borrow`.
//
// Stopping, the one convention of every source file:
// - `Ref`: empty when the function stopped.
// - `bool`: false when it stopped, true when it went through (a rule held).
// - `int`: -1 when it stopped; otherwise the answer to a question, 1 (yes)
//   or 0 (no), or 0 for a step that went through (the form the C API's
//   slots and exec functions have).
// - `PyObject *`, only where the C API fixes the type (slots, vectorcall):
//   a new reference, or nullptr when it stopped.
// A position where -1 means "none", such as Table::find's slot, is an
// answer, not a stop.
// A function stops with a Python exception set, or, in the fast reader
// (readers.hpp), also with no exception set: the call left undecided, for
// the general reader to decide from the start. No other value means
// failure.
//
// Nothing here throws: the module is built on the C API's error protocol
// and compiled without exception support (see setup.py).
#ifndef TARVIK_SAFETY_CONTROL_REFS_HPP
#define TARVIK_SAFETY_CONTROL_REFS_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tarvik {

// Owns one strong reference, or none.
class Ref {
  public:
    Ref() noexcept = default;
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    Ref &operator=(Ref &&other) noexcept
    {
        if (this != &other) {
            PyObject *old = obj_;
            obj_ = other.obj_;
            other.obj_ = nullptr;
            // May run a finaliser, so only once this owner is consistent.
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    // Takes over a new reference (a C API result; NULL stays empty).
    static Ref steal(PyObject *obj) noexcept { return Ref(obj); }
    // Takes a new reference to a borrowed object.
    static Ref borrow(PyObject *obj) noexcept
    {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    PyObject *get() const noexcept { return obj_; }
    PyObject *release() noexcept
    {
        PyObject *obj = obj_;
        obj_ = nullptr;
        return obj;
    }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

  private:
    explicit Ref(PyObject *obj) noexcept : obj_(obj) {}
    PyObject *obj_ = nullptr;
};

} // namespace tarvik

#endif
