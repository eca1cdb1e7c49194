// Normal forms of the settings that name a choice.
#include "text.hpp"

#include <cstring>

namespace tarvik {

namespace {

// What each byte of a one-byte text becomes in a normal form: its lower
// case, and with `dots` "_" read as "."; negative for a byte above ASCII,
// whose case only str's own methods know. A table, so that a byte costs a
// load rather than three tests: a quarter of what the full workload's six
// choices cost before (bench).
struct Folding {
    signed char to[256];
};

constexpr Folding folding(bool dots)
{
    Folding folding{};
    for (int byte = 0; byte < 256; byte++) {
        folding.to[byte] = static_cast<signed char>(
            byte >= 0x80                 ? -1
            : byte >= 'A' && byte <= 'Z' ? byte - 'A' + 'a'
            : dots && byte == '_'        ? '.'
                                         : byte);
    }
    return folding;
}

constexpr Folding lower_folding = folding(false);
constexpr Folding dotted_folding = folding(true);

} // namespace

bool AsciiText::assign(PyObject *text, bool dots)
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
    const signed char *to = dots ? dotted_folding.to : lower_folding.to;
    for (Py_ssize_t i = start; i < end; i++) {
        signed char folded = to[data[i]];
        if (folded < 0) {
            return false; // Latin-1 white space and case take str's methods
        }
        buffer[i - start] = static_cast<char>(folded);
    }
    length = end - start;
    return true;
}

int NormalizedText::assign(PyObject *value, bool dots)
{
    ascii_ = false;
    text_ = Ref::steal(PyObject_Str(value));
    if (!text_) {
        return -1;
    }
    if (ascii_text_.assign(text_.get(), dots)) {
        ascii_ = true;
        return 0;
    }
    text_ = Ref::steal(PyObject_CallMethodNoArgs(text_.get(), words.strip));
    if (text_) {
        text_ =
            Ref::steal(PyObject_CallMethodNoArgs(text_.get(), words.lower));
    }
    if (text_ && dots) {
        text_ = Ref::steal(PyObject_CallMethodObjArgs(
            text_.get(), words.replace, words.underscore, words.dot, nullptr));
    }
    return text_ ? 0 : -1;
}

int NormalizedText::in_order(const Table &table) const
{
    if (ascii_) {
        return ascii_text_.find(table) >= 0;
    }
    for (int i = 0; i < table.count(); i++) {
        int equal =
            PyObject_RichCompareBool(table.name(i), text_.get(), Py_EQ);
        if (equal != 0) {
            return equal;
        }
    }
    return 0;
}

int NormalizedText::in_set(const Table &table) const
{
    if (ascii_) {
        return ascii_text_.find(table) >= 0;
    }
    return PySequence_Contains(table.members(), text_.get());
}

int NormalizedText::differs(PyObject *name) const
{
    if (ascii_) {
        return !(PyUnicode_GET_LENGTH(name) == ascii_text_.length &&
                 std::memcmp(PyUnicode_DATA(name), ascii_text_.buffer,
                             static_cast<size_t>(ascii_text_.length)) == 0);
    }
    return PyObject_RichCompareBool(text_.get(), name, Py_NE);
}

} // namespace tarvik
