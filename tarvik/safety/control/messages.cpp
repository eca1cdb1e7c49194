// Message texts filled in, and SafetyError raised with them as the
// interpreter raises an exception.
#include "messages.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstring>

namespace tarvik {

PyObject *const *Message::pieces() const
{
    if (piece_count) {
        return made;
    }
    Ref texts[max_holes + 1];
    int count = 0;
    for (const char *start = text;;) {
        const char *hole = std::strstr(start, "{}");
        texts[count] = Ref::steal(PyUnicode_FromStringAndSize(
            start, hole ? hole - start
                        : static_cast<Py_ssize_t>(std::strlen(start))));
        if (!texts[count++]) {
            return nullptr;
        }
        if (!hole) {
            break;
        }
        if (count > max_holes) {
            raise_formatted(PyExc_SystemError, "too many holes in a message");
            return nullptr;
        }
        start = hole + 2;
    }
    for (int i = 0; i < count; i++) {
        made[i] = texts[i].release();
    }
    piece_count = count;
    return made;
}

namespace {

// The strs `parts`, one after the other: what PyUnicode_Join gives. Texts
// of one byte a character, which messages are, are copied straight into
// the new str: joining a tuple of them costs a refusal that shows a key or
// a value up to 600 more instructions (bench).
Ref concatenated(PyObject *const *parts, int count)
{
    Py_ssize_t length = 0;
    Py_UCS4 max_char = 0;
    for (int i = 0; i < count; i++) {
        PyObject *part = parts[i];
        if (PyUnicode_READY(part) < 0) {
            return Ref();
        }
        if (PyUnicode_GET_LENGTH(part) > PY_SSIZE_T_MAX - length) {
            PyErr_NoMemory();
            return Ref();
        }
        length += PyUnicode_GET_LENGTH(part);
        max_char = std::max(max_char, PyUnicode_MAX_CHAR_VALUE(part));
    }
    Ref text = Ref::steal(PyUnicode_New(length, max_char));
    if (!text) {
        return Ref();
    }
    Py_ssize_t at = 0;
    for (int i = 0; i < count; i++) {
        PyObject *part = parts[i];
        Py_ssize_t part_length = PyUnicode_GET_LENGTH(part);
        if (max_char < 0x100) { // then every part is one byte a character
            std::memcpy(PyUnicode_1BYTE_DATA(text.get()) + at,
                        PyUnicode_1BYTE_DATA(part),
                        static_cast<size_t>(part_length));
        }
        else if (PyUnicode_CopyCharacters(text.get(), at, part, 0,
                                          part_length) < 0) {
            return Ref();
        }
        at += part_length;
    }
    return text;
}

// The message with its holes filled with `fills`, each formatted as
// str.format formats it.
Ref message_text(const Message &message, Fills fills)
{
    PyObject *const *pieces = message.pieces();
    if (!pieces) {
        return Ref();
    }
    int holes = message.holes();
    if (static_cast<size_t>(holes) != fills.size()) {
        raise_formatted(PyExc_SystemError, "message holes do not fit");
        return Ref();
    }
    if (holes == 0) {
        return Ref::borrow(pieces[0]);
    }
    // The pieces are the message's, kept for the process; the texts of the
    // fills are owned, since formatting one runs its code.
    Ref shown[Message::max_holes];
    PyObject *parts[2 * Message::max_holes + 1];
    int count = 0;
    for (PyObject *fill : fills) {
        Ref &text = shown[count / 2];
        text = Ref::steal(PyObject_Format(fill, nullptr));
        if (!text) {
            return Ref();
        }
        parts[count] = pieces[count / 2];
        parts[count + 1] = text.get();
        count += 2;
    }
    parts[count] = pieces[holes];
    return concatenated(parts, count + 1);
}

// The SafetyError of the moment: the module namespace first, then the
// module's builtins, as a global name in a Python function is found.
Ref find_safety_error(const CallContext &call)
{
    PyObject *name = words.safety_error;
    for (PyObject *scope : {call.globals, call.builtins}) {
        if (!scope) {
            continue; // cleared while the function was being torn down
        }
        PyObject *found = PyDict_GetItemWithError(scope, name);
        if (found) {
            return Ref::borrow(found);
        }
        if (PyErr_Occurred()) {
            return Ref();
        }
    }
    raise_formatted(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
}

// What `raise obj` hands the interpreter: a class with the instance it made
// of it (which the interpreter makes once more from that instance when it is
// not one of the class's), or an instance with its class; a TypeError for
// anything else.
bool exception_to_raise(PyObject *obj, Ref *type, Ref *value)
{
    if (PyExceptionClass_Check(obj)) {
        *type = Ref::borrow(obj);
        *value = Ref::steal(PyObject_CallNoArgs(obj));
        if (*value && !PyExceptionInstance_Check(value->get())) {
            raise_formatted(PyExc_TypeError,
                            "calling %R should have returned an instance of "
                            "BaseException, not %R",
                            obj, Py_TYPE(value->get()));
            return false;
        }
        return bool(*value);
    }
    if (PyExceptionInstance_Check(obj)) {
        *type = Ref::borrow(reinterpret_cast<PyObject *>(Py_TYPE(obj)));
        *value = Ref::borrow(obj);
        return true;
    }
    raise_formatted(PyExc_TypeError,
                    "exceptions must derive from BaseException");
    return false;
}

// Raises error_class(message) as `raise error_class(message) from cause`
// does (no cause: as `raise error_class(message)`): the context is the
// exception being handled, cycles through it cut and the instance's own
// traceback kept, all by the interpreter's own PyErr_SetObject. True when
// that is what got raised, false when calling the class or raising its
// result failed instead.
bool raise_instance_of(PyObject *error_class, PyObject *message,
                       PyObject *cause)
{
    Ref created = Ref::steal(PyObject_CallOneArg(error_class, message));
    // Owned: replacing the instance's context drops the old one, whose
    // finaliser may change the instance's class and free the old one.
    Ref type;
    Ref error;
    if (!created || !exception_to_raise(created.get(), &type, &error)) {
        return false;
    }
    if (cause) {
        PyException_SetCause(error.get(), Py_NewRef(cause));
    }
    PyErr_SetObject(type.get(), error.get());
    return true;
}

} // namespace

PyObject *raise_formatted(PyObject *type, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    Ref message = Ref::steal(PyUnicode_FromFormatV(format, arguments));
    va_end(arguments);
    if (message) {
        PyErr_SetObject(type, message.get());
    }
    return nullptr;
}

bool raise_safety_error(const CallContext &call, const Message &message)
{
    return PendingSafetyError(call).raise(message, {});
}

PendingSafetyError::PendingSafetyError(const CallContext &call)
    : error_class_(find_safety_error(call))
{}

bool PendingSafetyError::raise(const Message &message, Fills fills)
{
    Ref text = error_class_ ? message_text(message, fills) : Ref();
    if (text) {
        raise_instance_of(error_class_.get(), text.get(), nullptr);
    }
    return false;
}

namespace {

// For its lifetime `exc` is the exception being handled, as inside
// `except Exception as exc:`: SafetyError's constructor sees it in
// sys.exc_info(), and whatever is raised meanwhile has it as context. The
// handled exception of this level before is back afterwards, as the
// interpreter puts it back when its handler ends. It is read from the
// thread state, as the interpreter saves it: PyErr_GetExcInfo gives the
// innermost one set at any level (a generator's caller's, say), and
// putting that back would give a generator an exception it never handled.
class Handling {
  public:
    explicit Handling(PyObject *exc)
        : saved_(Py_XNewRef(PyThreadState_Get()->exc_info->exc_value))
    {
        PyErr_SetExcInfo(nullptr, Py_NewRef(exc), nullptr);
    }
    Handling(const Handling &) = delete;
    Handling &operator=(const Handling &) = delete;
    ~Handling() { PyErr_SetExcInfo(nullptr, saved_, nullptr); }

  private:
    PyObject *saved_;
};

// Clears and returns the pending exception when it belongs to the Exception
// family; otherwise leaves it pending and returns an empty Ref.
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

} // namespace

bool raise_from_pending(const CallContext &call, const Message &message,
                        Fills fills)
{
    Ref caught = catch_exception();
    if (!caught) {
        return false;
    }
    Handling handling(caught.get());
    Ref error_class = find_safety_error(call);
    Ref text = error_class ? message_text(message, fills) : Ref();
    if (text) {
        raise_instance_of(error_class.get(), text.get(), caught.get());
    }
    return false;
}

} // namespace tarvik
