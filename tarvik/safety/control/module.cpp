// Module set-up of tarvik.safety.control: its one-time initialisation, its
// namespace and its two public functions.
#include "checks.hpp"
#include "counts.hpp"
#include "function.hpp"
#include "namespace_code.h"

#include <marshal.h>

namespace tarvik {

namespace {

// --- process-wide state -----------------------------------------------------

// The one interpreter allowed to load the module, and the module itself
// once its exec step has begun.
int64_t main_interpreter_id = -1;
PyObject *process_module = nullptr;

// --- the public functions ---------------------------------------------------

// Their signatures, defaults, annotations and docstrings: namespace.py.
const FunctionSpec control_structure_spec = {
    "enforce_control_structure",
    2,
    {{"kwargs", &PyDict_Type}, {"families", &PyTuple_Type}},
    enforce_control_structure,
};

const FunctionSpec compute_section_spec = {
    "enforce_compute_section",
    1,
    {{"kwargs", &PyDict_Type}, {nullptr, nullptr}},
    enforce_compute_section,
};

// --- module initialisation --------------------------------------------------

// The module's namespace (namespace.py), as the code object that setup.py
// compiled, run in it. Compiled here only under an interpreter other than
// the one the module was built for, whose code object it may not run.
int run_namespace(PyObject *globals)
{
    Ref code = Ref::steal(
        Py_Version >> 16 == PY_VERSION_HEX >> 16
            ? PyMarshal_ReadObjectFromString(
                  reinterpret_cast<const char *>(namespace_code),
                  sizeof namespace_code)
            : Py_CompileString(namespace_source, "<tarvik.safety.control>",
                               Py_file_input));
    Ref result =
        code ? Ref::steal(PyEval_EvalCode(code.get(), globals, globals))
             : Ref();
    return result ? 0 : -1;
}

int warn_on_version_mismatch()
{
    int runtime_major = static_cast<int>((Py_Version >> 24) & 0xFF);
    int runtime_minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (runtime_major == PY_MAJOR_VERSION &&
        runtime_minor == PY_MINOR_VERSION) {
        return 0;
    }
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module "
                            "'%.100s' %s runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, module_name,
                            "does not match", runtime_major, runtime_minor);
}

int prepare_constants()
{
    // The words first: the tables join their sorted names with one of them.
    return init_words() < 0 || Table::init_all() < 0 ||
                   init_function_type() < 0
               ? -1
               : 0;
}

// The module table's entry of `name`: 1 when this call added `module`
// under it, 0 when there already was one, -1 with an error set.
int register_in_sys_modules(PyObject *name, PyObject *module)
{
    PyObject *modules = PyImport_GetModuleDict();
    if (!PyDict_Check(modules)) {
        return 0;
    }
    if (PyDict_GetItemWithError(modules, name)) {
        return 0;
    }
    if (PyErr_Occurred()) {
        return -1;
    }
    return PyDict_SetItem(modules, name, module) < 0 ? -1 : 1;
}

// Takes out what register_in_sys_modules() added, when the table still
// holds it, keeping the exception that failed the exec step.
void unregister_from_sys_modules(PyObject *name, PyObject *module)
{
    PyObject *type;
    PyObject *value;
    PyObject *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject *modules = PyImport_GetModuleDict();
    if (PyDict_Check(modules) &&
        PyDict_GetItemWithError(modules, name) == module) {
        PyDict_DelItem(modules, name);
    }
    PyErr_Clear(); // the step's own exception is the one to report
    PyErr_Restore(type, value, traceback);
}

// Puts the native function of `spec` in place of the Python function that
// the namespace's code defined under its name.
int bind_function(PyObject *globals, const FunctionSpec &spec)
{
    Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
    Ref function =
        name ? Ref::borrow(PyDict_GetItemWithError(globals, name.get()))
             : Ref();
    if (!function) {
        if (name && !PyErr_Occurred()) {
            raise_formatted(PyExc_SystemError, "%s is not defined", spec.name);
        }
        return -1;
    }
    Ref native = make_function(spec, function.get(), globals);
    return native ? PyDict_SetItem(globals, name.get(), native.get()) : -1;
}

// The exec step after the module is recorded: 0, or -1 with an error set.
// `added` is set when it put the module into the module table itself (a
// module executed by hand, outside the import statement), which a failed
// step takes out again.
int initialise(PyObject *module, PyObject *name, bool *added)
{
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins ||
        PyObject_SetAttrString(module, "__builtins__", builtins.get()) < 0) {
        return -1;
    }
    if (warn_on_version_mismatch() < 0 || prepare_constants() < 0) {
        return -1;
    }
    int registered = register_in_sys_modules(name, module);
    if (registered < 0) {
        return -1;
    }
    *added = registered > 0;
    PyObject *globals = PyModule_GetDict(module);
    if (!globals) {
        return -1;
    }
    if (run_namespace(globals) < 0) {
        return -1;
    }
    if (bind_function(globals, control_structure_spec) < 0 ||
        bind_function(globals, compute_section_spec) < 0) {
        return -1;
    }
#ifdef TARVIK_COUNT_PATHS
    if (add_path_counts(module) < 0) {
        return -1;
    }
#endif
    return 0;
}

PyObject *control_create(PyObject *spec, PyModuleDef *)
{
    int64_t current_id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current_id == -1) {
        return nullptr;
    }
    if (main_interpreter_id == -1) {
        main_interpreter_id = current_id;
    }
    else if (main_interpreter_id != current_id) {
        raise_formatted(
            PyExc_ImportError,
            "Interpreter change detected - this module can only be "
            "loaded into one interpreter per process.");
        return nullptr;
    }
    if (process_module) {
        // The interpreter forgets the module's (empty) state block when it
        // reuses the module and allocates a new one: release the old block.
        PyMem_Free(PyModule_GetState(process_module));
        return Py_NewRef(process_module);
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    return PyModule_NewObject(name.get());
}

int control_exec(PyObject *module)
{
    if (process_module) {
        if (process_module == module) {
            return 0;
        }
        raise_formatted(PyExc_RuntimeError,
                        "Module 'control' has already been imported. "
                        "Re-initialisation is not supported.");
        return -1;
    }
    process_module = Py_NewRef(module);
    Ref name = Ref::steal(PyUnicode_FromString(module_name));
    bool added = false;
    if (!name || initialise(module, name.get(), &added) < 0) {
        // A later import starts over with a new module object.
        if (added) {
            unregister_from_sys_modules(name.get(), module);
        }
        Py_CLEAR(process_module);
        return -1;
    }
    return 0;
}

PyModuleDef_Slot control_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(control_create)},
    {Py_mod_exec, reinterpret_cast<void *>(control_exec)},
    {0, nullptr},
};

PyModuleDef control_def = {
    PyModuleDef_HEAD_INIT,
    "control",
    "Control structure validation.",
    0,
    nullptr,
    control_slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

} // namespace tarvik

PyMODINIT_FUNC PyInit_control(void)
{
    return PyModuleDef_Init(&tarvik::control_def);
}
