// Reading the caller's mappings and values, building key lists and raising
// SafetyError: the pieces both checks share.
#include "checks.hpp"

#include <cstdarg>
#include <cstring>
#include <initializer_list>
#include <utility>

namespace tarvik {

Names names;
Constants constants;

int init_names()
{
    static bool ready = false;
    if (ready) {
        return 0;
    }
#define TARVIK_INTERN_NAME(field, text)                                       \
    if (!names.field && !(names.field = PyUnicode_InternFromString(text))) {  \
        return -1;                                                            \
    }
    TARVIK_INTERNED_NAMES(TARVIK_INTERN_NAME)
#undef TARVIK_INTERN_NAME
    ready = true;
    return 0;
}

namespace {

// A frozenset of the given names; the texts are interned.
PyObject *make_name_set(std::initializer_list<const char *> texts)
{
    Ref members = Ref::steal(PyList_New(0));
    if (!members) {
        return nullptr;
    }
    for (const char *text : texts) {
        Ref name = Ref::steal(PyUnicode_InternFromString(text));
        if (!name || PyList_Append(members.get(), name.get()) < 0) {
            return nullptr;
        }
    }
    return PyFrozenSet_New(members.get());
}

// Stores `value` into `*slot` unless it is already set; -1 when the value
// could not be made.
int keep(PyObject **slot, PyObject *value)
{
    if (*slot) {
        Py_XDECREF(value);
        return 0;
    }
    if (!value) {
        return -1;
    }
    *slot = value;
    return 0;
}

} // namespace

int init_constants()
{
    Constants &c = constants;
    if (keep(&c.allowed_top,
             make_name_set({"family", "predictor", "inla", "compute", "fixed",
                            "mode", "expert", "hazard", "lincomb", "update",
                            "lp_scale", "pardiso", "stiles", "taucs", "numa",
                            "only_hyperparam"})) < 0 ||
        keep(&c.allowed_predictor, make_name_set({"compute", "link"})) < 0 ||
        keep(&c.allowed_predictor_with_link,
             make_name_set(
                 {"compute", "link", "control.link", "control_link"})) < 0 ||
        keep(&c.allowed_inla,
             make_name_set({"strategy", "int.strategy", "int_strategy",
                            "control_vb", "adaptive_max"})) < 0 ||
        keep(&c.allowed_vb,
             make_name_set({"strategy", "hessian_strategy", "enable",
                            "iter_max", "hessian_update", "verbose",
                            "f_enable_limit", "emergency"})) < 0 ||
        keep(&c.strategy_choices,
             make_name_set({"auto", "gaussian", "simplified.laplace",
                            "laplace", "adaptive"})) < 0 ||
        keep(&c.int_strategy_choices,
             make_name_set(
                 {"auto", "ccd", "grid", "eb", "user", "user.std"})) < 0 ||
        keep(&c.allowed_compute,
             make_name_set({"config", "dic", "cpo", "mlik", "return_marginals",
                            "return_marginals_predictor", "waic", "po"})) <
            0 ||
        keep(&c.zero, PyLong_FromLong(0)) < 0 ||
        keep(&c.one, PyLong_FromLong(1)) < 0) {
        return -1;
    }
    if (keep(&c.strategy_choice_list, PySequence_Tuple(c.strategy_choices)) <
            0 ||
        keep(&c.int_strategy_choice_list,
             PySequence_Tuple(c.int_strategy_choices)) < 0 ||
        keep(&c.allowed_inla_text, key_list_text(c.allowed_inla).release()) <
            0 ||
        keep(&c.allowed_vb_text, key_list_text(c.allowed_vb).release()) < 0 ||
        keep(&c.allowed_compute_text,
             key_list_text(c.allowed_compute).release()) < 0) {
        return -1;
    }
    return 0;
}

namespace {

// The SafetyError of the moment: the module namespace first, then the
// module's builtins, as a global name in a Python function is found.
Ref find_safety_error(const CallContext &call)
{
    for (PyObject *scope : {call.globals, call.builtins}) {
        if (!scope) {
            continue; // cleared while the function was being torn down
        }
        PyObject *found = PyDict_GetItemWithError(scope, names.SafetyError);
        if (found) {
            return Ref::borrow(found);
        }
        if (PyErr_Occurred()) {
            return Ref();
        }
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined",
                 names.SafetyError);
    return Ref();
}

// The exception instance that `raise obj` raises, as the interpreter turns
// a class into an instance and refuses anything that is not an exception.
Ref exception_to_raise(PyObject *obj)
{
    if (PyExceptionClass_Check(obj)) {
        Ref instance = Ref::steal(PyObject_CallNoArgs(obj));
        if (!instance) {
            return Ref();
        }
        if (!PyExceptionInstance_Check(instance.get())) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of "
                         "BaseException, not %R",
                         obj, Py_TYPE(instance.get()));
            return Ref();
        }
        return instance;
    }
    if (PyExceptionInstance_Check(obj)) {
        return Ref::borrow(obj);
    }
    PyErr_SetString(PyExc_TypeError,
                    "exceptions must derive from BaseException");
    return Ref();
}

