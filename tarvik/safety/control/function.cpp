// The function type of the module's two public checks, `check_function`:
// a vectorcall type that binds its arguments as the interpreter binds those
// of a Python function and reads like one: name, qualified name, defaults,
// string annotations, a code object for signature introspection, a
// __dict__, method binding through __get__, pickling by reference.
#include "function.hpp"
#include "compat.hpp"

#include <structmember.h>

namespace tarvik {

namespace {

PyTypeObject *function_type = nullptr;
// `((),)`: the defaults of a function whose last parameter defaults to ().
PyObject *families_defaults = nullptr;

constexpr const char *subclass_note =
    "Subclasses of built-in types are not accepted.";

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
    PyObject *code;        // code object describing the parameters
    PyObject *varnames;    // tuple of the parameter names
    PyObject *dict;        // __dict__
    PyObject *weakreflist;
};

CheckFunction *as_function(PyObject *op)
{
    return reinterpret_cast<CheckFunction *>(op);
}

// Binding errors, worded as the interpreter words them for a Python
// function of the same signature.
PyObject *too_many_positional(CheckFunction *self, Py_ssize_t given,
                              Py_ssize_t default_count)
{
    Py_ssize_t count = self->spec->parameter_count;
    Ref signature = Ref::steal(
        default_count ? PyUnicode_FromFormat("from %zd to %zd",
                                             count - default_count, count)
                      : PyUnicode_FromFormat("%zd", count));
    if (!signature) {
        return nullptr;
    }
    bool plural = default_count || count != 1;
    raise_formatted(PyExc_TypeError,
                    "%U() takes %U positional argument%s but %zd %s given",
                    self->qualname, signature.get(), plural ? "s" : "", given,
                    given == 1 ? "was" : "were");
    return nullptr;
}

PyObject *missing_arguments(CheckFunction *self, PyObject *const *bound,
                            Py_ssize_t required)
{
    Ref missing = Ref::steal(PyList_New(0));
    if (!missing) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < required; i++) {
        if (bound[i]) {
            continue;
        }
        Ref shown =
            Ref::steal(PyObject_Repr(PyTuple_GET_ITEM(self->varnames, i)));
        if (!shown || PyList_Append(missing.get(), shown.get()) < 0) {
            return nullptr;
        }
    }
    Py_ssize_t count = PyList_GET_SIZE(missing.get());
    Ref listed = Ref::steal(
        count == 1 ? Py_NewRef(PyList_GET_ITEM(missing.get(), 0))
                   : PyUnicode_FromFormat("%U and %U",
                                          PyList_GET_ITEM(missing.get(), 0),
                                          PyList_GET_ITEM(missing.get(), 1)));
    if (!listed) {
        return nullptr;
    }
    raise_formatted(
        PyExc_TypeError, "%U() missing %zd required positional argument%s: %U",
        self->qualname, count, count == 1 ? "" : "s", listed.get());
    return nullptr;
}

// The parameter a keyword names, into *index; false with the
// interpreter's TypeError when there is none.
bool keyword_index(CheckFunction *self, PyObject *keyword, Py_ssize_t *index)
{
    if (!PyUnicode_Check(keyword)) {
        raise_formatted(PyExc_TypeError, "%U() keywords must be strings",
                        self->qualname);
        return false;
    }
    Py_ssize_t count = self->spec->parameter_count;
    for (*index = 0; *index < count; ++*index) {
        if (PyTuple_GET_ITEM(self->varnames, *index) == keyword) {
            return true;
        }
    }
    for (*index = 0; *index < count; ++*index) {
        int equal = PyObject_RichCompareBool(
            keyword, PyTuple_GET_ITEM(self->varnames, *index), Py_EQ);
        if (equal != 0) {
            return equal > 0;
        }
    }
    raise_formatted(PyExc_TypeError,
                    "%U() got an unexpected keyword argument '%S'",
                    self->qualname, keyword);
    return false;
}

