// The shared function type "qx_function_or_method".
#pragma once

#include <Python.h>

#include <cstdint>

#include "function/function_layout.h"

namespace qx {

// The module's own static type; used only when the registry has none yet.
extern PyTypeObject QxFunctionType;

// Returns a new function object of g_bindings.function_type, or null.
PyObject* QxFunctionNew(PyMethodDef* ml, int32_t flags, PyObject* qualname, PyObject* closure,
                        PyObject* module, PyObject* globals, PyObject* code) noexcept;
void QxFunctionSetDefaultsTuple(PyObject* func, PyObject* tuple) noexcept;

}  // namespace qx
