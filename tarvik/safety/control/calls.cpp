// How a call of a public function runs: its arguments bound, their types
// tested, kwargs.get("control") looked up, and the check run.
#include "compat.hpp"
#include "function.hpp"

namespace tarvik {

namespace {

constexpr const char *subclass_note =
    "Subclasses of built-in types are not accepted.";

TARVIK_COLD PyObject *argument_type_error(const Parameter &parameter,
                                          PyObject *value)
{
    bool subclass = PyObject_TypeCheck(value, parameter.exact_type);
    raise_formatted(
        PyExc_TypeError,
        "Argument '%.200s' has incorrect type (expected %.200s, got "
        "%.200s)%s%s",
        parameter.name, parameter.exact_type->tp_name, Py_TYPE(value)->tp_name,
        subclass ? ". " : "", subclass ? subclass_note : "");
    return nullptr;
}

// The check of a call whose kwargs["control"], `found` (a reference the call
// hands over), is not None. Apart, so that a call without `control` does not
// set up what this one needs: 12 instructions of about 420 (bench).
template <Py_ssize_t Count>
TARVIK_NOINLINE PyObject *check_found(CheckFunction *self,
                                      PyObject *const *bound, PyObject *found)
{
    // `control` is owned for the call: the checks run the caller's Python
    // code, which may change the caller's dicts. The families are held for
    // the call already, by the caller or with the defaults it was bound with.
    Ref control = Ref::steal(found);
    return self->spec->check(
               {self->globals, self->builtins, Count > 1 ? bound[1] : nullptr},
               control.get())
               ? Py_NewRef(Py_None)
               : nullptr;
}

// After binding: the argument tests, kwargs.get("control"), then the
// check; `bound` holds one argument per parameter, held for the call by the
// caller or by the tuple of the bound arguments.
template <Py_ssize_t Count>
PyObject *run_check(CheckFunction *self, PyObject *const *bound)
{
    const FunctionSpec &spec = *self->spec;
    for (Py_ssize_t i = 0; i < Count; i++) {
        if (Py_TYPE(bound[i]) != spec.parameters[i].exact_type) {
            return argument_type_error(spec.parameters[i], bound[i]);
        }
    }
    // Both checks begin with kwargs.get("control") and have nothing to say
    // when it is None. Only the lookup's key comparisons can run Python
    // code here, and the interpreter guards those against recursion.
    PyObject *found = nullptr;
    int got = dict_get_ref(bound[0], words.control, &found);
    if (got <= 0) {
        return got < 0 ? nullptr : Py_NewRef(Py_None);
    }
    if (found == Py_None) {
        return found; // the reference to None is the result
    }
    return check_found<Count>(self, bound, found);
}

// A call with keywords, or another number of positional arguments than
// parameters: bound by the interpreter, which runs the Python function
// (namespace.py) with them, and so binds them, defaults included, and words
// a wrong call's error, as for a Python function.
template <Py_ssize_t Count>
TARVIK_NOINLINE PyObject *bind_and_run_check(CheckFunction *self,
                                             PyObject *const *args,
                                             size_t nargsf, PyObject *kwnames)
{
    Ref bound =
        Ref::steal(PyObject_Vectorcall(self->function, args, nargsf, kwnames));
    if (!bound) {
        return nullptr;
    }
    // Its code can be replaced: it must still give the arguments.
    if (!PyTuple_CheckExact(bound.get()) ||
        PyTuple_GET_SIZE(bound.get()) != Count) {
        return raise_formatted(PyExc_SystemError, "%s() was not bound",
                               self->spec->name);
    }
    return run_check<Count>(self, PySequence_Fast_ITEMS(bound.get()));
}

// The vectorcall of a function of `Count` parameters. The package's call,
// one positional argument per parameter, takes them as they come: 27
// instructions a call less than binding them, a sixth of a call without
// `control` (bench).
template <Py_ssize_t Count>
PyObject *check_function_vectorcall(PyObject *callable, PyObject *const *args,
                                    size_t nargsf, PyObject *kwnames)
{
    CheckFunction *self = as_function(callable);
    if (PyVectorcall_NARGS(nargsf) != Count || kwnames) {
        return bind_and_run_check<Count>(self, args, nargsf, kwnames);
    }
    return run_check<Count>(self, args);
}

} // namespace

vectorcallfunc vectorcall_for(Py_ssize_t parameter_count)
{
    static_assert(max_parameters == 2, "a vectorcall for each count");
    return parameter_count == 2 ? check_function_vectorcall<2>
                                : check_function_vectorcall<1>;
}

} // namespace tarvik
