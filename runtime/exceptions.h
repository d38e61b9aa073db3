// Raising, saving and matching exceptions.
#pragma once

#include <Python.h>

namespace qx {

// Raises obj: an exception instance as itself, an exception class by calling
// it with no arguments; anything else is a TypeError. Always leaves an error.
void RaiseObject(PyObject* obj) noexcept;

// Takes the thread's pending error out (references handed to the caller) and
// leaves the thread state clear.
void SaveErrorState(PyThreadState* tstate, PyObject** type, PyObject** value, PyObject** traceback) noexcept;
// Puts an error back (references stolen), discarding whatever was pending.
void RestoreErrorState(PyThreadState* tstate, PyObject* type, PyObject* value, PyObject* traceback) noexcept;

// Match tests by identity and MRO scan; none raises or clears anything.
int PendingErrorMatches(PyThreadState* tstate, PyObject* exc) noexcept;
int ErrorClassMatches(PyObject* err, PyObject* exc) noexcept;
int ErrorClassMatchesTuple(PyObject* err, PyObject* tuple) noexcept;
int TypeIsSubtype(PyTypeObject* a, PyTypeObject* b) noexcept;
int TypeInBaseChain(PyTypeObject* a, PyTypeObject* b) noexcept;

}  // namespace qx