// value.__context__ = context, first cutting any link back to `value` in
// the context's own chain, as the interpreter does when it chains.
// Only the C API runs here, so the chain stays alive during the walk.
void set_context(PyObject *value, PyObject *context)
{
    PyObject *current = context;
    PyObject *slow = context; // Floyd's cycle detection
    bool advance_slow = false;
    while (PyObject *next = PyException_GetContext(current)) {
        Py_DECREF(next); // still held by `current`
        if (next == value) {
            PyException_SetContext(current, nullptr);
            break;
        }
        current = next;
        if (current == slow) {
            break; // a cycle already there, with `value` nowhere on it
        }
        if (advance_slow) {
            slow = PyException_GetContext(slow);
            Py_DECREF(slow);
        }
        advance_slow = !advance_slow;
    }
    PyException_SetContext(value, Py_NewRef(context));
}

// Raises error_class(message); true when that is what got raised, false
// when calling it or raising its result failed instead.
bool raise_instance_of(PyObject *error_class, PyObject *message)
{
    Ref created = Ref::steal(PyObject_CallOneArg(error_class, message));
    if (!created) {
        return false;
    }
    Ref error = exception_to_raise(created.get());
    if (!error) {
        return false;
    }
    // Chains the exception being handled as the context, as `raise` does.
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(error.get())),
                    error.get());
    return true;
}

} // namespace

PyObject *raise_safety_error(const CallContext &call, PyObject *message,
                             PyObject *cause)
{
    Ref error_class = find_safety_error(call);
    bool raised = error_class && raise_instance_of(error_class.get(), message);
    if (!cause) {
        return nullptr;
    }
    // As `raise SafetyError(message) from cause` inside the handler of
    // `cause`: whatever got raised has `cause` as its context (unless it is
    // `cause` itself), and a raised SafetyError has it as its cause too. The
    // handled-exception state is left alone; generators and coroutines keep
    // their own.
    PyObject *type;
    PyObject *value;
    PyObject *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value && PyExceptionInstance_Check(value)) {
        if (value != cause) {
            set_context(value, cause);
        }
        if (raised) {
            PyException_SetCause(value, Py_NewRef(cause));
        }
    }
    PyErr_Restore(type, value, traceback);
    return nullptr;
}

PendingSafetyError::PendingSafetyError(const CallContext &call)
    : error_class_(find_safety_error(call))
{}

PyObject *PendingSafetyError::raise(const char *format, va_list vargs)
{
    if (!error_class_) {
        return nullptr;
    }
    Ref message = Ref::steal(PyUnicode_FromFormatV(format, vargs));
    if (message) {
        raise_instance_of(error_class_.get(), message.get());
    }
    return nullptr;
}

PyObject *PendingSafetyError::raise(const char *format, ...)
{
    va_list vargs;
    va_start(vargs, format);
    raise(format, vargs);
    va_end(vargs);
    return nullptr;
}

