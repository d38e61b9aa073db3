// What differs between the supported interpreters (3.11, 3.12, 3.13), one
// helper per concern. Everything else in the module is written once for all
// three; a version test anywhere but here is a mistake.
#pragma once

#include <Python.h>

#include <cstdint>

#if PY_VERSION_HEX < 0x030B0000 || PY_VERSION_HEX >= 0x030E0000
#error "this module supports Python 3.11, 3.12 and 3.13"
#endif

#define QX_PY312 (PY_VERSION_HEX >= 0x030C0000)

#if QX_PY312 && PY_VERSION_HEX < 0x030D0000
// 3.12's own test of whether an interpreter refuses single-phase modules;
// exported, declared in the interpreter's internal headers only.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the interpreter's name
extern "C" PyAPI_FUNC(int) _PyImport_CheckSubinterpIncompatibleExtensionAllowed(const char* name);
#endif

namespace qx::compat {

// The thread's pending error. 3.11 keeps type, value and traceback in three
// fields of the thread state (value possibly not yet normalised); 3.12 keeps
// one exception object, handed over by PyErr_GetRaisedException.
struct ErrorFields {
  PyObject* type = nullptr;  // unused since 3.12
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;  // unused since 3.12
};

// Takes the pending error out (references handed over); none is left.
inline ErrorFields TakeError(PyThreadState* tstate) noexcept {
#if QX_PY312
  (void)tstate;
  return {nullptr, PyErr_GetRaisedException(), nullptr};
#else
  ErrorFields fields{tstate->curexc_type, tstate->curexc_value, tstate->curexc_traceback};
  tstate->curexc_type = nullptr;
  tstate->curexc_value = nullptr;
  tstate->curexc_traceback = nullptr;
  return fields;
#endif
}

// Makes fields the pending error (references taken over); what was pending
// is released afterwards, so its finalizers see the new state.
inline void PutError(PyThreadState* tstate, ErrorFields fields) noexcept {
#if QX_PY312
  (void)tstate;
  PyErr_SetRaisedException(fields.value);
#else
  PyObject* old_type = tstate->curexc_type;
  PyObject* old_value = tstate->curexc_value;
  PyObject* old_tb = tstate->curexc_traceback;
  tstate->curexc_type = fields.type;
  tstate->curexc_value = fields.value;
  tstate->curexc_traceback = fields.traceback;
  Py_XDECREF(old_type);
  Py_XDECREF(old_value);
  Py_XDECREF(old_tb);
#endif
}

// The pending error's type (borrowed), or null.
inline PyObject* PendingErrorType(PyThreadState* tstate) noexcept {
#if QX_PY312
  PyObject* exc = tstate->current_exception;
  return exc != nullptr ? reinterpret_cast<PyObject*>(Py_TYPE(exc)) : nullptr;
#else
  return tstate->curexc_type;
#endif
}

// An int's value without a call, when it is small: up to two 30-bit digits
// read from the representation in 3.11, the compact form (one digit) since
// 3.12, whose integer layout is opaque. False: ask PyLong_As*.
inline bool SmallIntValue(PyObject* x, Py_ssize_t* value) noexcept {
#if QX_PY312
  auto* op = reinterpret_cast<PyLongObject*>(x);
  if (!PyUnstable_Long_IsCompact(op)) return false;
  *value = PyUnstable_Long_CompactValue(op);
  return true;
#else
  const digit* d = reinterpret_cast<PyLongObject*>(x)->ob_digit;
  switch (Py_SIZE(x)) {
    case 0:
      *value = 0;
      return true;
    case 1:
      *value = static_cast<Py_ssize_t>(d[0]);
      return true;
    case -1:
      *value = -static_cast<Py_ssize_t>(d[0]);
      return true;
    case 2:
      *value = static_cast<Py_ssize_t>((static_cast<size_t>(d[1]) << PyLong_SHIFT) | d[0]);
      return true;
    case -2:
      *value = -static_cast<Py_ssize_t>((static_cast<size_t>(d[1]) << PyLong_SHIFT) | d[0]);
      return true;
    default:
      return false;
  }
#endif
}

// PyCode_New, renamed PyUnstable_Code_New in 3.12 (same arguments).
inline PyCodeObject* NewCode(int argcount, int nlocals, int flags, PyObject* code, PyObject* consts,
                             PyObject* names, PyObject* varnames, PyObject* freevars, PyObject* cellvars,
                             PyObject* filename, PyObject* name, PyObject* qualname, int firstlineno,
                             PyObject* linetable, PyObject* exceptiontable) noexcept {
#if QX_PY312
  return PyUnstable_Code_New(argcount, 0, nlocals, 0, flags, code, consts, names, varnames, freevars,
                             cellvars, filename, name, qualname, firstlineno, linetable, exceptiontable);
#else
  return PyCode_New(argcount, 0, nlocals, 0, flags, code, consts, names, varnames, freevars, cellvars,
                    filename, name, qualname, firstlineno, linetable, exceptiontable);
#endif
}

// Whether PyType_Ready may run again on a static type whose readying failed.
// 3.13 can leave such a type's dictionary corrupt (a failed allocation while
// it grows), and readying it again crashes; 3.11 and 3.12 start over safely.
inline constexpr bool kTypeReadyRetryable = PY_VERSION_HEX < 0x030D0000;

// Whether the current interpreter may run a single-phase module's entry: 0,
// or -1 with ImportError. 3.12 refuses such a module in an isolated
// interpreter only after its entry has run, so every object the entry made
// would belong to an interpreter with an allocator of its own, freed with
// it; the entry asks first, as the import system will. 3.11 has no such
// interpreters, and 3.13 runs the entry in the main interpreter.
inline int CheckSinglePhaseAllowed(const char* name) noexcept {
#if QX_PY312 && PY_VERSION_HEX < 0x030D0000
  if (_PyImport_CheckSubinterpIncompatibleExtensionAllowed(name) < 0) return -1;
  // Even with that check switched off (_imp._override_multi_interp_extensions_check):
  // the state's objects would be freed with such an interpreter.
  if (!_PyInterpreterState_HasFeature(PyInterpreterState_Get(), Py_RTFLAGS_USE_MAIN_OBMALLOC)) {
    PyErr_Format(PyExc_ImportError, "module %s cannot be loaded in an interpreter with its own allocator",
                 name);
    return -1;
  }
#else
  (void)name;
#endif
  return 0;
}

// The entry point types of METH_FASTCALL builtins, public from 3.13 on.
#if PY_VERSION_HEX >= 0x030D0000
using CFunctionFast = PyCFunctionFast;
using CFunctionFastWithKeywords = PyCFunctionFastWithKeywords;
#else
using CFunctionFast = _PyCFunctionFast;
using CFunctionFastWithKeywords = _PyCFunctionFastWithKeywords;
#endif

}  // namespace qx::compat
