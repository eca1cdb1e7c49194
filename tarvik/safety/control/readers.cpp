// The parts of the two readers that are not written in readers.hpp: what
// the fast reader takes in, and what the general one asks the caller's
// objects.
#include "readers.hpp"

namespace tarvik {

bool FastReader::convert(Value value, double *q)
{
    if (PyFloat_CheckExact(value)) {
        *q = PyFloat_AS_DOUBLE(value);
        return true;
    }
    if (!PyUnicode_CheckExact(value)) {
        return false;
    }
    // float() of an exact str runs no Python code, but the error it makes
    // is an allocation that can start the collector: nothing borrowed is
    // read after it.
    Ref number = Ref::steal(PyNumber_Float(value));
    if (!number) {
        return false;
    }
    *q = PyFloat_AS_DOUBLE(number.get());
    return true;
}

bool FastReader::number(Value value, double *q,
                        const Message &not_numeric) const
{
    if (convert(value, q)) {
        return true;
    }
    return PyErr_Occurred() &&
           raise_from_pending(OwnedCall(call_).get(), not_numeric);
}

bool FastReader::refuse_keys(PyObject *mapping, const Table &allowed,
                             const KeysMessage &message) const
{
#ifdef TARVIK_COUNT_PATHS
    path_counts.keys_listed++;
#endif
    // Its keys are exact strs, which listing them asks nothing.
    Ref owned = Ref::borrow(mapping);
    return only_allowed_keys(OwnedCall(call_).get(), owned.get(), allowed,
                             message);
}

bool FastReader::refuse_showing_strs(const Message &message, Fills fills) const
{
    Ref owned[Message::max_holes];
    int count = 0;
    for (PyObject *fill : fills) {
        if (!PyUnicode_CheckExact(fill)) {
            return false;
        }
        owned[count++] = Ref::borrow(fill);
    }
    OwnedCall call(call_);
    PendingSafetyError error(call.get());
    return error && error.raise(message, fills);
}

bool FastReader::refuse(const Message &message) const
{
    return raise_safety_error(OwnedCall(call_).get(), message);
}

GeneralReader::Value GeneralReader::get(PyObject *mapping,
                                        PyObject *name) const
{
    if (!PyDict_CheckExact(mapping)) {
        return Ref::steal(PyObject_CallMethodOneArg(mapping, words.get, name));
    }
    // Borrowed from the dict: owned at once, before anything else runs.
    PyObject *value = PyDict_GetItemWithError(mapping, name);
    if (!value && !PyErr_Occurred()) {
        value = Py_None;
    }
    return Ref::borrow(value);
}

Ref GeneralReader::present_keys(PyObject *mapping, const Table &table) const
{
    // An exact dict is its own keys() as far as `intersection` can tell:
    // both give its keys in the same order.
    Ref keys =
        PyDict_CheckExact(mapping)
            ? Ref::borrow(mapping)
            : Ref::steal(PyObject_CallMethodNoArgs(mapping, words.keys));
    Ref present = keys ? Ref::steal(PyObject_CallMethodOneArg(
                             table.members(), words.intersection, keys.get()))
                       : Ref();
    return present ? Ref::steal(PyObject_GetIter(present.get())) : Ref();
}

int GeneralReader::equals(const Value &value, long number) const
{
    if (PyLong_CheckExact(value.get())) { // no code to ask
        int overflow = 0;
        long got = PyLong_AsLongAndOverflow(value.get(), &overflow);
        return !overflow && got == number;
    }
    Ref expected = Ref::steal(PyLong_FromLong(number));
    Ref equal = expected ? Ref::steal(PyObject_RichCompare(
                               value.get(), expected.get(), Py_EQ))
                         : Ref();
    return equal ? PyObject_IsTrue(equal.get()) : -1;
}

bool GeneralReader::normalize_or(const Value &value, bool dots, Text *text,
                                 const Message &not_text, PyObject *name) const
{
    if (text->assign(value.get(), dots) == 0) {
        return true;
    }
    return raise_from_pending(call_, not_text, {name});
}

bool GeneralReader::number(const Value &value, double *q,
                           const Message &not_numeric) const
{
    // float() gives an exact float.
    Ref number = Ref::steal(PyNumber_Float(value.get()));
    if (!number) {
        return raise_from_pending(call_, not_numeric);
    }
    *q = PyFloat_AS_DOUBLE(number.get());
    return true;
}

int GeneralReader::family_is(FamilySlot slot, FamilySlot also) const
{
    PyObject *families = call_.families;
    Py_ssize_t count = PyTuple_GET_SIZE(families);
    for (Py_ssize_t i = 0; i < count; i++) {
        Ref family = Ref::borrow(PyTuple_GET_ITEM(families, i));
        if (PyUnicode_CheckExact(family.get())) { // no code to ask
            int found = gamma_families.find(family.get());
            if (found >= 0 && (found == slot.index || found == also.index)) {
                return 1;
            }
            continue;
        }
        int equal = PyObject_RichCompareBool(family.get(),
                                             gamma_families.name(slot), Py_EQ);
        if (equal == 0 && also.index != slot.index) {
            equal = PyObject_RichCompareBool(family.get(),
                                             gamma_families.name(also), Py_EQ);
        }
        if (equal != 0) {
            return equal;
        }
    }
    return 0;
}

} // namespace tarvik
