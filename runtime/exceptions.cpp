#include "runtime/exceptions.h"

#include <utility>

#include "runtime/internal.h"
#include "runtime/ref.h"

namespace qx {

namespace {

bool IsExceptionInstance(PyObject* obj) noexcept {
  return PyType_HasFeature(Py_TYPE(obj), Py_TPFLAGS_BASE_EXC_SUBCLASS);
}

bool IsExceptionClass(PyObject* obj) noexcept {
  return PyType_HasFeature(Py_TYPE(obj), Py_TPFLAGS_TYPE_SUBCLASS) &&
         PyType_HasFeature(reinterpret_cast<PyTypeObject*>(obj), Py_TPFLAGS_BASE_EXC_SUBCLASS);
}

}  // namespace

void RaiseObject(PyObject* obj) noexcept {
  if (IsExceptionInstance(obj)) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(obj)), obj);
    return;
  }
  if (!IsExceptionClass(obj)) {
    PyErr_SetString(PyExc_TypeError, "raise: exception class must be a subclass of BaseException");
    return;
  }
  Ref args = Ref::steal(PyTuple_New(0));
  if (!args) return;
  Ref inst = Ref::steal(PyObject_Call(obj, args.get(), nullptr));
  if (!inst) return;
  if (IsExceptionInstance(inst.get())) {
    // The class called is the type given, not the type of what it returned.
    PyErr_SetObject(obj, inst.get());
  } else {
    PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R", obj,
                 reinterpret_cast<PyObject*>(Py_TYPE(inst.get())));
  }
}

SavedError SaveErrorState(PyThreadState* tstate) noexcept {
  SavedError saved;
  saved.fields_ = compat::TakeError(tstate);
  return saved;
}

void RestoreErrorState(PyThreadState* tstate, SavedError saved) noexcept {
  compat::PutError(tstate, std::exchange(saved.fields_, {}));
}

int PendingErrorMatches(PyThreadState* tstate, PyObject* exc) noexcept {
  PyObject* cur = compat::PendingErrorType(tstate);
  if (cur == exc) return 1;
  if (cur == nullptr) return 0;
  if (PyTuple_Check(exc)) return ErrorClassMatchesTuple(cur, exc);
  return ErrorClassMatches(cur, exc);
}

int ErrorClassMatches(PyObject* err, PyObject* exc) noexcept {
  if (err == exc) return 1;
  if (IsExceptionClass(err)) {
    // exc may be anything; only a type can be in an MRO.
    if (!PyType_Check(exc)) return 0;
    return TypeIsSubtype(reinterpret_cast<PyTypeObject*>(err), reinterpret_cast<PyTypeObject*>(exc));
  }
  return PyErr_GivenExceptionMatches(err, exc);
}

int ErrorClassMatchesTuple(PyObject* err, PyObject* tuple) noexcept {
  const Py_ssize_t n = PyTuple_GET_SIZE(tuple);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (PyTuple_GET_ITEM(tuple, i) == err) return 1;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (ErrorClassMatches(err, PyTuple_GET_ITEM(tuple, i))) return 1;
  }
  return 0;
}

int TypeIsSubtype(PyTypeObject* a, PyTypeObject* b) noexcept {
  if (a == b) return 1;
  PyObject* mro = a->tp_mro;
  if (mro != nullptr) {
    const Py_ssize_t n = PyTuple_GET_SIZE(mro);
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (PyTuple_GET_ITEM(mro, i) == reinterpret_cast<PyObject*>(b)) return 1;
    }
    return 0;
  }
  return TypeInBaseChain(a, b);
}

int TypeInBaseChain(PyTypeObject* a, PyTypeObject* b) noexcept {
  do {
    a = a->tp_base;
    if (a == b) return 1;
  } while (a != nullptr);
  return b == &PyBaseObject_Type;
}

}  // namespace qx
