// Routines of function/ that the C++ tests call directly. Not for the other
// rooms (scripts/includes.py refuses this one outside function/).
#pragma once

#include <Python.h>

namespace qx {

// registry.cpp. The type published in registry under static_type's name,
// checked against static_type, or static_type itself once published; a new
// reference or null.
PyTypeObject* FetchSharedType(PyObject* registry, PyTypeObject* static_type) noexcept;

}  // namespace qx
