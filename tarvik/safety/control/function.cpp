// The function type of the module's two public checks, `check_function`.
// Each function stands in for a Python function of the same parameters
// (namespace.py), whose attributes are its own: name, qualified name,
// module, docstring, defaults, annotations, code, __dict__, as that version
// of Python has them, read and written (audit events included) by the
// Python function itself. Its own are what calling needs: the call itself
// (calls.cpp), method binding through __get__, repr and pickling by
// reference.
#include "function.hpp"

#include <structmember.h>

namespace tarvik {

namespace {

PyTypeObject *function_type = nullptr;

int check_function_traverse(PyObject *op, visitproc visit, void *arg)
{
    CheckFunction *self = as_function(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(self->function);
    Py_VISIT(self->globals);
    Py_VISIT(self->builtins);
    return 0;
}

// The Python function stays, since binding and the attributes need it;
// cycles through it are broken by its own clearing.
int check_function_clear(PyObject *op)
{
    CheckFunction *self = as_function(op);
    Py_CLEAR(self->globals);
    Py_CLEAR(self->builtins);
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
    Py_CLEAR(self->function);
    PyObject_GC_Del(op);
    Py_DECREF(type);
}

PyObject *qualified_name(PyObject *op)
{
    return PyObject_GetAttrString(as_function(op)->function, "__qualname__");
}

PyObject *check_function_repr(PyObject *op)
{
    Ref qualname = Ref::steal(qualified_name(op));
    return qualname ? PyUnicode_FromFormat("<function %S at %p>",
                                           qualname.get(), op)
                    : nullptr;
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
    return qualified_name(op);
}

PyObject *check_function_dir(PyObject *op, PyObject *)
{
    return PyObject_Dir(as_function(op)->function);
}

// A Python function's own attributes (its type's data descriptors:
// __name__, __defaults__, __code__, __dict__, ...) are descriptors of the
// type too, each forwarding to the Python function, so that they come
// before the type's own __doc__ in any lookup. Their closure is the name.
PyObject *get_forwarded(PyObject *op, void *name)
{
    return PyObject_GetAttr(as_function(op)->function,
                            static_cast<PyObject *>(name));
}

int set_forwarded(PyObject *op, PyObject *value, void *name)
{
    return PyObject_SetAttr(as_function(op)->function,
                            static_cast<PyObject *>(name), value);
}

// So are __module__, which a descriptor in the type would take from the
// type itself, and any other name the type lacks (its __dict__).
PyObject *check_function_getattro(PyObject *op, PyObject *name)
{
    if (PyUnicode_Check(name) &&
        PyUnicode_CompareWithASCIIString(name, "__module__") == 0) {
        return PyObject_GetAttr(as_function(op)->function, name);
    }
    PyObject *found = PyObject_GenericGetAttr(op, name);
    if (found || !PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return found;
    }
    PyErr_Clear();
    return PyObject_GetAttr(as_function(op)->function, name);
}

int check_function_setattro(PyObject *op, PyObject *name, PyObject *value)
{
    return PyObject_SetAttr(as_function(op)->function, name, value);
}

PyMemberDef check_function_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(CheckFunction, vectorcall),
     READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(CheckFunction, weakreflist),
     READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef check_function_methods[] = {
    {"__reduce__", check_function_reduce, METH_NOARGS, nullptr},
    {"__dir__", check_function_dir, METH_NOARGS, nullptr},
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
    {Py_tp_members, check_function_members},
    {Py_tp_methods, check_function_methods},
    {Py_tp_getset, nullptr}, // the forwarding descriptors, made at init
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

// A forwarding descriptor for each data descriptor of the Python function
// type but __module__; their names are borrowed from what *items keeps.
PyGetSetDef *forwarding_descriptors(PyObject **items)
{
    Ref attributes = Ref::steal(PyObject_GetAttrString(
        reinterpret_cast<PyObject *>(&PyFunction_Type), "__dict__"));
    Ref pairs =
        attributes ? Ref::steal(PyMapping_Items(attributes.get())) : Ref();
    if (!pairs) {
        return nullptr;
    }
    Py_ssize_t count = PyList_GET_SIZE(pairs.get());
    auto *getset = static_cast<PyGetSetDef *>(
        PyMem_Calloc(static_cast<size_t>(count) + 1, sizeof(PyGetSetDef)));
    if (!getset) {
        PyErr_NoMemory();
        return nullptr;
    }
    PyGetSetDef *next = getset;
    for (Py_ssize_t i = 0; i < count; i++) {
        PyObject *name = PyTuple_GET_ITEM(PyList_GET_ITEM(pairs.get(), i), 0);
        PyObject *value = PyTuple_GET_ITEM(PyList_GET_ITEM(pairs.get(), i), 1);
        if (!PyDescr_IsData(value) ||
            PyUnicode_CompareWithASCIIString(name, "__module__") == 0) {
            continue;
        }
        const char *text = PyUnicode_AsUTF8(name);
        if (!text) {
            PyMem_Free(getset);
            return nullptr;
        }
        *next++ = {text, get_forwarded, set_forwarded, nullptr, name};
    }
    *items = pairs.release();
    return getset;
}

// The builtins a function defined in `globals` sees: the dict of its
// __builtins__ entry, else the interpreter's.
Ref builtins_of(PyObject *globals)
{
    Ref name = Ref::steal(PyUnicode_InternFromString("__builtins__"));
    PyObject *entry =
        name ? PyDict_GetItemWithError(globals, name.get()) : nullptr;
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

Ref make_function(const FunctionSpec &spec, PyObject *function,
                  PyObject *globals)
{
    Ref builtins = builtins_of(globals);
    if (!builtins) {
        return Ref();
    }
    if (!PyFunction_Check(function)) {
        raise_formatted(PyExc_SystemError, "%s is not a Python function",
                        spec.name);
        return Ref();
    }
    CheckFunction *self = PyObject_GC_New(CheckFunction, function_type);
    if (!self) {
        return Ref();
    }
    self->vectorcall = vectorcall_for(spec.parameter_count);
    self->spec = &spec;
    self->function = Py_NewRef(function);
    self->globals = Py_NewRef(globals);
    self->builtins = builtins.release();
    self->weakreflist = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject *>(self));
    return Ref::steal(reinterpret_cast<PyObject *>(self));
}

int init_function_type()
{
    // Made once a process and kept for its life, as the type is.
    static PyObject *function_items = nullptr;
    static PyGetSetDef *forwarding = nullptr;
    if (!forwarding &&
        !(forwarding = forwarding_descriptors(&function_items))) {
        return -1;
    }
    if (!function_type) {
        for (PyType_Slot &slot : check_function_slots) {
            if (slot.slot == Py_tp_getset) {
                slot.pfunc = forwarding;
            }
        }
        function_type = reinterpret_cast<PyTypeObject *>(
            PyType_FromSpec(&check_function_spec));
    }
    return function_type ? 0 : -1;
}

} // namespace tarvik
