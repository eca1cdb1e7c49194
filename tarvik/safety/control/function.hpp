// The function type of the module's two public checks.
#ifndef TARVIK_SAFETY_CONTROL_FUNCTION_HPP
#define TARVIK_SAFETY_CONTROL_FUNCTION_HPP

#include "messages.hpp"

namespace tarvik {

inline constexpr const char *module_name = "tarvik.safety.control";

struct Parameter {
    const char *name;
    PyTypeObject *exact_type;
};

inline constexpr Py_ssize_t max_parameters = 2;

// What one public function is: its name and parameters, and the check it
// runs after binding its arguments, testing their types and fetching
// kwargs.get("control"), on a `control` that is not None. Its signature,
// defaults, annotations and docstring are its Python function's
// (namespace.py).
struct FunctionSpec {
    const char *name;
    Py_ssize_t parameter_count;
    Parameter parameters[max_parameters];
    bool (*check)(const CallContext &call, PyObject *control);
};

// A public function, an instance of the function type: the native
// function that stands in for a Python function of the same parameters.
struct CheckFunction {
    PyObject_HEAD vectorcallfunc vectorcall;
    const FunctionSpec *spec;
    PyObject *function; // the Python function: attributes, and binding
    PyObject *globals;  // its namespace, the module's
    PyObject *builtins; // the builtins of that namespace (a dict)
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
// The native function for `spec` that stands in for the Python function
// `function`, defined in the namespace `globals`; `spec` outlives it.
Ref make_function(const FunctionSpec &spec, PyObject *function,
                  PyObject *globals);

} // namespace tarvik

#endif
