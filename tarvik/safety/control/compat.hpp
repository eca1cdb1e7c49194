// What differs between the CPython versions the module is built for (3.11,
// 3.12, 3.13), in one place.
#ifndef TARVIK_SAFETY_CONTROL_COMPAT_HPP
#define TARVIK_SAFETY_CONTROL_COMPAT_HPP

#include "refs.hpp"

#include <pthread.h>

#include <cstddef>
#include <cstdint>

namespace tarvik {

// dict[key] as a new reference into *value: 1, 0 when the key is missing
// (*value null), or -1 with an error set. From 3.13 on, the interpreter says
// which without being asked whether an error is set, which costs a call
// without `control` a twentieth.
inline int dict_get_ref(PyObject *dict, PyObject *key, PyObject **value)
{
#if PY_VERSION_HEX >= 0x030D0000
    return PyDict_GetItemRef(dict, key, value);
#else
    *value = Py_XNewRef(PyDict_GetItemWithError(dict, key));
    return *value ? 1 : PyErr_Occurred() ? -1 : 0;
#endif
}

// Before 3.14 the interpreter's recursion limit counts calls, on the
// assumption that each takes little of the stack: 3.13 allows 10,000 C
// calls, 3.12 1,500, 3.11 the Python recursion limit. A level of the checks
// re-entered through the caller's own methods with no Python frame in
// between takes about 1.5 KB (more in a sanitizer or -O0 build), so 3.13's
// limit lies beyond the end of an 8 MB stack. From 3.14 on,
// Py_EnterRecursiveCall measures the stack itself; before, this does what
// it does there: true while more than a margin of this thread's stack is
// left.
inline bool stack_left()
{
#if PY_VERSION_HEX >= 0x030E0000
    return true;
#else
    // The lowest address the stack may reach, plus the margin: found once a
    // thread (0 until then, 1 when unknown).
    thread_local uintptr_t floor = 0;
    if (floor == 0) {
        floor = 1;
        pthread_attr_t attributes;
        if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
            void *lowest = nullptr;
            size_t size = 0;
            if (pthread_attr_getstack(&attributes, &lowest, &size) == 0) {
                size_t margin = size / 4 < 256 * 1024 ? size / 4 : 256 * 1024;
                floor = reinterpret_cast<uintptr_t>(lowest) + margin;
            }
            pthread_attr_destroy(&attributes);
        }
    }
    // Not the address of a local: a sanitizer build may keep locals on a
    // stack of its own.
    return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) > floor;
#endif
}

// Py_EnterRecursiveCall() for a level of the checks that the caller's own
// methods may re-enter with no Python frame in between, which also stops
// where stack_left() does: 0, or -1 with the interpreter's RecursionError.
// Py_EnterRecursiveCall's own failure is any nonzero value (3.14 returns 1).
inline int enter_recursive_call()
{
    if (stack_left()) {
        return Py_EnterRecursiveCall(" while calling a Python object") != 0 ? -1 : 0;
    }
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded "
                                          "while calling a Python object");
    return -1;
}

} // namespace tarvik

#endif
