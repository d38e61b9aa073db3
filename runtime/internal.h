// Routines of runtime/ that its own files use and the C++ tests and the
// benchmarks call directly. Not for the other rooms: they use the headers
// of each file (scripts/includes.py refuses this one outside runtime/).
#pragma once

#include <Python.h>

#include <cstdint>

#include "runtime/ref.h"

namespace qx {

// arg_parsing.cpp. Stores borrowed references in values; it runs no Python
// code (identity, then length and PyUnicode_Compare), so the dictionary
// still holds every value it stored when it returns. names: an
// ArgNames (runtime/arg_parsing.h).
int ParseKeywordArguments(PyObject* kwds, PyObject** const* names, PyObject** values, Py_ssize_t num_pos_args,
                          const char* function_name) noexcept;
void RaiseArgCountError(const char* function_name, int exact, Py_ssize_t num_min, Py_ssize_t num_max,
                        Py_ssize_t num_found) noexcept;

// calls.cpp.
PyObject* CallNoArg(PyObject* callable) noexcept;
// arg is null for METH_NOARGS entry points.
PyObject* CallCFunctionDirect(PyObject* func, PyObject* arg) noexcept;
PyObject* CallCFunctionFast(PyObject* func, PyObject* const* args, Py_ssize_t n) noexcept;
// Calls an interpreter function without an argument tuple (its vectorcall
// entry binds defaults, keyword-only defaults and closure itself).
PyObject* FunctionFastCall(PyObject* func, PyObject* const* args, int32_t n) noexcept;

// conversions.cpp. A new reference to an int, or null with an error.
PyObject* ToIntObject(PyObject* x) noexcept;
// Takes over res (the result of an nb_int slot); returns it or null.
PyObject* CheckIntResult(Ref res, const char* type_name) noexcept;

// exceptions.cpp. Neither raises or clears anything.
int ErrorClassMatchesTuple(PyObject* err, PyObject* tuple) noexcept;
int TypeInBaseChain(PyTypeObject* a, PyTypeObject* b) noexcept;

// lookups.cpp. New references, or null with an error set.
PyObject* LookupBuiltin(PyObject* name) noexcept;
PyObject* SubscriptByIndex(PyObject* obj, PyObject* key) noexcept;
PyObject* ItemAtSsize(PyObject* obj, Py_ssize_t i) noexcept;
// obj[key] for a key whose reference it takes over (empty when its creation
// failed, with the error set).
PyObject* ItemForNewKey(PyObject* obj, Ref key) noexcept;

// traceback.cpp.
int32_t ResolveImplementationLine(PyThreadState* tstate, int32_t line) noexcept;
PyObject* MakeTracebackCode(const char* function_name, int32_t impl_line, int32_t source_line,
                            const char* file_name) noexcept;
// Returns a new reference, or null (no error) when no entry for this key
// was made for the same function and file.
PyObject* CodeCacheFind(int32_t key, const char* function_name, const char* file_name) noexcept;
void CodeCacheInsert(int32_t key, PyObject* code, const char* function_name, const char* file_name) noexcept;

}  // namespace qx
