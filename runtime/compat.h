// What differs between the supported interpreters (python-versions.txt:
// 3.11 to 3.15, and 3.13's free-threaded build), one helper per concern.
// Everything else in the module is written once for all of them; a version or
// build test anywhere but here (or core/sync.h, for the locks) is a mistake.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "core/sync.h"

// A tree made for a debug interpreter (CMake defines QX_EXPECT_PY_DEBUG)
// must compile against that interpreter's headers.
#if defined(QX_EXPECT_PY_DEBUG) && !defined(Py_DEBUG)
#error "building for a debug interpreter with release headers"
#endif

// The supported range, which CMake passes from python-versions.txt (the one
// list): [QX_PY_VERSION_MIN, QX_PY_VERSION_END) as PY_VERSION_HEX values,
// and the same for free-threaded builds (an empty range where none is).
#if !defined(QX_PY_VERSION_MIN) || !defined(QX_PY_VERSION_END) || !defined(QX_PY_FREE_THREADED_MIN) || \
    !defined(QX_PY_FREE_THREADED_END)
#error "configure with CMake, which passes the supported Python versions (python-versions.txt)"
#endif
#ifdef Py_GIL_DISABLED
#if PY_VERSION_HEX < QX_PY_FREE_THREADED_MIN || PY_VERSION_HEX >= QX_PY_FREE_THREADED_END
#error "this free-threaded Python is not among the supported versions (python-versions.txt)"
#endif
#elif PY_VERSION_HEX < QX_PY_VERSION_MIN || PY_VERSION_HEX >= QX_PY_VERSION_END
#error "this Python is not among the supported versions (python-versions.txt)"
#endif

#define QX_PY312 (PY_VERSION_HEX >= 0x030C0000)
#define QX_PY313 (PY_VERSION_HEX >= 0x030D0000)

// The thread's pending error is one normalised exception object (3.12 on),
// not a type, a value (possibly not yet normalised) and a traceback.
#define QX_ERROR_IS_ONE_OBJECT QX_PY312

// The guard of calls made from C (Py_EnterRecursiveCall) counts levels down
// in the thread state, and Py_LeaveRecursiveCall gives the level back (up to
// 3.13). From 3.14 it compares the machine stack pointer with the thread's
// stack limits instead: it keeps no count, leaving does nothing, and its
// RecursionError says "Stack overflow (used N kB)<where>" rather than
// "maximum recursion depth exceeded<where>".
#define QX_RECURSION_GUARD_COUNTS_LEVELS (PY_VERSION_HEX < 0x030E0000)

// The thread's stack limits, which that stack guard compares with, can be
// set (PyUnstable_ThreadState_SetStackProtection, from 3.14.1).
#define QX_STACK_LIMITS_SETTABLE (PY_VERSION_HEX >= 0x030E01F0)

// Per-object critical sections: public since 3.13, where a build with the
// GIL makes them plain blocks; before 3.13 there is only the GIL.
#if !QX_PY313
#define Py_BEGIN_CRITICAL_SECTION(op) {
#define Py_END_CRITICAL_SECTION() }
#endif

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
// 3.14 and 3.15 survived a retry after every failed allocation of the
// import, but stay with 3.13 until their readying is known to start over.
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

// Whether an object's reference count never moves (immortal objects exist
// from 3.12 on; a free-threaded build makes many more of them).
inline bool IsImmortal([[maybe_unused]] PyObject* o) noexcept {
#if QX_PY312
  return _Py_IsImmortal(o);
#else
  return false;
#endif
}

#if QX_RECURSION_GUARD_COUNTS_LEVELS
// The levels the recursion guard still admits on this thread, read and set
// (only the tests set them). The count is the guard's own C counter since
// 3.12, the one shared with Python calls before; 3.13 refuses a call only
// once it is below zero, earlier versions at zero.
inline constexpr int kRecursionCounterAtLimit = PY_VERSION_HEX >= 0x030D0000 ? -1 : 0;
inline int& RecursionCounter(PyThreadState* ts) noexcept {
#if QX_PY312
  return ts->c_recursion_remaining;
#else
  return ts->recursion_remaining;
#endif
}
inline int RecursionLevelsLeft(PyThreadState* ts) noexcept {
  return RecursionCounter(ts) - kRecursionCounterAtLimit;
}
inline void SetRecursionLevelsLeft(PyThreadState* ts, int levels) noexcept {
  RecursionCounter(ts) = levels + kRecursionCounterAtLimit;
}
#endif

