// The call slot of the function type.
#pragma once

#include <Python.h>

namespace qx {

// tp_call of qx_function_or_method: picks the entry point's shape from the
// method definition's flags, as the builtin functions do.
PyObject* QxFunctionCall(PyObject* func, PyObject* args, PyObject* kwds) noexcept;

}  // namespace qx
