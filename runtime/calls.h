// Calls into Python objects: positional only, under the recursion guard, with
// fast paths chosen by the exact type of the callee.
#pragma once

#include <Python.h>

#include <cstdint>

namespace qx {

PyObject* CallObject(PyObject* callable, PyObject* args) noexcept;
PyObject* CallNoArg(PyObject* callable) noexcept;
PyObject* CallOneArg(PyObject* callable, PyObject* arg) noexcept;
PyObject* CallOneArgViaTuple(PyObject* callable, PyObject* arg) noexcept;
// arg is null for METH_NOARGS entry points.
PyObject* CallCFunctionDirect(PyObject* func, PyObject* arg) noexcept;
PyObject* CallCFunctionFast(PyObject* func, PyObject* const* args, Py_ssize_t n) noexcept;
// Calls an interpreter function without an argument tuple (its vectorcall
// entry binds defaults, keyword-only defaults and closure itself).
PyObject* FunctionFastCall(PyObject* func, PyObject* const* args, int32_t n) noexcept;

// Which path a call through CallMethodArgs took; call sites report a
// different implementation-file line for each.
enum class CallPath { NoArg, OneArg, FunctionFast, CFunctionFast, TupleAlloc, Object };

// The bound-method unpacking pattern of the call sites: calls `callee` (a new
// reference, consumed) with nargs positional arguments (0 to 4). On failure
// *path tells which path failed. Returns a new reference or null.
PyObject* CallMethodArgs(PyObject* callee, PyObject* const* args, int nargs, CallPath* path) noexcept;

}  // namespace qx