// Whether other threads run Python code beside this one (no GIL).
#ifdef Py_GIL_DISABLED
inline constexpr bool kFreeThreaded = true;
#else
inline constexpr bool kFreeThreaded = false;
#endif

// An iterator over iterable, a view of registry (a class's members), that
// another thread's stores cannot break. Free-threaded 3.13's OrderedDict
// guards neither its order nor its walks, so there a walk over an
// OrderedDict is over a copy taken under the registry's section
// (StripedSection, which the module's stores into a registry take too). A
// registry of another type is the user's own, walked as it is. With the
// GIL, the plain iterator, and the interpreter's own errors if the registry
// changes during the walk.
inline PyObject* GuardedIter([[maybe_unused]] PyObject* registry, PyObject* iterable) noexcept {
#ifdef Py_GIL_DISABLED
  if (!PyODict_CheckExact(registry)) return PyObject_GetIter(iterable);
  PyObject* copy;
  {
    StripedSection section(registry);
    copy = PySequence_List(iterable);
  }
  if (copy == nullptr) return nullptr;
  PyObject* it = PyObject_GetIter(copy);
  Py_DECREF(copy);
  return it;
#else
  return PyObject_GetIter(iterable);
#endif
}

// Publishes a new value in a field that the interpreter may read without
// the owner's lock (an instance's __dict__ through tp_dictoffset): a release
// store, so that a reader sees the object fully made. Plain with the GIL.
inline void StoreFieldRelease(PyObject** field, PyObject* value) noexcept {
#ifdef Py_GIL_DISABLED
  std::atomic_ref<PyObject*>(*field).store(value, std::memory_order_release);
#else
  *field = value;
#endif
}

// Declares that the module needs no GIL, so that importing it leaves a
// free-threaded interpreter's GIL off; nothing to declare with a GIL.
inline int DeclareGilNotUsed([[maybe_unused]] PyObject* module) noexcept {
#ifdef Py_GIL_DISABLED
  return PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED);
#else
  return 0;
#endif
}

// A dictionary item as a strong reference: 1 found, 0 absent, -1 with an
// error. A borrowed one may be freed by another thread's store at once.
inline int DictGetItemRef(PyObject* dict, PyObject* key, PyObject** result) noexcept {
#if QX_PY313
  return PyDict_GetItemRef(dict, key, result);
#else
  PyObject* item = PyDict_GetItemWithError(dict, key);
  *result = Py_XNewRef(item);
  if (item != nullptr) return 1;
  return PyErr_Occurred() != nullptr ? -1 : 0;
#endif
}

// A new list of n items for the caller to set with PyList_SET_ITEM, or null
// with an exception. Free-threaded 3.13's PyList_New releases the list
// without clearing its item pointer when the items cannot be allocated, and
// a list taken from the free list then frees stale items and crashes; a
// list grown from empty never meets that path. Its items are None until
// set, which is immortal there: overwriting one needs no release.
inline PyObject* NewList(Py_ssize_t n) noexcept {
#ifdef Py_GIL_DISABLED
  PyObject* list = PyList_New(0);
  if (list == nullptr) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (PyList_Append(list, Py_None) < 0) {
      Py_DECREF(list);
      return nullptr;
    }
  }
  return list;
#else
  return PyList_New(n);
#endif
}

// A list item as a strong reference, or null with IndexError.
inline PyObject* ListGetItemRef(PyObject* list, Py_ssize_t i) noexcept {
#if QX_PY313
  return PyList_GetItemRef(list, i);
#else
  return Py_XNewRef(PyList_GetItem(list, i));
#endif
}

// The module of that name in sys.modules (made empty when missing), as a
// strong reference; PyImport_AddModule's borrowed one may be dropped by
// another thread's change of sys.modules.
inline PyObject* ImportAddModuleRef(const char* name) noexcept {
#if QX_PY313
  return PyImport_AddModuleRef(name);
#else
  return Py_XNewRef(PyImport_AddModule(name));
#endif
}

}  // namespace qx::compat
