// Reading the caller's mappings and values, building key lists and raising
// SafetyError: the pieces both checks share.
#include "checks.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>
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

int NameTable::find_text(PyObject *key) const
{
    if (PyUnicode_READY(key) < 0) {
        PyErr_Clear(); // out of memory: the general path will say so
        return -1;
    }
    // An exact str caches its hash, and hashing it runs no Python code.
    Py_hash_t hash = PyObject_Hash(key);
    for (size_t slot = static_cast<size_t>(hash) & (slot_count - 1);
         by_hash[slot] >= 0; slot = next_slot(slot)) {
        int index = by_hash[slot];
        PyObject *name = names[index];
        // Equal texts have the same kind; the names are all ASCII.
        Py_ssize_t length = PyUnicode_GET_LENGTH(name);
        if (hashes[index] == hash && PyUnicode_GET_LENGTH(key) == length &&
            PyUnicode_KIND(key) == PyUnicode_1BYTE_KIND &&
            std::memcmp(PyUnicode_1BYTE_DATA(key), PyUnicode_1BYTE_DATA(name),
                        static_cast<size_t>(length)) == 0) {
            return index;
        }
    }
    return -1;
}

namespace {

// The names of `table` and what was made from them, interned and indexed,
// into `*built`: 0, or -1 with an error set (what it made is then in
// *built all the same, for the caller to release).
int build_table(NameTable *built, std::initializer_list<const char *> texts)
{
    std::fill(std::begin(built->by_address), std::end(built->by_address), -1);
    std::fill(std::begin(built->by_hash), std::end(built->by_hash), -1);
    for (const char *text : texts) {
        if (built->count == NameTable::capacity) {
            PyErr_SetString(PyExc_SystemError, "name table too small");
            return -1;
        }
        PyObject *name = PyUnicode_InternFromString(text);
        if (!name) {
            return -1;
        }
        built->names[built->count] = name;
        Py_hash_t hash = PyObject_Hash(name);
        if (hash == -1) {
            return -1;
        }
        auto index = static_cast<signed char>(built->count);
        built->hashes[built->count] = hash;
        built->count++;
        size_t slot = static_cast<size_t>(hash) & (NameTable::slot_count - 1);
        while (built->by_hash[slot] >= 0) {
            slot = NameTable::next_slot(slot);
        }
        built->by_hash[slot] = index;
        slot = NameTable::address_slot(name);
        while (built->by_address[slot] >= 0) {
            slot = NameTable::next_slot(slot);
        }
        built->by_address[slot] = index;
    }
    Ref listed = Ref::steal(PyList_New(built->count));
    if (!listed) {
        return -1;
    }
    for (int i = 0; i < built->count; i++) {
        PyList_SET_ITEM(listed.get(), i, Py_NewRef(built->names[i]));
    }
    // Made from the names in their order, as the allowed sets always were
    // (which switch a compute message names follows the iteration order of
    // an intersection with this set).
    Ref members = Ref::steal(PyFrozenSet_New(listed.get()));
    Ref text = members ? key_list_text(members.get()) : Ref();
    if (!text) {
        return -1;
    }
    built->members = members.release();
    built->text = text.release();
    return 0;
}

// Fills `table` with the given names unless it is already filled: 0, or -1
// with an error set and `table` left empty.
int make_table(NameTable *table, std::initializer_list<const char *> texts)
{
    if (table->members) {
        return 0;
    }
    NameTable built;
    if (build_table(&built, texts) < 0) {
        for (int i = 0; i < built.count; i++) {
            Py_DECREF(built.names[i]);
        }
        return -1;
    }
    *table = built;
    return 0;
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
    if (make_table(&c.top, {"family", "predictor", "inla", "compute", "fixed",
                            "mode", "expert", "hazard", "lincomb", "update",
                            "lp_scale", "pardiso", "stiles", "taucs", "numa",
                            "only_hyperparam"}) < 0 ||
        make_table(&c.predictor, {"compute", "link"}) < 0 ||
        make_table(&c.predictor_with_link,
                   {"compute", "link", "control.link", "control_link"}) < 0 ||
        make_table(&c.family_link, {"control.link", "control_link"}) < 0 ||
        make_table(&c.link, {"model", "quantile"}) < 0 ||
        make_table(&c.inla, {"strategy", "int.strategy", "int_strategy",
                             "control_vb", "adaptive_max"}) < 0 ||
        make_table(&c.vb, {"strategy", "hessian_strategy", "enable",
                           "iter_max", "hessian_update", "verbose",
                           "f_enable_limit", "emergency"}) < 0 ||
        make_table(&c.compute,
                   {"config", "dic", "cpo", "mlik", "return_marginals",
                    "return_marginals_predictor", "waic", "po"}) < 0 ||
        make_table(&c.strategy_choices,
                   {"auto", "gaussian", "simplified.laplace", "laplace",
                    "adaptive"}) < 0 ||
        make_table(&c.int_strategy_choices,
                   {"auto", "ccd", "grid", "eb", "user", "user.std"}) < 0 ||
        make_table(&c.vb_strategy_choices, {"mean", "variance"}) < 0 ||
        make_table(&c.vb_hessian_choices,
                   {"default", "full", "partial", "diagonal"}) < 0 ||
        make_table(&c.gammasurv_models, {"log", "neglog", "quantile"}) < 0 ||
        make_table(&c.early_models, {"log", "neglog"}) < 0 ||
        make_table(&c.gamma_models, {"quantile"}) < 0 ||
        make_table(&c.gamma_family, {"gamma"}) < 0 ||
        make_table(&c.gammasurv_family, {"gammasurv"}) < 0 ||
        keep(&c.zero, PyLong_FromLong(0)) < 0 ||
        keep(&c.one, PyLong_FromLong(1)) < 0) {
        return -1;
    }
    return 0;
}

PyObject *raise_formatted(PyObject *type, const char *format, ...)
{
    va_list vargs;
    va_start(vargs, format);
    Ref message = Ref::steal(PyUnicode_FromFormatV(format, vargs));
    va_end(vargs);
    if (message) {
        PyErr_SetObject(type, message.get());
    }
    return nullptr;
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
    raise_formatted(PyExc_NameError, "name '%U' is not defined",
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

// Raises error_class(message), chained to `cause` when given as
// `raise error_class(message) from cause` in the handler of `cause` chains
// it; true when that is what got raised, false when calling the class or
// raising its result failed instead.
bool raise_instance_of(PyObject *error_class, PyObject *message,
                       PyObject *cause)
{
    Ref created = Ref::steal(PyObject_CallOneArg(error_class, message));
    if (!created) {
        return false;
    }
    Ref error = exception_to_raise(created.get());
    if (!error) {
        return false;
    }
    // Owned: replacing the instance's context or cause drops the old one,
    // whose finaliser may change the instance's class and free the old one.
    Ref type = Ref::borrow(reinterpret_cast<PyObject *>(Py_TYPE(error.get())));
    if (!cause) {
        // Chains the exception being handled as the context, as `raise` does.
        PyErr_SetObject(type.get(), error.get());
        return true;
    }
    // The context is `cause`, not the exception being handled; the
    // handled-exception state is left alone (generators and coroutines keep
    // their own).
    if (error.get() != cause) {
        set_context(error.get(), cause);
    }
    PyException_SetCause(error.get(), Py_NewRef(cause));
    PyErr_Restore(type.release(), error.release(), nullptr);
    return true;
}

} // namespace

PyObject *raise_safety_error(const CallContext &call, PyObject *message,
                             PyObject *cause)
{
    Ref error_class = find_safety_error(call);
    if ((error_class &&
         raise_instance_of(error_class.get(), message, cause)) ||
        !cause) {
        return nullptr;
    }
    // Looking the class up, calling it or raising its result failed: what
    // got raised instead has `cause` as its context (unless it is `cause`
    // itself), as in the handler of `cause`.
    PyObject *type;
    PyObject *value;
    PyObject *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value && PyExceptionInstance_Check(value) && value != cause) {
        set_context(value, cause);
    }
    PyErr_Restore(type, value, traceback);
    return nullptr;
}

namespace {

// The pieces of a message text around its "%U" holes, as a tuple of str.
struct MessagePieces {
    const char *format;
    PyObject *pieces;
};
MessagePieces message_pieces[48];
int message_pieces_count = 0;

// The pieces of `format`, split on first use and kept for the process
// (borrowed); nullptr with an error set.
PyObject *pieces_of(const char *format)
{
    for (int i = 0; i < message_pieces_count; i++) {
        if (message_pieces[i].format == format) {
            return message_pieces[i].pieces;
        }
    }
    constexpr int capacity = std::size(message_pieces);
    if (message_pieces_count == capacity) {
        PyErr_SetString(PyExc_SystemError, "too many message texts");
        return nullptr;
    }
    Ref pieces = Ref::steal(PyList_New(0));
    if (!pieces) {
        return nullptr;
    }
    const char *start = format;
    while (true) {
        const char *hole = std::strstr(start, "%U");
        Ref piece = Ref::steal(PyUnicode_FromStringAndSize(
            start, hole ? hole - start
                        : static_cast<Py_ssize_t>(std::strlen(start))));
        if (!piece || PyList_Append(pieces.get(), piece.get()) < 0) {
            return nullptr;
        }
        if (!hole) {
            break;
        }
        start = hole + 2;
    }
    PyObject *tuple = PyList_AsTuple(pieces.get());
    if (tuple) {
        message_pieces[message_pieces_count++] = {format, tuple};
    }
    return tuple;
}

} // namespace

Ref message_text(const char *format, std::initializer_list<PyObject *> args)
{
    PyObject *pieces = pieces_of(format);
    if (!pieces) {
        return Ref();
    }
    Py_ssize_t hole_count = PyTuple_GET_SIZE(pieces) - 1;
    if (hole_count != static_cast<Py_ssize_t>(args.size())) {
        PyErr_SetString(PyExc_SystemError, "message arguments do not fit");
        return Ref();
    }
    if (hole_count == 0) {
        return Ref::borrow(PyTuple_GET_ITEM(pieces, 0));
    }
    // The parts in order: piece, argument, piece, ..., piece.
    PyObject *parts[2 * 4 + 1];
    if (hole_count > 4) {
        PyErr_SetString(PyExc_SystemError, "too many message arguments");
        return Ref();
    }
    Py_ssize_t part_count = 0;
    Py_ssize_t length = 0;
    Py_UCS4 widest = 0;
    for (Py_ssize_t i = 0; i <= hole_count; i++) {
        parts[part_count++] = PyTuple_GET_ITEM(pieces, i);
        if (i < hole_count) {
            parts[part_count++] = args.begin()[i];
        }
    }
    for (Py_ssize_t i = 0; i < part_count; i++) {
        if (PyUnicode_READY(parts[i]) < 0) {
            return Ref();
        }
        length += PyUnicode_GET_LENGTH(parts[i]);
        widest = std::max(widest, PyUnicode_MAX_CHAR_VALUE(parts[i]));
    }
    Ref text = Ref::steal(PyUnicode_New(length, widest));
    if (!text) {
        return Ref();
    }
    Py_ssize_t at = 0;
    for (Py_ssize_t i = 0; i < part_count; i++) {
        Py_ssize_t part_length = PyUnicode_GET_LENGTH(parts[i]);
        if (widest <= 0xff) {
            // All of one byte a character, the usual case: plain copies.
            std::memcpy(PyUnicode_1BYTE_DATA(text.get()) + at,
                        PyUnicode_1BYTE_DATA(parts[i]),
                        static_cast<size_t>(part_length));
        }
        else if (PyUnicode_CopyCharacters(text.get(), at, parts[i], 0,
                                          part_length) < 0) {
            return Ref();
        }
        at += part_length;
    }
    return text;
}

PendingSafetyError::PendingSafetyError(const CallContext &call)
    : error_class_(find_safety_error(call))
{}

PyObject *PendingSafetyError::raise(const char *format,
                                    std::initializer_list<PyObject *> args)
{
    if (!error_class_) {
        return nullptr;
    }
    Ref message = message_text(format, args);
    if (message) {
        raise_instance_of(error_class_.get(), message.get(), nullptr);
    }
    return nullptr;
}

PyObject *raise_safety_error_format(const CallContext &call,
                                    const char *format)
{
    return PendingSafetyError(call).raise(format, {});
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

// A growable array from PyMem_Malloc, freed with its owner. Holds plain
// values only.
template <typename T>
class MemVector {
  public:
    MemVector() = default;
    MemVector(const MemVector &) = delete;
    MemVector &operator=(const MemVector &) = delete;
    ~MemVector() { PyMem_Free(items_); }

    T *data() const { return items_; }
    Py_ssize_t size() const { return size_; }
    T &operator[](Py_ssize_t i) const { return items_[i]; }

    // Room for `extra` more items: 0, or -1 with MemoryError set.
    int reserve_more(Py_ssize_t extra)
    {
        if (size_ + extra <= capacity_) {
            return 0;
        }
        Py_ssize_t wanted = std::max(size_ + extra, 2 * capacity_ + 16);
        if (wanted > PY_SSIZE_T_MAX / static_cast<Py_ssize_t>(sizeof(T))) {
            PyErr_NoMemory();
            return -1;
        }
        auto *grown = static_cast<T *>(
            PyMem_Realloc(items_, static_cast<size_t>(wanted) * sizeof(T)));
        if (!grown) {
            PyErr_NoMemory();
            return -1;
        }
        items_ = grown;
        capacity_ = wanted;
        return 0;
    }
    // Appends `count` items, copied from `from`: 0, or -1.
    int append(const T *from, Py_ssize_t count)
    {
        if (count == 0) {
            return 0; // nothing to copy, and maybe no buffer yet
        }
        if (reserve_more(count) < 0) {
            return -1;
        }
        std::memcpy(items_ + size_, from,
                    static_cast<size_t>(count) * sizeof(T));
        size_ += count;
        return 0;
    }
    int push(const T &item) { return append(&item, 1); }
    // Size `count`, contents unset: 0, or -1.
    int resize(Py_ssize_t count)
    {
        if (reserve_more(count - size_) < 0) {
            return -1;
        }
        size_ = count;
        return 0;
    }

  private:
    T *items_ = nullptr;
    Py_ssize_t size_ = 0;
    Py_ssize_t capacity_ = 0;
};

// One key while the keys are put in order: up to 8 bytes of its text from
// the current depth on, most significant first, and how many of them the
// text has.
struct KeyRecord {
    uint64_t word;
    uint32_t key; // extra_keys_text leaves more keys to the general path
    uint32_t present;
};

bool record_less(const KeyRecord &a, const KeyRecord &b)
{
    return a.word != b.word ? a.word < b.word : a.present < b.present;
}

// The texts of the keys to list, one after the other in a single buffer.
struct KeyTexts {
    MemVector<Py_UCS1> bytes;
    // Where key k begins in `bytes`, and after the last key its end.
    MemVector<Py_ssize_t> offset;

    Py_ssize_t count() const { return offset.size() - 1; }
    const Py_UCS1 *text(Py_ssize_t k) const
    {
        return bytes.data() + offset[k];
    }
    Py_ssize_t length(Py_ssize_t k) const { return offset[k + 1] - offset[k]; }
};

// How many bytes from `depth` on all the keys of records[begin, end) share.
Py_ssize_t shared_prefix(const KeyTexts &keys, const KeyRecord *records,
                         Py_ssize_t begin, Py_ssize_t end, Py_ssize_t depth)
{
    Py_ssize_t first = records[begin].key;
    Py_ssize_t shared = keys.length(first) - depth;
    const Py_UCS1 *first_text = keys.text(first) + depth;
    for (Py_ssize_t i = begin + 1; i < end && shared > 0; i++) {
        Py_ssize_t k = records[i].key;
        Py_ssize_t limit = std::min(shared, keys.length(k) - depth);
        const Py_UCS1 *text = keys.text(k) + depth;
        Py_ssize_t j = 0;
        while (j < limit && text[j] == first_text[j]) {
            j++;
        }
        shared = j;
    }
    return shared < 0 ? 0 : shared;
}

// Orders the keys, all distinct, by their bytes, which for 1-byte strs is
// their code point order. Each round skips the bytes that all keys of a
// range share, then sorts small contiguous records by the next 8 bytes,
// most significant first; only keys that still agree go on to another
// round. The pending ranges are disjoint and at least 2 long.
int order_keys(const KeyTexts &keys, KeyRecord *records, Py_ssize_t count)
{
    struct Range {
        Py_ssize_t begin, end, depth;
    };
    MemVector<Range> pending;
    for (Py_ssize_t i = 0; i < count; i++) {
        records[i].key = static_cast<uint32_t>(i);
    }
    if (count > 1 && pending.push(Range{0, count, 0}) < 0) {
        return -1;
    }
    while (pending.size() > 0) {
        Range range = pending[pending.size() - 1];
        pending.resize(pending.size() - 1);
        range.depth +=
            shared_prefix(keys, records, range.begin, range.end, range.depth);
        for (Py_ssize_t i = range.begin; i < range.end; i++) {
            KeyRecord &record = records[i];
            Py_ssize_t left = keys.length(record.key) - range.depth;
            record.present =
                static_cast<uint32_t>(std::clamp<Py_ssize_t>(left, 0, 8));
            const Py_UCS1 *text = keys.text(record.key) + range.depth;
            uint64_t word = 0;
            for (Py_ssize_t j = 0; j < 8; j++) {
                word = (word << 8) | (j < record.present ? text[j] : 0);
            }
            record.word = word;
        }
        std::sort(records + range.begin, records + range.end, record_less);
        for (Py_ssize_t i = range.begin; i < range.end;) {
            Py_ssize_t j = i + 1;
            while (j < range.end && records[j].word == records[i].word &&
                   records[j].present == records[i].present) {
                j++;
            }
            // Only texts that both go on past these 8 bytes can still
            // differ; distinct keys always do.
            if (j - i > 1 && records[i].present == 8 &&
                pending.push(Range{i, j, range.depth + 8}) < 0) {
                return -1;
            }
            i = j;
        }
    }
    return 0;
}

// The message form of the keys of `dict` outside `allowed`, made in C for
// an exact dict whose keys are all exact 1-byte strs (no Python code runs):
// 1 with the text in *text, 0 when every key is allowed, -1 on error, and
// -2 when the dict is not of that kind.
int extra_keys_text(PyObject *dict, const NameTable &allowed, Ref *text)
{
    if (!PyDict_CheckExact(dict)) {
        return -2;
    }
    KeyTexts keys;
    Py_UCS1 widest = 0;
    Py_ssize_t pos = 0;
    PyObject *key;
    PyObject *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            return -2;
        }
        if (allowed.find(key) >= 0) {
            continue;
        }
        if (PyUnicode_READY(key) < 0) {
            return -1;
        }
        if (PyUnicode_KIND(key) != PyUnicode_1BYTE_KIND) {
            return -2;
        }
        Py_ssize_t key_length = PyUnicode_GET_LENGTH(key);
        const Py_UCS1 *data = PyUnicode_1BYTE_DATA(key);
        for (Py_ssize_t i = 0; i < key_length; i++) {
            widest = std::max(widest, data[i]);
        }
        if (keys.offset.size() == UINT32_MAX) {
            return -2;
        }
        if (keys.offset.push(keys.bytes.size()) < 0 ||
            keys.bytes.append(data, key_length) < 0) {
            return -1;
        }
    }
    if (keys.offset.size() == 0) {
        return 0;
    }
    if (keys.offset.push(keys.bytes.size()) < 0) {
        return -1;
    }
    Py_ssize_t count = keys.count();
    MemVector<KeyRecord> records;
    if (records.resize(count) < 0 ||
        order_keys(keys, records.data(), count) < 0) {
        return -1;
    }
    Py_ssize_t total_length = keys.bytes.size() + 2 * (count - 1);
    Ref joined =
        Ref::steal(PyUnicode_New(total_length, widest < 0x80 ? 0x7f : 0xff));
    if (!joined) {
        return -1;
    }
    Py_UCS1 *out = PyUnicode_1BYTE_DATA(joined.get());
    for (Py_ssize_t i = 0; i < count; i++) {
        if (i > 0) {
            *out++ = ',';
            *out++ = ' ';
        }
        Py_ssize_t k = records[i].key;
        Py_ssize_t length = keys.length(k);
        if (length > 0) { // no buffer at all when every key is empty
            std::memcpy(out, keys.text(k), static_cast<size_t>(length));
            out += length;
        }
    }
    *text = std::move(joined);
    return 1;
}

} // namespace

