// What differs between the CPython versions (3.11 to 3.13 and later), the
// platforms (Linux, macOS, Windows, others) and the compilers (GCC and
// Clang, MSVC) the module is built for, in one place: nothing else names a
// compiler builtin or attribute, a platform's interface or its macro.
#ifndef TARVIK_SAFETY_CONTROL_COMPAT_HPP
#define TARVIK_SAFETY_CONTROL_COMPAT_HPP

#include "refs.hpp"

#include <cstddef>
#include <cstdint>

// Which stack bound stack_left() uses: the platform's own interface where
// there is one, else a budget from where the thread first asks. Before 3.14
// only: from then on the interpreter bounds the stack itself.
// TARVIK_STACK_FALLBACK=1 (setup.py) takes the budget anywhere, so that the
// suite runs it on Linux.
#define TARVIK_STACK_NONE 0
#define TARVIK_STACK_PTHREAD_GETATTR 1
#define TARVIK_STACK_DARWIN 2
#define TARVIK_STACK_WINDOWS 3
#define TARVIK_STACK_BUDGET 4
#if PY_VERSION_HEX >= 0x030E0000
#define TARVIK_STACK TARVIK_STACK_NONE
#elif defined(TARVIK_STACK_FALLBACK)
#define TARVIK_STACK TARVIK_STACK_BUDGET
#elif defined(__linux__) // glibc, musl and Bionic have pthread_getattr_np
#define TARVIK_STACK TARVIK_STACK_PTHREAD_GETATTR
#elif defined(__APPLE__)
#define TARVIK_STACK TARVIK_STACK_DARWIN
#elif defined(_WIN32)
#define TARVIK_STACK TARVIK_STACK_WINDOWS
#else
#define TARVIK_STACK TARVIK_STACK_BUDGET
#endif

#if TARVIK_STACK == TARVIK_STACK_PTHREAD_GETATTR ||                           \
    TARVIK_STACK == TARVIK_STACK_DARWIN
#include <pthread.h>
#elif TARVIK_STACK == TARVIK_STACK_WINDOWS
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

// Attributes, written before a declaration: a function off the hot path
// (MSVC has no "cold": kept out of line at least), one never inlined, one
// always inlined (`inline` included).
#if defined(_MSC_VER) && !defined(__clang__)
#define TARVIK_COLD __declspec(noinline)
#define TARVIK_NOINLINE __declspec(noinline)
#define TARVIK_ALWAYS_INLINE __forceinline
#else
#define TARVIK_COLD [[gnu::cold]]
#define TARVIK_NOINLINE [[gnu::noinline]]
#define TARVIK_ALWAYS_INLINE [[gnu::always_inline]] inline
#endif

namespace tarvik {

// The index of the lowest bit set in `bits`, which is not 0.
TARVIK_ALWAYS_INLINE int lowest_bit(uint32_t bits)
{
#if defined(_MSC_VER) && !defined(__clang__)
    unsigned long index;
    _BitScanForward(&index, bits);
    return static_cast<int>(index);
#else
    return __builtin_ctz(bits);
#endif
}

// An address in the current function's frame. Not the address of a local:
// a sanitizer build may keep locals on a stack of its own.
TARVIK_ALWAYS_INLINE uintptr_t stack_address()
{
#if defined(_MSC_VER) && !defined(__clang__)
    return reinterpret_cast<uintptr_t>(_AddressOfReturnAddress());
#else
    return reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
#endif
}

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

#if TARVIK_STACK != TARVIK_STACK_NONE
// What stack_left() keeps free below the checks: a quarter of the stack, at
// most 256 KB.
constexpr size_t stack_margin(size_t size)
{
    return size / 4 < 256 * 1024 ? size / 4 : 256 * 1024;
}

// Where the platform does not say where a thread's stack ends, the stack a
// thread may use below the frame that first asks: as much as stack_margin()
// keeps free elsewhere, so that a thread with a stack of 512 KB (which
// Python's threading.stack_size allows) still ends deep re-entry in
// RecursionError. Stacks grow downwards on every processor CPython runs on.
constexpr size_t stack_budget = 256 * 1024;
#endif

// Before 3.14 the interpreter's recursion limit counts calls, on the
// assumption that each takes little of the stack: 3.13 allows 10,000 C
// calls, 3.12 1,500, 3.11 the Python recursion limit. A level of the checks
// re-entered through the caller's own methods with no Python frame in
// between takes about 1.5 KB (more in a sanitizer or -O0 build), so 3.13's
// limit lies beyond the end of an 8 MB stack. From 3.14 on,
// Py_EnterRecursiveCall measures the stack itself; before, this does what
// it does there: true while more than a margin of this thread's stack is
// left, each platform asked by its own interface.
inline bool stack_left()
{
#if TARVIK_STACK == TARVIK_STACK_NONE
    return true;
#else
    // The lowest address the stack may reach, plus the margin: found once a
    // thread (0 until then, 1 when unknown).
    thread_local uintptr_t floor = 0;
    if (floor == 0) {
        floor = 1;
#if TARVIK_STACK == TARVIK_STACK_PTHREAD_GETATTR
        pthread_attr_t attributes;
        if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
            void *lowest = nullptr;
            size_t size = 0;
            if (pthread_attr_getstack(&attributes, &lowest, &size) == 0) {
                floor =
                    reinterpret_cast<uintptr_t>(lowest) + stack_margin(size);
            }
            pthread_attr_destroy(&attributes);
        }
#elif TARVIK_STACK == TARVIK_STACK_DARWIN
        // The stack's address is its highest one, where it starts.
        pthread_t self = pthread_self();
        size_t size = pthread_get_stacksize_np(self);
        uintptr_t highest =
            reinterpret_cast<uintptr_t>(pthread_get_stackaddr_np(self));
        if (size != 0 && highest > size) {
            floor = highest - size + stack_margin(size);
        }
#elif TARVIK_STACK == TARVIK_STACK_WINDOWS
        // The whole reservation, guard pages included (Windows 8 and later,
        // as CPython 3.11 itself).
        ULONG_PTR lowest = 0;
        ULONG_PTR highest = 0;
        GetCurrentThreadStackLimits(&lowest, &highest);
        if (highest > lowest) {
            floor = lowest + stack_margin(highest - lowest);
        }
#else
        uintptr_t here = stack_address();
        if (here > stack_budget) {
            floor = here - stack_budget;
        }
#endif
    }
    return stack_address() > floor;
#endif
}

// Py_EnterRecursiveCall() for a level of the checks that the caller's own
// methods may re-enter with no Python frame in between, which also stops
// where stack_left() does: 0, or -1 with the interpreter's RecursionError.
// Py_EnterRecursiveCall's own failure is any nonzero value (3.14 returns 1).
inline int enter_recursive_call()
{
    if (stack_left()) {
        return Py_EnterRecursiveCall(" while calling a Python object") != 0
                   ? -1
                   : 0;
    }
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded "
                                          "while calling a Python object");
    return -1;
}

} // namespace tarvik

#endif