PyObject *raise_safety_error_format(const CallContext &call,
                                    const char *format, ...)
{
    PendingSafetyError error(call);
    va_list vargs;
    va_start(vargs, format);
    error.raise(format, vargs);
    va_end(vargs);
    return nullptr;
}

Ref catch_exception()
{
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        return Ref();
    }
    PyObject *type;
    PyObject *value;
    PyObject *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback && value) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal(value);
}

int is_instance(PyObject *obj, PyTypeObject *type)
{
    if (PyObject_TypeCheck(obj, type)) {
        return 1;
    }
    return PyObject_IsInstance(obj, reinterpret_cast<PyObject *>(type));
}

int is_dict(PyObject *obj)
{
    return PyDict_Check(obj) ? 1 : is_instance(obj, &PyDict_Type);
}

int is_list(PyObject *obj)
{
    return is_instance(obj, &PyList_Type);
}

int is_bool(PyObject *obj)
{
    return is_instance(obj, &PyBool_Type);
}

int is_int(PyObject *obj)
{
    return PyLong_Check(obj) ? 1 : is_instance(obj, &PyLong_Type);
}

Ref mapping_get(PyObject *mapping, PyObject *key)
{
    if (PyDict_CheckExact(mapping)) {
        // Borrowed from the dict: owned at once, before anything else runs.
        PyObject *value = PyDict_GetItemWithError(mapping, key);
        if (value) {
            return Ref::borrow(value);
        }
        if (PyErr_Occurred()) {
            return Ref();
        }
        return Ref::none();
    }
    return Ref::steal(PyObject_CallMethodOneArg(mapping, names.get, key));
}

int fetch_section(const CallContext &call, PyObject *parent, PyObject *key,
                  const char *not_dict, Ref *section)
{
    Ref value = mapping_get(parent, key);
    if (!value) {
        return -1;
    }
    if (value.is_none()) {
        return 0;
    }
    int flag = is_dict(value.get());
    if (flag <= 0) {
        if (flag == 0) {
            raise_safety_error_format(call, not_dict);
        }
        return -1;
    }
    *section = std::move(value);
    return 1;
}

int mapping_contains(PyObject *mapping, PyObject *key)
{
    return PySequence_Contains(mapping, key);
}

namespace {

// True when `mapping` is an exact dict whose keys are all exact str members
// of `allowed`; false when that cannot be told without the general path.
// Runs no Python code: exact str hashing and comparison stay in C.
bool all_keys_allowed_fast(PyObject *mapping, PyObject *allowed)
{
    if (!PyDict_CheckExact(mapping)) {
        return false;
    }
    Py_ssize_t pos = 0;
    PyObject *key;
    PyObject *value;
    while (PyDict_Next(mapping, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key) || PySet_Contains(allowed, key) != 1) {
            return false;
        }
    }
    return true;
}

} // namespace

int unsupported_keys(PyObject *mapping, PyObject *allowed, Ref *extra)
{
    if (all_keys_allowed_fast(mapping, allowed)) {
        return 0;
    }
    // set(mapping.keys()) - allowed, through the mapping's own keys().
    Ref keys = Ref::steal(PyObject_CallMethodNoArgs(mapping, names.keys));
    if (!keys) {
        return -1;
    }
    Ref key_set = Ref::steal(PySet_New(keys.get()));
    if (!key_set) {
        return -1;
    }
    Ref difference = Ref::steal(PyNumber_Subtract(key_set.get(), allowed));
    if (!difference) {
        return -1;
    }
    if (PySet_GET_SIZE(difference.get()) == 0) {
        return 0;
    }
    *extra = std::move(difference);
    return 1;
}

