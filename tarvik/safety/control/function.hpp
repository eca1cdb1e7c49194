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

// Creates the function type once per process: 0, or -1 with an error set.
int init_function_type();
// A function object of the module `module` for `spec`, which outlives it.
Ref make_function(const FunctionSpec &spec, PyObject *module);

} // namespace tarvik

#endif
