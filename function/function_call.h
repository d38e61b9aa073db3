// The call slot of qx_function_or_method.
#pragma once

#include <Python.h>

namespace qx {

// tp_call of the function type.
PyObject* QxFunctionCall(PyObject* func, PyObject* args, PyObject* kwds) noexcept;

}  // namespace qx
