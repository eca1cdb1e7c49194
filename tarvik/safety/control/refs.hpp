// Reference ownership and the interned names of tarvik.safety.control.
//
// Ownership rules, for every source file of the module:
// - A function that returns a new reference returns `Ref`; an empty `Ref`
//   means that a Python error is set.
// - A raw `PyObject *` parameter is borrowed from the caller for the length
//   of the call. It must not be kept across anything that can run Python
//   code (str(), ==, hash, truth tests, format, float(), a mapping's own
//   get/keys/__contains__/__getitem__) unless it is owned: `Ref::borrow`.
// - Functions returning `int` return -1 with a Python error set, otherwise
//   0 or 1 as documented at the function.
// - Nothing here throws: the module is built on the C API's error protocol,
//   and compiled without exception support (see setup.py).
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
    static Ref none() noexcept { return borrow(Py_None); }

    PyObject *get() const noexcept { return obj_; }
    PyObject *release() noexcept
    {
        PyObject *obj = obj_;
        obj_ = nullptr;
        return obj;
    }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    bool is_none() const noexcept { return obj_ == Py_None; }

  private:
    explicit Ref(PyObject *obj) noexcept : obj_(obj) {}
    PyObject *obj_ = nullptr;
};

// Interned strings used on every call, created once per process when the
// module is first initialised and kept for the life of the process.
#define TARVIK_INTERNED_NAMES(X)                                              \
    X(control, "control")                                                     \
    X(family, "family")                                                       \
    X(predictor, "predictor")                                                 \
    X(inla, "inla")                                                           \
    X(compute, "compute")                                                     \
    X(control_dot_link, "control.link")                                       \
    X(control_link, "control_link")                                           \
    X(model, "model")                                                         \
    X(quantile, "quantile")                                                   \
    X(strategy, "strategy")                                                   \
    X(int_dot_strategy, "int.strategy")                                       \
    X(int_strategy, "int_strategy")                                           \
    X(control_vb, "control_vb")                                               \
    X(hessian_strategy, "hessian_strategy")                                   \
    X(gamma, "gamma")                                                         \
    X(gammasurv, "gammasurv")                                                 \
    X(get, "get")                                                             \
    X(keys, "keys")                                                           \
    X(strip, "strip")                                                         \
    X(lower, "lower")                                                         \
    X(replace, "replace")                                                     \
    X(intersection, "intersection")                                           \
    X(underscore, "_")                                                        \
    X(dot, ".")                                                               \
    X(comma_blank, ", ")                                                      \
    X(empty, "")                                                              \
    X(SafetyError, "SafetyError")

struct Names {
#define TARVIK_DECLARE_NAME(field, text) PyObject *field;
    TARVIK_INTERNED_NAMES(TARVIK_DECLARE_NAME)
#undef TARVIK_DECLARE_NAME
};

// Filled by init_names(); read-only afterwards.
extern Names names;

// Creates the interned names once per process; 0 on success, -1 on error.
int init_names();

} // namespace tarvik

#endif