int ExtraKeys::find(PyObject *mapping, const NameTable &allowed)
{
    int found = extra_keys_text(mapping, allowed, &text_);
    if (found != -2) {
        return found;
    }
    // set(mapping.keys()) - allowed, through the mapping's own keys(). As
    // frozensets: the keys' __hash__ and __eq__ run while they are made and
    // compared, and may find them (gc.get_referrers) but not change them.
    Ref keys = Ref::steal(PyObject_CallMethodNoArgs(mapping, names.keys));
    if (!keys) {
        return -1;
    }
    Ref key_set = Ref::steal(PyFrozenSet_New(keys.get()));
    if (!key_set) {
        return -1;
    }
    Ref difference =
        Ref::steal(PyNumber_Subtract(key_set.get(), allowed.members));
    if (!difference) {
        return -1;
    }
    if (PySet_GET_SIZE(difference.get()) == 0) {
        return 0;
    }
    keys_ = std::move(difference);
    return 1;
}

Ref ExtraKeys::listed()
{
    return text_ ? std::move(text_) : key_list_text(keys_.get());
}

namespace {

// Strong references kept in memory that no Python code can reach, released
// with their owner.
class PrivateRefs {
  public:
    explicit PrivateRefs(Py_ssize_t count)
        : items_(static_cast<PyObject **>(
              PyMem_Calloc(static_cast<size_t>(count > 0 ? count : 1),
                           sizeof(PyObject *)))),
          count_(count)
    {}
    PrivateRefs(const PrivateRefs &) = delete;
    PrivateRefs &operator=(const PrivateRefs &) = delete;
    ~PrivateRefs()
    {
        if (items_) {
            for (Py_ssize_t i = 0; i < count_; i++) {
                Py_XDECREF(items_[i]);
            }
            PyMem_Free(items_);
        }
    }
    explicit operator bool() const { return items_ != nullptr; }
    PyObject *&operator[](Py_ssize_t i) { return items_[i]; }