Ref key_list_text(PyObject *keys)
{
    // A private list first: the keys' own __repr__ may run arbitrary code.
    Ref key_list = Ref::steal(PySequence_List(keys));
    if (!key_list) {
        return Ref();
    }
    Py_ssize_t count = PyList_GET_SIZE(key_list.get());
    Ref texts = Ref::steal(PyList_New(count));
    if (!texts) {
        return Ref();
    }
    for (Py_ssize_t i = 0; i < count; i++) {
        Ref key = Ref::borrow(PyList_GET_ITEM(key_list.get(), i));
        Ref shown = PyUnicode_Check(key.get())
                        ? Ref::borrow(key.get())
                        : Ref::steal(PyObject_Repr(key.get()));
        if (!shown) {
            return Ref();
        }
        // Exact str copies sort by code point with no user code involved.
        Ref text = Ref::steal(PyUnicode_FromObject(shown.get()));
        if (!text) {
            return Ref();
        }
        PyList_SET_ITEM(texts.get(), i, text.release());
    }
    if (PyList_Sort(texts.get()) < 0) {
        return Ref();
    }
    return Ref::steal(PyUnicode_Join(names.comma_blank, texts.get()));
}

namespace {

// strip(), lower() and optionally replace("_", ".") of an exact ASCII str
// into `buffer`; false when the result would not fit.
bool normalize_ascii(PyObject *text, bool dots, char *buffer,
                     Py_ssize_t capacity, Py_ssize_t *length)
{
    const Py_UCS1 *data = PyUnicode_1BYTE_DATA(text);
    Py_ssize_t start = 0;
    Py_ssize_t end = PyUnicode_GET_LENGTH(text);
    while (start < end && Py_UNICODE_ISSPACE(data[start])) {
        start++;
    }
    while (end > start && Py_UNICODE_ISSPACE(data[end - 1])) {
        end--;
    }
    if (end - start > capacity) {
        return false;
    }
    for (Py_ssize_t i = start; i < end; i++) {
        char ch = static_cast<char>(data[i]);
        if (ch >= 'A' && ch <= 'Z') {
            ch = static_cast<char>(ch - 'A' + 'a');
        }
        else if (dots && ch == '_') {
            ch = '.';
        }
        buffer[i - start] = ch;
    }
    *length = end - start;
    return true;
}

} // namespace

int NormalizedText::assign(PyObject *value, bool dots)
{
    in_buffer_ = false;
    text_ = Ref::steal(PyObject_Str(value));
    if (!text_) {
        return -1;
    }
    if (PyUnicode_CheckExact(text_.get()) && PyUnicode_IS_ASCII(text_.get()) &&
        normalize_ascii(text_.get(), dots, buffer_, capacity, &length_)) {
        in_buffer_ = true;
        return 0;
    }
    // The general path calls the methods by name, so a str subclass that
    // __str__ returned is treated through its own methods.
    text_ = Ref::steal(PyObject_CallMethodNoArgs(text_.get(), names.strip));
    if (text_) {
        text_ =
            Ref::steal(PyObject_CallMethodNoArgs(text_.get(), names.lower));
    }
    if (text_ && dots) {
        text_ = Ref::steal(PyObject_CallMethodObjArgs(
            text_.get(), names.replace, names.underscore, names.dot, nullptr));
    }
    return text_ ? 0 : -1;
}

// Only for a text in the buffer; the choices are exact ASCII strs.
bool NormalizedText::matches(PyObject *choice) const
{
    return PyUnicode_GET_LENGTH(choice) == length_ &&
           std::memcmp(PyUnicode_1BYTE_DATA(choice), buffer_,
                       static_cast<size_t>(length_)) == 0;
}

int NormalizedText::in(std::initializer_list<PyObject *> choices) const
{
    for (PyObject *choice : choices) {
        int equal = in_buffer_
                        ? matches(choice)
                        : PyObject_RichCompareBool(choice, text_.get(), Py_EQ);
        if (equal != 0) {
            return equal;
        }
    }
    return 0;
}

int NormalizedText::in_set(PyObject *members, PyObject *member_list) const
{
    if (!in_buffer_) {
        return PySequence_Contains(members, text_.get());
    }
    Py_ssize_t count = PyTuple_GET_SIZE(member_list);
    for (Py_ssize_t i = 0; i < count; i++) {
        if (matches(PyTuple_GET_ITEM(member_list, i))) {
            return 1;
        }
    }
    return 0;
}

Ref format_text(PyObject *value)
{
    return Ref::steal(PyObject_Format(value, names.empty));
}

} // namespace tarvik
