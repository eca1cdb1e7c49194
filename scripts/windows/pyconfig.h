/* CPython's configuration for Windows x64 (MSVC's LLP64 model: long is 32
   bits, pointers and Py_ssize_t 64), standing in for the Linux one beside
   Debian's and pyenv's headers when scripts/compile_check.py compiles the
   module for Windows. It says only what the headers read to declare the C
   API to an extension; the interpreter's own build needs much more. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#define MS_WIN64
#define MS_WIN32
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD
#define PLATFORM "win32"

/* Windows 8.1 and later, as CPython 3.11 and later themselves. */
#define Py_WINVER 0x0603
#ifndef _WIN32_WINNT
#define _WIN32_WINNT Py_WINVER
#endif

/* An extension links against pythonXY.dll: the C API is imported, the
   module's init function exported (PyMODINIT_FUNC). */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

#include <stddef.h>
#include <limits.h>

typedef long long Py_ssize_t;
#define HAVE_PY_SSIZE_T 1
#define PY_SSIZE_T_MAX LLONG_MAX

#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_LONG_DOUBLE 8
#define SIZEOF__BOOL 1
#define SIZEOF_PID_T SIZEOF_INT
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_LONG 4
#define ALIGNOF_MAX_ALIGN_T 8

#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1
#define HAVE_LARGEFILE_SUPPORT
#define HAVE_WCHAR_H 1
#define HAVE_STDARG_PROTOTYPES
#define HAVE_COPYSIGN 1
#define HAVE_ROUND 1
#define HAVE_HYPOT 1

#endif /* Py_CONFIG_H */