  private:
    PyObject **items_;
    Py_ssize_t count_;
};

} // namespace

Ref key_list_text(PyObject *keys)
{
    // A key's __repr__ may run code that finds and changes any list or set
    // made here (gc.get_referrers hands them out): the keys are walked as a
    // tuple, and their texts kept out of reach until all of them are made.
    Ref key_tuple = Ref::steal(PySequence_Tuple(keys));
    if (!key_tuple) {
        return Ref();
    }
    Py_ssize_t count = PyTuple_GET_SIZE(key_tuple.get());
    PrivateRefs texts(count);
    if (!texts) {
        PyErr_NoMemory();
        return Ref();
    }
    for (Py_ssize_t i = 0; i < count; i++) {
        PyObject *key = PyTuple_GET_ITEM(key_tuple.get(), i); // held by it
        Ref shown = PyUnicode_Check(key) ? Ref::borrow(key)
                                         : Ref::steal(PyObject_Repr(key));
        // Exact str copies sort by code point with no user code involved.
        texts[i] = shown ? PyUnicode_FromObject(shown.get()) : nullptr;
        if (!texts[i]) {
            return Ref();
        }
    }
    // From here on no Python code runs until the text is made.
    Ref listed = Ref::steal(PyList_New(count));
    if (!listed) {
        return Ref();
    }
    for (Py_ssize_t i = 0; i < count; i++) {
        PyList_SET_ITEM(listed.get(), i, texts[i]);
        texts[i] = nullptr;
    }
    if (PyList_Sort(listed.get()) < 0) {
        return Ref();
    }
    return Ref::steal(PyUnicode_Join(names.comma_blank, listed.get()));
}

