// The function type of the module's two public checks.
#ifndef TARVIK_SAFETY_CONTROL_FUNCTION_HPP
#define TARVIK_SAFETY_CONTROL_FUNCTION_HPP

#include "messages.hpp"

namespace tarvik {

inline constexpr const char *module_name = "tarvik.safety.control";

struct Parameter {
    const char *name;
    PyTypeObject *exact_type;
    const char *annotation;
};

inline constexpr Py_ssize_t max_parameters = 2;

// What one public function is: its name, docstring and parameters, and
// the check it runs after binding its arguments, testing their types and
// fetching kwargs.get("control"), on a `control` that is not None.
struct FunctionSpec {
    const char *name;
    const char *doc; // nullptr: no docstring
    Py_ssize_t parameter_count;
    Parameter parameters[max_parameters];
    bool families_default; // the last parameter defaults to ()
    bool (*check)(const CallContext &call, PyObject *control);
};

// A public function, an instance of the function type.
struct CheckFunction {
    PyObject_HEAD vectorcallfunc vectorcall;
    const FunctionSpec *spec;
    PyObject *name;        // str
    PyObject *qualname;    // str
    PyObject *module;      // __module__, or nullptr (reads as None)
    PyObject *doc;         // __doc__
    PyObject *globals;     // the module namespace
    PyObject *builtins;    // the builtins of that namespace (a dict)
    PyObject *defaults;    // tuple or nullptr
    PyObject *kwdefaults;  // dict or nullptr
    PyObject *annotations; // dict or nullptr
    PyObject *type_params; // tuple or nullptr (reads as ()), from 3.12 on
    PyObject *code;        // __code__: that of signatures.py
    PyObject *binder;      // a Python function of that code
    PyObject *dict;        // __dict__
    PyObject *weakreflist;
};

inline CheckFunction *as_function(PyObject *op)
{
    return reinterpret_cast<CheckFunction *>(op);
}

// The vectorcall of a function of `parameter_count` parameters (calls.cpp).
vectorcallfunc vectorcall_for(Py_ssize_t parameter_count);

// Creates the function type once per process: 0, or -1 with an error set.
int init_function_type();
// A function object of the module `module` for `spec`, which outlives it;
// `signatures` is the compiled signatures.py, which holds its code.
Ref make_function(const FunctionSpec &spec, PyObject *module,
                  PyObject *signatures);

} // namespace tarvik

#endif
