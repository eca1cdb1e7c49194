// Message texts filled in, and SafetyError raised with them as the
// interpreter raises an exception.
#include "messages.hpp"

#include <cstdarg>
#include <cstring>
#include <string_view>

namespace tarvik {

namespace {

// "'a', 'b', 'c'", or with `either` "'a' or 'b'" and "'a', 'b', or 'c'".
Ref quoted(const Table &table, bool either)
{
    Ref text = Ref::steal(PyUnicode_FromString(""));
    int count = table.count();
    for (int i = 0; text && i < count; i++) {
        const char *separator = i == 0                     ? ""
                                : !either || i < count - 1 ? ", "
                                : count == 2               ? " or "
                                                           : ", or ";
        text = Ref::steal(PyUnicode_FromFormat("%U%s'%s'", text.get(),
                                               separator, table.text(i)));
    }
    return text;
}

// What fills the hole `{hole}` of a message once.
Ref fixed_fill(std::string_view hole, Table *table, const char *name)
{
    if (hole == "name" && name) {
        return Ref::steal(PyUnicode_FromString(name));
    }
    if (table && hole == "sorted") {
        return Ref::borrow(table->sorted());
    }
    if (table && (hole == "quoted" || hole == "either")) {
        return quoted(*table, hole == "either");
    }
    raise_formatted(PyExc_SystemError, "unknown hole in a message text");
    return Ref();
}

// `text` += `more`
bool append(Ref *text, PyObject *more)
{
    *text = Ref::steal(PyUnicode_Concat(text->get(), more));
    return bool(*text);
}

} // namespace

PyObject *Message::pieces()
{
    if (pieces_) {
        return pieces_;
    }
    // The pieces are kept where no Python code reaches them until the tuple
    // is made (making it can start the collector, whose callbacks can find
    // any list of ours); strs are made on the way, which does not collect.
    constexpr int capacity = 4;
    Ref pieces[capacity];
    int count = 0;
    pieces[0] = Ref::steal(PyUnicode_FromString(""));
    if (!pieces[0]) {
        return nullptr;
    }
    for (const char *at = text_;;) {
        const char *open = std::strchr(at, '{');
        Ref literal = Ref::steal(PyUnicode_FromStringAndSize(
            at, open ? open - at : static_cast<Py_ssize_t>(std::strlen(at))));
        if (!literal || !append(&pieces[count], literal.get())) {
            return nullptr;
        }
        if (!open) {
            break;
        }
        const char *close = std::strchr(open, '}');
        std::string_view hole(open + 1, static_cast<size_t>(close - open - 1));
        if (hole.empty()) {
            // Filled at the call: the next piece begins.
            if (++count == capacity) {
                raise_formatted(PyExc_SystemError,
                                "too many holes in a message");
                return nullptr;
            }
            pieces[count] = Ref::steal(PyUnicode_FromString(""));
            if (!pieces[count]) {
                return nullptr;
            }
        }
        else {
            Ref fill = fixed_fill(hole, table_, name_);
            if (!fill || !append(&pieces[count], fill.get())) {
                return nullptr;
            }
        }
        at = close + 1;
    }
    PyObject *made = PyTuple_New(count + 1);
    if (!made) {
        return nullptr;
    }
    for (int i = 0; i <= count; i++) {
        PyTuple_SET_ITEM(made, i, pieces[i].release());
    }
    // The collector may have run a refusal with this message meanwhile,
    // which made the pieces too: one is kept.
    if (pieces_) {
        Py_DECREF(made);
        return pieces_;
    }
    pieces_ = made;
    return pieces_;
}

namespace {

// The message with its holes filled with `shown` (str), in order.
Ref message_text(Message &message, std::initializer_list<PyObject *> shown)
{
    PyObject *pieces = message.pieces();
    if (!pieces) {
        return Ref();
    }
    Py_ssize_t count = PyTuple_GET_SIZE(pieces);
    if (count != static_cast<Py_ssize_t>(shown.size()) + 1) {
        raise_formatted(PyExc_SystemError, "message holes do not fit");
        return Ref();
    }
    if (count == 1) {
        return Ref::borrow(PyTuple_GET_ITEM(pieces, 0));
    }
    Ref parts = Ref::steal(PyTuple_New(2 * count - 1));
    if (!parts) {
        return Ref();
    }
    for (Py_ssize_t i = 0; i < count; i++) {
        PyTuple_SET_ITEM(parts.get(), 2 * i,
                         Py_NewRef(PyTuple_GET_ITEM(pieces, i)));
        if (i + 1 < count) {
            PyTuple_SET_ITEM(parts.get(), 2 * i + 1,
                             Py_NewRef(shown.begin()[i]));
        }
    }
    return Ref::steal(PyUnicode_Join(word_name(word::empty), parts.get()));
}

// The SafetyError of the moment: the module namespace first, then the
// module's builtins, as a global name in a Python function is found.
Ref find_safety_error(const CallContext &call)
{
    PyObject *name = word_name(word::safety_error);
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

// The exception instance that `raise obj` raises, as the interpreter turns
// a class into an instance and refuses anything that is not an exception.
Ref exception_to_raise(PyObject *obj)
{
    if (PyExceptionClass_Check(obj)) {
        Ref instance = Ref::steal(PyObject_CallNoArgs(obj));
        if (instance && !PyExceptionInstance_Check(instance.get())) {
            raise_formatted(PyExc_TypeError,
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
    raise_formatted(PyExc_TypeError,
                    "exceptions must derive from BaseException");
    return Ref();
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
    Ref error = created ? exception_to_raise(created.get()) : Ref();
    if (!error) {
        return false;
    }
    if (cause) {
        PyException_SetCause(error.get(), Py_NewRef(cause));
    }
    // Owned: replacing the instance's context drops the old one, whose
    // finaliser may change the instance's class and free the old one.
    Ref type = Ref::borrow(reinterpret_cast<PyObject *>(Py_TYPE(error.get())));
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

bool raise_safety_error(const CallContext &call, Message &message)
{
    return PendingSafetyError(call).raise(message, {});
}

PendingSafetyError::PendingSafetyError(const CallContext &call)
    : error_class_(find_safety_error(call))
{}

bool PendingSafetyError::raise(Message &message,
                               std::initializer_list<PyObject *> shown)
{
    Ref text = error_class_ ? message_text(message, shown) : Ref();
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

bool raise_from_pending(const CallContext &call, Message &message)
{
    Ref caught = catch_exception();
    if (!caught) {
        return false;
    }
    Handling handling(caught.get());
    Ref error_class = find_safety_error(call);
    Ref text = error_class ? message_text(message, {}) : Ref();
    if (text) {
        raise_instance_of(error_class.get(), text.get(), caught.get());
    }
    return false;
}

} // namespace tarvik
