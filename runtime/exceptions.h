// Raising, saving and matching exceptions.
#pragma once

#include <Python.h>

#include <utility>

#include "runtime/compat.h"

namespace qx {

// Raises obj: an exception instance as itself, an exception class by calling
// it with no arguments; anything else is a TypeError. Always leaves an error.
void RaiseObject(PyObject* obj) noexcept;

// A pending error taken out of the thread state; owned until it is put back,
// and released with the handle otherwise.
class SavedError {
 public:
  SavedError() noexcept = default;
  SavedError(const SavedError&) = delete;
  SavedError& operator=(const SavedError&) = delete;
  SavedError(SavedError&& other) noexcept : fields_(std::exchange(other.fields_, {})) {}
  SavedError& operator=(SavedError&&) = delete;
  ~SavedError() {
    Py_XDECREF(fields_.type);
    Py_XDECREF(fields_.value);
    Py_XDECREF(fields_.traceback);
  }

  bool empty() const noexcept { return fields_.type == nullptr && fields_.value == nullptr; }

 private:
  friend SavedError SaveErrorState(PyThreadState* tstate) noexcept;
  friend void RestoreErrorState(PyThreadState* tstate, SavedError saved) noexcept;
  compat::ErrorFields fields_;
};

// Takes the thread's pending error out, leaving the thread state clear.
SavedError SaveErrorState(PyThreadState* tstate) noexcept;
// Puts saved back as the pending error; what was pending is released.
void RestoreErrorState(PyThreadState* tstate, SavedError saved) noexcept;

// Match tests by identity and MRO scan; none raises or clears anything.
int PendingErrorMatches(PyThreadState* tstate, PyObject* exc) noexcept;
int ErrorClassMatches(PyObject* err, PyObject* exc) noexcept;
int TypeIsSubtype(PyTypeObject* a, PyTypeObject* b) noexcept;

}  // namespace qx
