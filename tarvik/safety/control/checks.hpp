// The two checks, as the module's functions call them.
#ifndef TARVIK_SAFETY_CONTROL_CHECKS_HPP
#define TARVIK_SAFETY_CONTROL_CHECKS_HPP

#include "readers.hpp"

namespace tarvik {

// After argument binding, the argument tests and kwargs.get("control"),
// on a `control` that is not None (owned by the caller): true when the call
// is accepted, false with an exception set.
bool enforce_control_structure(const CallContext &call, PyObject *control);
bool enforce_compute_section(const CallContext &call, PyObject *control);

} // namespace tarvik

#endif
