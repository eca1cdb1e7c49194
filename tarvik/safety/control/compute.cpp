// enforce_compute_section: the `compute` switches of the control mapping.
#include "checks.hpp"

#include <initializer_list>

namespace tarvik {

namespace {

// A switch holds True, False or an int equal to 0 or 1: 1, 0 or -1.
int is_switch_value(PyObject *value)
{
    if (PyBool_Check(value)) {
        return 1;
    }
    if (PyLong_CheckExact(value)) { // not a bool; no code to ask
        int overflow = 0;
        long number = PyLong_AsLongAndOverflow(value, &overflow);
        return !overflow && (number == 0 || number == 1);
    }
    int flag = is_bool(value);
    if (flag != 0) {
        return flag;
    }
    flag = is_int(value);
    if (flag <= 0) {
        return flag;
    }
    // `value == 0 or value == 1`, through the value's own equality.
    for (PyObject *accepted : {constants.zero, constants.one}) {
        Ref equal = Ref::steal(PyObject_RichCompare(value, accepted, Py_EQ));
        if (!equal) {
            return -1;
        }
        int truth = PyObject_IsTrue(equal.get());
        if (truth != 0) {
            return truth;
        }
    }
    return 0;
}

// True when `compute` is an exact dict keyed by allowed exact strs whose
// values are exact bools or exact ints 0 and 1, read without running any
// Python code; false when that is not so or only the objects' own methods
// can tell.
bool switches_accepted(PyObject *compute)
{
    if (!PyDict_CheckExact(compute)) {
        return false;
    }
    Py_ssize_t size = PyDict_Size(compute);
    Py_ssize_t pos = 0;
    PyObject *key;
    PyObject *value;
    for (Py_ssize_t i = 0;
         i < size && PyDict_Next(compute, &pos, &key, &value); i++) {
        if (constants.compute.find_object(key) < 0 &&
            (!PyUnicode_CheckExact(key) ||
             constants.compute.find_text(key) < 0)) {
            return false;
        }
        if (PyBool_Check(value)) {
            continue;
        }
        if (!PyLong_CheckExact(value)) {
            return false;
        }
        int overflow = 0;
        long number = PyLong_AsLongAndOverflow(value, &overflow);
        if (overflow || (number != 0 && number != 1)) {
            return false;
        }
    }
    return true;
}

// Visits the allowed switches present in `compute`, in the iteration order
// of their intersection, each value read by item lookup.
PyObject *check_switches(const CallContext &call, PyObject *compute)
{
    // An exact dict is its own keys() as far as `intersection` can tell:
    // both give its keys in the same order.
    Ref keys =
        PyDict_CheckExact(compute)
            ? Ref::borrow(compute)
            : Ref::steal(PyObject_CallMethodNoArgs(compute, names.keys));
    if (!keys) {
        return nullptr;
    }
    Ref present = Ref::steal(PyObject_CallMethodOneArg(
        constants.compute.members, names.intersection, keys.get()));
    if (!present) {
        return nullptr;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(present.get()));
    if (!iterator) {
        return nullptr;
    }
    while (true) {
        Ref key = Ref::steal(PyIter_Next(iterator.get()));
        if (!key) {
            break;
        }
        Ref value = Ref::steal(PyObject_GetItem(compute, key.get()));
        if (!value) {
            return nullptr;
        }
        int valid = is_switch_value(value.get());
        if (valid < 0) {
            return nullptr;
        }
        if (!valid) {
            PendingSafetyError error(call);
            Ref shown = error ? format_text(key.get()) : Ref();
            return shown ? error.raise(msg::compute_not_bool, {shown.get()})
                         : nullptr;
        }
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// The compute section: `control.get("compute")`, not None.
PyObject *check_compute_value(const CallContext &call, PyObject *compute)
{
    int flag = is_dict(compute);
    if (flag <= 0) {
        return flag < 0
                   ? nullptr
                   : raise_safety_error_format(call, msg::compute_not_dict);
    }
    ExtraKeys extra;
    flag = extra.find(compute, constants.compute);
    if (flag < 0) {
        return nullptr;
    }
    if (flag) {
        PendingSafetyError error(call);
        Ref shown = error ? extra.listed() : Ref();
        return shown ? error.raise(msg::compute_unsupported,
                                   {shown.get(), constants.compute.text})
                     : nullptr;
    }
    return check_switches(call, compute);
}

} // namespace

int quick_compute_section(PyObject *, PyObject *control, Ref *carried)
{
    // An exact dict answers the truth and dict tests without running code;
    // an empty one has no compute section, which the lookup tells as well.
    if (!PyDict_CheckExact(control)) {
        return 0;
    }
    PyObject *compute = PyDict_GetItemWithError(control, names.compute);
    if (!compute) {
        return PyErr_Occurred() ? -1 : 1;
    }
    if (compute == Py_None) {
        return 1;
    }
    *carried = Ref::borrow(compute);
    return switches_accepted(compute) ? 1 : 0;
}

PyObject *check_compute_section(const CallContext &call, PyObject *control_arg,
                                PyObject *carried)
{
    if (carried) {
        // The quick step has read it already and could not decide.
        return check_compute_value(call, carried);
    }
    Ref control = Ref::borrow(control_arg);
    // A false `control` stands for an empty mapping, which has no compute.
    int truth = PyObject_IsTrue(control.get());
    if (truth <= 0) {
        return truth < 0 ? nullptr : Py_NewRef(Py_None);
    }
    // Anything else that is not a dict is the other check's complaint.
    int flag = is_dict(control.get());
    if (flag <= 0) {
        return flag < 0 ? nullptr : Py_NewRef(Py_None);
    }
    Ref compute = mapping_get(control.get(), names.compute);
    if (!compute) {
        return nullptr;
    }
    // An exact compute dict under another control is decided as the quick
    // step decides it.
    if (compute.is_none() || switches_accepted(compute.get())) {
        Py_RETURN_NONE;
    }
    return check_compute_value(call, compute.get());
}

} // namespace tarvik