bool normalize_ascii(PyObject *text, bool dots, char *buffer,
                     Py_ssize_t capacity, Py_ssize_t *length)
{
    if (!PyUnicode_CheckExact(text)) {
        return false;
    }
    if (PyUnicode_READY(text) < 0) {
        PyErr_Clear(); // out of memory: the general path will say so
        return false;
    }
    if (PyUnicode_KIND(text) != PyUnicode_1BYTE_KIND) {
        return false;
    }
    const Py_UCS1 *data = PyUnicode_1BYTE_DATA(text);
    Py_ssize_t start = 0;
    Py_ssize_t end = PyUnicode_GET_LENGTH(text);
    while (start < end && data[start] < 0x80 &&
           Py_UNICODE_ISSPACE(data[start])) {
        start++;
    }
    while (end > start && data[end - 1] < 0x80 &&
           Py_UNICODE_ISSPACE(data[end - 1])) {
        end--;
    }
    if (end - start > capacity) {
        return false;
    }
    for (Py_ssize_t i = start; i < end; i++) {
        Py_UCS1 ch = data[i];
        if (ch >= 0x80) {
            return false; // Latin-1 white space and case take str's methods
        }
        if (ch >= 'A' && ch <= 'Z') {
            ch = static_cast<Py_UCS1>(ch - 'A' + 'a');
        }
        else if (dots && ch == '_') {
            ch = '.';
        }
        buffer[i - start] = static_cast<char>(ch);
    }
    *length = end - start;
    return true;
}

