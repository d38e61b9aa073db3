// Routines of enums/ that the C++ tests call directly. Not for the other
// rooms (scripts/includes.py refuses this one outside enums/).
#pragma once

#include <Python.h>

namespace qx {

// pickling.cpp. 1 when obj.__name__ equals name; 0 otherwise, errors
// included.
int MethodHasName(PyObject* obj, PyObject* name) noexcept;

}  // namespace qx
