// Integer conversions and truth values with small-int fast paths.
#pragma once

#include <Python.h>

#include <cstdint>

#include "runtime/ref.h"

namespace qx {

// Each returns -1 with an error set on failure; -1 is also a valid value, so
// callers check PyErr_Occurred() when they see it.
Py_ssize_t ToSsizeIndex(PyObject* x) noexcept;
int32_t ToInt32(PyObject* x) noexcept;

// 1 true, 0 false, -1 error.
int TruthValue(PyObject* x) noexcept;

}  // namespace qx
