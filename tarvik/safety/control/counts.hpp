// Counts of the fast reader's costly turns, kept only in the counting build.
//
// A build with TARVIK_COUNT_PATHS defined (setup.py, scripts/counting.sh)
// counts the calls the fast reader left undecided and the mappings whose
// keys it listed, and gives the module a function _path_counts() that
// returns them; the suite then shows that the calls the fast reader is
// meant to decide are decided by it, in one pass. Every other build has
// neither the counters nor the function.
#ifndef TARVIK_SAFETY_CONTROL_COUNTS_HPP
#define TARVIK_SAFETY_CONTROL_COUNTS_HPP

#ifdef TARVIK_COUNT_PATHS

#include "refs.hpp"

namespace tarvik {

struct PathCounts {
    unsigned long long deferred = 0;    // left to the general reader
    unsigned long long keys_listed = 0; // keys listed through the mapping
};
inline PathCounts path_counts;

// _path_counts(): {"deferred": n, "keys_listed": n} since the import.
inline PyObject *read_path_counts(PyObject *, PyObject *)
{
    return Py_BuildValue("{sKsK}", "deferred", path_counts.deferred,
                         "keys_listed", path_counts.keys_listed);
}

inline int add_path_counts(PyObject *module)
{
    static PyMethodDef def = {"_path_counts", read_path_counts, METH_NOARGS,
                              nullptr};
    Ref function = Ref::steal(PyCFunction_New(&def, nullptr));
    return function
               ? PyModule_AddObjectRef(module, def.ml_name, function.get())
               : -1;
}

} // namespace tarvik

#endif

#endif
