// The function type of the module's two public checks, `check_function`,
// which reads like a Python function: name, qualified name, defaults,
// string annotations, a code object for signature introspection, a
// __dict__, method binding through __get__, pickling by reference. How a
// call runs is in calls.cpp.
#include "function.hpp"
#include "compat.hpp"

#include <structmember.h>

namespace tarvik {

namespace {

PyTypeObject *function_type = nullptr;
// `((),)`: the defaults of a function whose last parameter defaults to ().
PyObject *families_defaults = nullptr;

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
    Py_VISIT(self->binder);
    Py_VISIT(self->dict);
    return 0;
}

// Breaks cycles through the attributes a user can reach and change. The
// name, qualified name, code and binder stay, since binding and its
// messages need them; a cycle through a str subclass set as a name, or
// through the binder, is broken at that object.
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
    Py_CLEAR(self->binder);
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
    bool qualname =
        offsetof(CheckFunction, qualname) == reinterpret_cast<size_t>(closure);
    if (!value || !PyUnicode_Check(value)) {
        raise_formatted(PyExc_TypeError, "%s must be set to a string object",
                        qualname ? "__qualname__" : "__name__");
        return -1;
    }
    // The binder's errors name the function by it.
    if (qualname && PyObject_SetAttrString(as_function(op)->binder,
                                           "__qualname__", value) < 0) {
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
    // The binder binds with the defaults.
    if (defaults && PyFunction_SetDefaults(as_function(op)->binder,
                                           value ? value : Py_None) < 0) {
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

// The code object of the function `name` among those of `signatures` (the
// compiled signatures.py), with the module's file as its own: so that
// signature introspection treats the function as a Python function, and a
// Python function made of it binds the function's arguments.
Ref function_code(PyObject *signatures, const char *name, PyObject *module)
{
    Ref filename = Ref::steal(PyModule_GetFilenameObject(module));
    if (!filename) {
        PyErr_Clear();
        filename = Ref::steal(PyUnicode_FromFormat("<%s>", module_name));
    }
    Ref constants =
        Ref::steal(PyObject_GetAttrString(signatures, "co_consts"));
    if (!filename || !constants) {
        return Ref();
    }
    Py_ssize_t count =
        PyTuple_Check(constants.get()) ? PyTuple_GET_SIZE(constants.get()) : 0;
    for (Py_ssize_t i = 0; i < count; i++) {
        PyObject *code = PyTuple_GET_ITEM(constants.get(), i);
        if (!PyCode_Check(code)) {
            continue;
        }
        Ref code_name = Ref::steal(PyObject_GetAttrString(code, "co_name"));
        if (!code_name) {
            return Ref();
        }
        if (PyUnicode_CompareWithASCIIString(code_name.get(), name) == 0) {
            Ref replace = Ref::steal(PyObject_GetAttrString(code, "replace"));
            Ref no_arguments = Ref::steal(PyTuple_New(0));
            Ref changes = Ref::steal(
                Py_BuildValue("{sO}", "co_filename", filename.get()));
            return replace && no_arguments && changes
                       ? Ref::steal(PyObject_Call(
                             replace.get(), no_arguments.get(), changes.get()))
                       : Ref();
        }
    }
    raise_formatted(PyExc_SystemError, "no code of %s", name);
    return Ref();
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

Ref make_function(const FunctionSpec &spec, PyObject *module,
                  PyObject *signatures)
{
    PyObject *globals = PyModule_GetDict(module);
    Ref builtins = globals ? builtins_of(globals) : Ref();
    Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
    Ref module_attribute = Ref::steal(PyUnicode_FromString(module_name));
    Ref annotations = Ref::steal(PyDict_New());
    if (!globals || !builtins || !name || !module_attribute || !annotations) {
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
    }
    Ref return_annotation = Ref::steal(PyUnicode_FromString("None"));
    if (!return_annotation ||
        PyDict_SetItemString(annotations.get(), "return",
                             return_annotation.get()) < 0) {
        return Ref();
    }
    Ref doc = spec.doc ? Ref::steal(PyUnicode_FromString(spec.doc))
                       : Ref::borrow(Py_None);
    Ref code = function_code(signatures, spec.name, module);
    Ref binder =
        code ? Ref::steal(PyFunction_New(code.get(), globals)) : Ref();
    PyObject *defaults = spec.families_default ? families_defaults : nullptr;
    if (!doc || !binder ||
        (defaults && PyFunction_SetDefaults(binder.get(), defaults) < 0)) {
        return Ref();
    }
    CheckFunction *self = PyObject_GC_New(CheckFunction, function_type);
    if (!self) {
        return Ref();
    }
    self->vectorcall = vectorcall_for(spec.parameter_count);
    self->spec = &spec;
    self->name = Py_NewRef(name.get());
    self->qualname = name.release();
    self->module = module_attribute.release();
    self->doc = doc.release();
    self->globals = Py_NewRef(globals);
    self->builtins = builtins.release();
    self->defaults = Py_XNewRef(defaults);
    self->kwdefaults = nullptr;
    self->annotations = annotations.release();
    self->type_params = nullptr;
    self->code = code.release();
    self->binder = binder.release();
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