[[gnu::cold]] PyObject *argument_type_error(const Parameter &parameter,
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

// Binds the arguments of a call made with keywords, or with fewer
// positional arguments than parameters, into `bound`, with `defaults` (a
// tuple or nullptr, owned by the caller for the call): 0, or -1 with the
// interpreter's TypeError for such a call set.
int bind_general(CheckFunction *self, PyObject *const *args, Py_ssize_t given,
                 PyObject *kwnames, PyObject *defaults, PyObject **bound)
{
    const FunctionSpec &spec = *self->spec;
    for (Py_ssize_t i = 0; i < given && i < spec.parameter_count; i++) {
        bound[i] = args[i];
    }
    Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keyword_count; k++) {
        PyObject *keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t index = 0;
        if (!keyword_index(self, keyword, &index)) {
            return -1;
        }
        if (bound[index]) {
            raise_formatted(PyExc_TypeError,
                            "%U() got multiple values for argument '%S'",
                            self->qualname, keyword);
            return -1;
        }
        bound[index] = args[given + k];
    }
    Py_ssize_t default_count = defaults ? PyTuple_GET_SIZE(defaults) : 0;
    if (given > spec.parameter_count) {
        too_many_positional(self, given, default_count);
        return -1;
    }
    // The defaults belong to the last parameters; a longer tuple than there
    // are parameters gives its last items, as for a Python function.
    Py_ssize_t required = spec.parameter_count - default_count;
    for (Py_ssize_t i = 0; i < required; i++) {
        if (!bound[i]) {
            missing_arguments(self, bound, required);
            return -1;
        }
    }
    for (Py_ssize_t i = required > 0 ? required : 0; i < spec.parameter_count;
         i++) {
        if (!bound[i]) {
            bound[i] = PyTuple_GET_ITEM(defaults, i - required);
        }
    }
    return 0;
}

// The check of a call whose kwargs["control"], `found` (a reference the call
// hands over), is not None. Apart, so that a call without `control` does not
// set up what this one needs: 12 instructions of about 420 (bench).
template <Py_ssize_t Count>
[[gnu::noinline]] PyObject *
check_found(CheckFunction *self, PyObject *const *bound, PyObject *found)
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
// check; `bound` holds one argument per parameter, borrowed from the caller
// or the defaults the call holds.
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
// parameters, bound as the interpreter binds those of a Python function.
template <Py_ssize_t Count>
[[gnu::noinline]] PyObject *
bind_and_run_check(CheckFunction *self, PyObject *const *args,
                   Py_ssize_t given, PyObject *kwnames)
{
    PyObject *bound[max_parameters] = {nullptr, nullptr};
    // Held for the call: the defaults can be replaced while it runs, and a
    // bound default is borrowed from them.
    Ref defaults = Ref::borrow(self->defaults);
    if (bind_general(self, args, given, kwnames, defaults.get(), bound) < 0) {
        return nullptr;
    }
    return run_check<Count>(self, bound);
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
    Py_ssize_t given = PyVectorcall_NARGS(nargsf);
    if (given != Count || kwnames) {
        return bind_and_run_check<Count>(self, args, given, kwnames);
    }
    return run_check<Count>(self, args);
}