namespace {

bool ascii_equal(const char *buffer, Py_ssize_t length, PyObject *name)
{
    return PyUnicode_GET_LENGTH(name) == length &&
           std::memcmp(PyUnicode_1BYTE_DATA(name), buffer,
                       static_cast<size_t>(length)) == 0;
}

} // namespace

bool ascii_in_table(const char *buffer, Py_ssize_t length,
                    const NameTable &table)
{
    for (int i = 0; i < table.count; i++) {
        if (ascii_equal(buffer, length, table.names[i])) {
            return true;
        }
    }
    return false;
}

int NormalizedText::assign(PyObject *value, bool dots)
{
    in_buffer_ = false;
    text_ = Ref::steal(PyObject_Str(value));
    if (!text_) {
        return -1;
    }
    if (normalize_ascii(text_.get(), dots, buffer_, capacity, &length_)) {
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

int NormalizedText::in(const NameTable &choices) const
{
    if (in_buffer_) {
        return ascii_in_table(buffer_, length_, choices);
    }
    for (int i = 0; i < choices.count; i++) {
        int equal =
            PyObject_RichCompareBool(choices.names[i], text_.get(), Py_EQ);
        if (equal != 0) {
            return equal;
        }
    }
    return 0;
}

int NormalizedText::in_set(const NameTable &choices) const
{
    if (in_buffer_) {
        return ascii_in_table(buffer_, length_, choices);
    }
    return PySequence_Contains(choices.members, text_.get());
}

int NormalizedText::differs_from(PyObject *name) const
{
    if (in_buffer_) {
        return !ascii_equal(buffer_, length_, name);
    }
    return PyObject_RichCompareBool(text_.get(), name, Py_NE);
}

Ref format_text(PyObject *value)
{
    return Ref::steal(PyObject_Format(value, names.empty));
}

} // namespace tarvik