int check_function_traverse(PyObject *op, visitproc visit, void *arg)
{
    CheckFunction *self = as_function(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(self->name);
    Py_VISIT(self->qualname);
    Py_VISIT(self->module);
    Py_VISIT(self->doc);
    Py_VISIT(self->globals);
    Py_VISIT(self->builtins);
    Py_VISIT(self->defaults);
    Py_VISIT(self->kwdefaults);
    Py_VISIT(self->annotations);
    Py_VISIT(self->type_params);
    Py_VISIT(self->code);
    Py_VISIT(self->varnames);
    Py_VISIT(self->dict);
    return 0;
}

// Breaks cycles through the attributes a user can reach and change. The
// name, qualified name, code and parameter names stay, since binding and
// its messages need them; a cycle through a str subclass set as a name is
// broken at that object.
int check_function_clear(PyObject *op)
{
    CheckFunction *self = as_function(op);
    Py_CLEAR(self->module);
    Py_CLEAR(self->doc);
    Py_CLEAR(self->defaults);
    Py_CLEAR(self->kwdefaults);
    Py_CLEAR(self->globals);
    Py_CLEAR(self->builtins);
    Py_CLEAR(self->annotations);
    Py_CLEAR(self->type_params);
    Py_CLEAR(self->dict);
    return 0;
}

void check_function_dealloc(PyObject *op)
{
    CheckFunction *self = as_function(op);
    PyTypeObject *type = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    if (self->weakreflist) {
        PyObject_ClearWeakRefs(op);
    }
    check_function_clear(op);
    Py_CLEAR(self->name);
    Py_CLEAR(self->qualname);
    Py_CLEAR(self->code);
    Py_CLEAR(self->varnames);
    PyObject_GC_Del(op);
    Py_DECREF(type);
}

PyObject *check_function_repr(PyObject *op)
{
    return PyUnicode_FromFormat("<function %U at %p>",
                                as_function(op)->qualname, op);
}

// A function stored on a class becomes a bound method of its instances.
PyObject *check_function_descr_get(PyObject *op, PyObject *instance,
                                   PyObject *)
{
    if (!instance || instance == Py_None) {
        return Py_NewRef(op);
    }
    return PyMethod_New(op, instance);
}

// Pickled and copied by reference, as a module-level function is.
PyObject *check_function_reduce(PyObject *op, PyObject *)
{
    return Py_NewRef(as_function(op)->qualname);
}

// The field of an attribute whose closure is the field's offset.
PyObject **field_at(PyObject *op, void *closure)
{
    return reinterpret_cast<PyObject **>(reinterpret_cast<char *>(op) +
                                         reinterpret_cast<size_t>(closure));
}

PyObject *get_text(PyObject *op, void *closure)
{
    return Py_NewRef(*field_at(op, closure));
}

int set_text(PyObject *op, PyObject *value, void *closure)
{
    if (!value || !PyUnicode_Check(value)) {
        raise_formatted(PyExc_TypeError, "%s must be set to a string object",
                        offsetof(CheckFunction, name) ==
                                reinterpret_cast<size_t>(closure)
                            ? "__name__"
                            : "__qualname__");
        return -1;
    }
    Py_XSETREF(*field_at(op, closure), Py_NewRef(value));
    return 0;
}

// __defaults__ and __kwdefaults__: as on a Python function, each can be
// replaced (by a tuple, a dict) or set to None.
PyObject *get_optional(PyObject *op, void *closure)
{
    PyObject *value = *field_at(op, closure);
    return Py_NewRef(value ? value : Py_None);
}

int set_optional(PyObject *op, PyObject *value, void *closure)
{
    bool defaults =
        reinterpret_cast<size_t>(closure) == offsetof(CheckFunction, defaults);
    if (value == Py_None) {
        value = nullptr;
    }
    if (value && !(defaults ? PyTuple_Check(value) : PyDict_Check(value))) {
        raise_formatted(PyExc_TypeError,
                        defaults ? "__defaults__ must be set to a tuple object"
                                 : "__kwdefaults__ must be set to a dict "
                                   "object");
        return -1;
    }
    // The audit events of a Python function's defaults.
    const char *name = defaults ? "__defaults__" : "__kwdefaults__";
    if ((value ? PySys_Audit("object.__setattr__", "OsO", op, name, value)
               : PySys_Audit("object.__delattr__", "Os", op, name)) < 0) {
        return -1;
    }
    Py_XSETREF(*field_at(op, closure), Py_XNewRef(value));
    return 0;
}

// __closure__: there is none.
PyObject *get_none(PyObject *, void *)
{
    Py_RETURN_NONE;
}

PyObject *get_code(PyObject *op, void *)
{
    if (PySys_Audit("object.__getattr__", "Os", op, "__code__") < 0) {
        return nullptr;
    }
    return Py_NewRef(as_function(op)->code);
}

PyObject *get_annotations(PyObject *op, void *)
{
    CheckFunction *self = as_function(op);
    if (!self->annotations && !(self->annotations = PyDict_New())) {
        return nullptr;
    }
    return Py_NewRef(self->annotations);
}

int set_annotations(PyObject *op, PyObject *value, void *)
{
    if (value == Py_None) {
        value = nullptr;
    }
    if (value && !PyDict_Check(value)) {
        raise_formatted(PyExc_TypeError,
                        "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(op)->annotations, Py_XNewRef(value));
    return 0;
}

#if TARVIK_FUNCTIONS_HAVE_TYPE_PARAMS
// __type_params__: a tuple, as on a Python function, which cannot lose it.
PyObject *get_type_params(PyObject *op, void *)
{
    PyObject *type_params = as_function(op)->type_params;
    return type_params ? Py_NewRef(type_params) : PyTuple_New(0);
}

int set_type_params(PyObject *op, PyObject *value, void *)
{
    if (!value || !PyTuple_Check(value)) {
        raise_formatted(PyExc_TypeError,
                        "__type_params__ must be set to a tuple");
        return -1;
    }
    Py_XSETREF(as_function(op)->type_params, Py_NewRef(value));
    return 0;
}
#endif

// `__module__` is each function's own attribute, which may be replaced or
// deleted (it then reads as None), as on a Python function. It is served
// here, not by a descriptor in the type, whose own __module__ (the module's
// name) such a descriptor would replace.
bool names_module(PyObject *name)
{
    return PyUnicode_Check(name) &&
           PyUnicode_CompareWithASCIIString(name, "__module__") == 0;
}

PyObject *check_function_getattro(PyObject *op, PyObject *name)
{
    if (names_module(name)) {
        PyObject *module = as_function(op)->module;
        return Py_NewRef(module ? module : Py_None);
    }
    return PyObject_GenericGetAttr(op, name);
}

int check_function_setattro(PyObject *op, PyObject *name, PyObject *value)
{
    if (names_module(name)) {
        Py_XSETREF(as_function(op)->module, Py_XNewRef(value));
        return 0;
    }
    return PyObject_GenericSetAttr(op, name, value);
}

PyGetSetDef check_function_getset[] = {
    {"__name__", get_text, set_text, nullptr,
     reinterpret_cast<void *>(offsetof(CheckFunction, name))},
    {"__qualname__", get_text, set_text, nullptr,
     reinterpret_cast<void *>(offsetof(CheckFunction, qualname))},
    {"__defaults__", get_optional, set_optional, nullptr,
     reinterpret_cast<void *>(offsetof(CheckFunction, defaults))},
    {"__kwdefaults__", get_optional, set_optional, nullptr,
     reinterpret_cast<void *>(offsetof(CheckFunction, kwdefaults))},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
#if TARVIK_FUNCTIONS_HAVE_TYPE_PARAMS
    {"__type_params__", get_type_params, set_type_params, nullptr, nullptr},
#endif
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr,
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef check_function_members[] = {
    {"__doc__", T_OBJECT, offsetof(CheckFunction, doc), 0, nullptr},
    {"__builtins__", T_OBJECT, offsetof(CheckFunction, builtins), READONLY,
     nullptr},
    {"__globals__", T_OBJECT, offsetof(CheckFunction, globals), READONLY,
     nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(CheckFunction, vectorcall),
     READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(CheckFunction, dict), READONLY,
     nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(CheckFunction, weakreflist),
     READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef check_function_methods[] = {
    {"__reduce__", check_function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// No Py_tp_doc: the type's doc would shadow each function's own __doc__.
PyType_Slot check_function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(check_function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(check_function_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(check_function_clear)},
    {Py_tp_repr, reinterpret_cast<void *>(check_function_repr)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(check_function_descr_get)},
    {Py_tp_getattro, reinterpret_cast<void *>(check_function_getattro)},
    {Py_tp_setattro, reinterpret_cast<void *>(check_function_setattro)},
    {Py_tp_getset, check_function_getset},
    {Py_tp_members, check_function_members},
    {Py_tp_methods, check_function_methods},
    {0, nullptr},
};

PyType_Spec check_function_spec = {
    "tarvik.safety.control.check_function",
    sizeof(CheckFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    check_function_slots,
};

// A code object that carries the parameters, so that signature
// introspection treats the function as it treats a Python function. Its
// body is never run by the function.
Ref make_code(const FunctionSpec &spec, PyObject *module, PyObject *varnames,
              PyObject *qualname)
{
    Ref filename = Ref::steal(PyModule_GetFilenameObject(module));
    if (!filename) {
        PyErr_Clear();
        filename = Ref::steal(PyUnicode_FromFormat("<%s>", module_name));
        if (!filename) {
            return Ref();
        }
    }
    const char *filename_text = PyUnicode_AsUTF8(filename.get());
    if (!filename_text) {
        return Ref();
    }
    Ref empty = Ref::steal(reinterpret_cast<PyObject *>(
        PyCode_NewEmpty(filename_text, spec.name, 1)));
    if (!empty) {
        return Ref();
    }
    Ref replace = Ref::steal(PyObject_GetAttrString(empty.get(), "replace"));
    Ref changes = Ref::steal(PyDict_New());
    Ref count = Ref::steal(PyLong_FromSsize_t(spec.parameter_count));
    Ref flags = Ref::steal(PyLong_FromLong(CO_OPTIMIZED | CO_NEWLOCALS));
    Ref no_arguments = Ref::steal(PyTuple_New(0));
    if (!replace || !changes || !count || !flags || !no_arguments ||
        PyDict_SetItemString(changes.get(), "co_argcount", count.get()) < 0 ||
        PyDict_SetItemString(changes.get(), "co_nlocals", count.get()) < 0 ||
        PyDict_SetItemString(changes.get(), "co_varnames", varnames) < 0 ||
        PyDict_SetItemString(changes.get(), "co_qualname", qualname) < 0 ||
        PyDict_SetItemString(changes.get(), "co_flags", flags.get()) < 0) {
        return Ref();
    }
    return Ref::steal(
        PyObject_Call(replace.get(), no_arguments.get(), changes.get()));
}

// The builtins a function defined in `globals` sees: the dict of its
// __builtins__ entry, else the interpreter's.
Ref builtins_of(PyObject *globals)
{
    Ref name = Ref::steal(PyUnicode_InternFromString("__builtins__"));
    if (!name) {
        return Ref();
    }
    PyObject *entry = PyDict_GetItemWithError(globals, name.get());
    if (!entry && PyErr_Occurred()) {
        return Ref();
    }
    if (entry && PyModule_Check(entry)) {
        return Ref::borrow(PyModule_GetDict(entry));
    }
    if (entry && PyDict_Check(entry)) {
        return Ref::borrow(entry);
    }
    return Ref::borrow(PyEval_GetBuiltins());
}

} // namespace

Ref make_function(const FunctionSpec &spec, PyObject *module)
{
    PyObject *globals = PyModule_GetDict(module);
    Ref builtins = globals ? builtins_of(globals) : Ref();
    Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
    Ref module_attribute = Ref::steal(PyUnicode_FromString(module_name));
    Ref varnames = Ref::steal(PyTuple_New(spec.parameter_count));
    Ref annotations = Ref::steal(PyDict_New());
    if (!globals || !builtins || !name || !module_attribute || !varnames ||
        !annotations) {
        return Ref();
    }
    for (Py_ssize_t i = 0; i < spec.parameter_count; i++) {
        const Parameter &parameter = spec.parameters[i];
        Ref parameter_name =
            Ref::steal(PyUnicode_InternFromString(parameter.name));
        Ref annotation =
            Ref::steal(PyUnicode_FromString(parameter.annotation));
        if (!parameter_name || !annotation ||
            PyDict_SetItem(annotations.get(), parameter_name.get(),
                           annotation.get()) < 0) {
            return Ref();
        }
        PyTuple_SET_ITEM(varnames.get(), i, parameter_name.release());
    }
    Ref return_annotation = Ref::steal(PyUnicode_FromString("None"));
    if (!return_annotation ||
        PyDict_SetItemString(annotations.get(), "return",
                             return_annotation.get()) < 0) {
        return Ref();
    }
    Ref doc = spec.doc ? Ref::steal(PyUnicode_FromString(spec.doc))
                       : Ref::borrow(Py_None);
    Ref code = make_code(spec, module, varnames.get(), name.get());
    if (!doc || !code) {
        return Ref();
    }
    CheckFunction *self = PyObject_GC_New(CheckFunction, function_type);
    if (!self) {
        return Ref();
    }
    static_assert(max_parameters == 2, "a vectorcall for each count");
    self->vectorcall = spec.parameter_count == 2
                           ? check_function_vectorcall<2>
                           : check_function_vectorcall<1>;
    self->spec = &spec;
    self->name = Py_NewRef(name.get());
    self->qualname = name.release();
    self->module = module_attribute.release();
    self->doc = doc.release();
    self->globals = Py_NewRef(globals);
    self->builtins = builtins.release();
    self->defaults =
        spec.families_default ? Py_NewRef(families_defaults) : nullptr;
    self->kwdefaults = nullptr;
    self->annotations = annotations.release();
    self->type_params = nullptr;
    self->code = code.release();
    self->varnames = varnames.release();
    self->dict = nullptr;
    self->weakreflist = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject *>(self));
    return Ref::steal(reinterpret_cast<PyObject *>(self));
}

int init_function_type()
{
    if (!families_defaults) {
        Ref empty = Ref::steal(PyTuple_New(0));
        families_defaults = empty ? PyTuple_Pack(1, empty.get()) : nullptr;
        if (!families_defaults) {
            return -1;
        }
    }
    if (!function_type) {
        function_type = reinterpret_cast<PyTypeObject *>(
            PyType_FromSpec(&check_function_spec));
        if (!function_type) {
            return -1;
        }
    }
    return 0;
}

} // namespace tarvik
