// Helpers shared by the C++ tests.
#pragma once

#include <Python.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "core/owned_state.h"
#include "runtime/compat.h"
#include "runtime/ref.h"

namespace qxtest {

// Whether an object's reference count moves with its references: a
// free-threaded interpreter makes modules, their dictionaries and code
// objects immortal, with a count that never does.
inline bool CountsReferences(PyObject* o) { return !qx::compat::IsImmortal(o); }

// A named fact about the running interpreter, read from
// tests/interpreter_facts.py, the one table of what differs between the
// interpreters: its truth value. An unknown name fails the test.
inline bool Fact(const char* name) {
  std::string source = std::string("import sys\nif ") + '"' + QX_TESTS_DIR + '"' +
                       " not in sys.path: sys.path.insert(0, " + '"' + QX_TESTS_DIR + '"' +
                       ")\nimport interpreter_facts\nvalue = bool(interpreter_facts." + name + ")\n";
  qx::Ref ns = qx::Ref::steal(PyDict_New());
  PyDict_SetItemString(ns.get(), "__builtins__", PyEval_GetBuiltins());
  qx::Ref done = qx::Ref::steal(PyRun_String(source.c_str(), Py_file_input, ns.get(), ns.get()));
  if (!done) {
    PyErr_Print();
    ADD_FAILURE() << "no interpreter fact " << name;
    return false;
  }
  return PyDict_GetItemString(ns.get(), "value") == Py_True;
}

// Holds the right to run the initialisation sequence for a test that calls
// one of its routines (readying a static type, the pickling set-up) directly.
class SequenceClaim {
 public:
  SequenceClaim() { qx::g_init_claim.Take(); }
  ~SequenceClaim() { qx::g_init_claim.Give(); }
  SequenceClaim(const SequenceClaim&) = delete;
  SequenceClaim& operator=(const SequenceClaim&) = delete;
};

// Runs Python source in a fresh namespace (with builtins) and returns the
// namespace dictionary; fails the test on error.
inline qx::Ref RunPython(const char* source) {
  qx::Ref ns = qx::Ref::steal(PyDict_New());
  PyDict_SetItemString(ns.get(), "__builtins__", PyEval_GetBuiltins());
  qx::Ref r = qx::Ref::steal(PyRun_String(source, Py_file_input, ns.get(), ns.get()));
  if (!r) {
    PyErr_Print();
    ADD_FAILURE() << "Python source failed:\n" << source;
  }
  return ns;
}

// Evaluates an expression; returns a new reference (null on error, left set).
inline qx::Ref Eval(const char* expr, PyObject* ns = nullptr) {
  qx::Ref local;
  if (ns == nullptr) {
    local = qx::Ref::steal(PyDict_New());
    PyDict_SetItemString(local.get(), "__builtins__", PyEval_GetBuiltins());
    ns = local.get();
  }
  return qx::Ref::steal(PyRun_String(expr, Py_eval_input, ns, ns));
}

// The pending exception's type name and str(); clears it. Empty if none.
inline std::string TakeError(std::string* type_name = nullptr) {
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  if (t == nullptr) return {};
  PyErr_NormalizeException(&t, &v, &tb);
  std::string msg;
  if (v != nullptr) {
    PyObject* s = PyObject_Str(v);
    if (s != nullptr) {
      const char* c = PyUnicode_AsUTF8(s);
      msg = c != nullptr ? c : "";
      Py_DECREF(s);
    }
  }
  if (type_name != nullptr) *type_name = reinterpret_cast<PyTypeObject*>(t)->tp_name;
  Py_XDECREF(t);
  Py_XDECREF(v);
  Py_XDECREF(tb);
  PyErr_Clear();
  return msg;
}

// Borrowed item of a namespace made by RunPython.
inline PyObject* Get(const qx::Ref& ns, const char* name) { return PyDict_GetItemString(ns.get(), name); }

inline std::string Str(PyObject* o) {
  PyObject* s = PyObject_Str(o);
  if (s == nullptr) {
    PyErr_Clear();
    return "<str failed>";
  }
  std::string out = PyUnicode_AsUTF8(s);
  Py_DECREF(s);
  return out;
}

// The recursion guard of calls made from C (Py_EnterRecursiveCall): whether
// it counts levels (runtime/compat.h). A stack guard keeps nothing a test
// could read: what a level entered or refused leaves behind shows only where
// one is counted, and what the guard admits at its limit everywhere.
inline constexpr bool kGuardCountsLevels = QX_RECURSION_GUARD_COUNTS_LEVELS;

// Whether the guard counts levels; where it does not, records in the test's
// result that its checks of levels are left out, and why.
inline bool GuardCountsLevels() {
  if (kGuardCountsLevels) return true;
  ::testing::Test::RecordProperty(
      "left_out", "levels of the recursion guard: it compares stack addresses and counts none");
  return false;
}

// Levels the guard still admits on this thread; 0 where it counts none.
inline int RecursionLevelsLeft() {
#if QX_RECURSION_GUARD_COUNTS_LEVELS
  return qx::compat::RecursionLevelsLeft(PyThreadState_Get());
#else
  return 0;
#endif
}

// Whether the guard admits a call entered one frame below the caller (no
// error may be pending; none is left).
[[gnu::noinline]] inline bool GuardAdmits() {
  if (Py_EnterRecursiveCall(" in a probe") != 0) {
    PyErr_Clear();
    return false;
  }
  Py_LeaveRecursiveCall();
  return true;
}

// For its life, puts this thread where the guard admits `levels` more
// nested calls. A stack guard has no levels, so there only 0 can be asked:
// the thread's stack limits are moved to just above the caller's frame, so
// that a call the caller makes, a few frames down, is refused, with room
// left below for the refusal itself. placed() says whether it could be
// done (a stack guard whose limits cannot be set: not).
class RecursionLimit {
 public:
  [[gnu::noinline]] explicit RecursionLimit(int levels = 0) {
    if (PyErr_Occurred() != nullptr) {
      ADD_FAILURE() << "an error is pending";
      return;
    }
#if QX_RECURSION_GUARD_COUNTS_LEVELS
    saved_ = RecursionLevelsLeft();
    qx::compat::SetRecursionLevelsLeft(PyThreadState_Get(), levels);
    placed_ = true;
#elif QX_STACK_LIMITS_SETTABLE
    if (levels != 0) {
      ADD_FAILURE() << "a guard that compares stack addresses has no levels to count";
      return;
    }
    placed_ = PlaceStackLimit(reinterpret_cast<uintptr_t>(__builtin_frame_address(0)));
#else
    (void)levels;
#endif
  }
  ~RecursionLimit() {
    if (!placed_) return;
#if QX_RECURSION_GUARD_COUNTS_LEVELS
    qx::compat::SetRecursionLevelsLeft(PyThreadState_Get(), saved_);
#elif QX_STACK_LIMITS_SETTABLE
    PyUnstable_ThreadState_ResetStackProtection(PyThreadState_Get());
#endif
  }
  RecursionLimit(const RecursionLimit&) = delete;
  RecursionLimit& operator=(const RecursionLimit&) = delete;

  bool placed() const { return placed_; }

 private:
#if !QX_RECURSION_GUARD_COUNTS_LEVELS && QX_STACK_LIMITS_SETTABLE
  // Makes the thread's stack end `depth` bytes below here.
  static bool SetStackEnd(uintptr_t here, uintptr_t depth) {
    constexpr uintptr_t kAbove = uintptr_t{1} << 20;
    return PyUnstable_ThreadState_SetStackProtection(
               PyThreadState_Get(), reinterpret_cast<void*>(here - depth), depth + kAbove) == 0;
  }
  // The interpreter keeps its limits private, at distances from the stack's
  // end of its own: below the soft limit a call is refused, below the hard
  // one (nearer the end) the process is aborted. So the soft limit is found
  // by moving the end up from far below, and the end set so that a probe
  // from here meets a call refused with most of the refusing band below it.
  static bool PlaceStackLimit(uintptr_t here) {
    auto give_up = [](const char* why) {
      PyErr_Clear();
      PyUnstable_ThreadState_ResetStackProtection(PyThreadState_Get());
      ADD_FAILURE() << why;
      return false;
    };
    uintptr_t admitted = uintptr_t{1} << 20;
    if (!SetStackEnd(here, admitted) || !GuardAdmits()) {
      return give_up("the guard refuses a call a megabyte above the stack's end");
    }
    // A quarter nearer at a time: a probe the guard admitted lies at least
    // twice as high above the end as the hard limit, so the next one cannot
    // fall below that limit.
    uintptr_t refused = 0;
    for (uintptr_t depth = admitted - admitted / 4; depth > 1024; depth -= depth / 4) {
      if (!SetStackEnd(here, depth)) break;
      if (!GuardAdmits()) {
        refused = depth;
        break;
      }
      admitted = depth;
    }
    if (refused == 0) return give_up("the guard admits a call however near the stack's end");
    while (admitted - refused > 64) {
      const uintptr_t mid = refused + (admitted - refused) / 2;
      if (!SetStackEnd(here, mid)) return give_up("the stack's end cannot be set");
      (GuardAdmits() ? admitted : refused) = mid;
    }
    // An eighth of the distance below the soft limit: calls a few frames
    // deeper or shallower than the probe are refused the same way, and
    // their refusal runs far above the hard limit.
    if (!SetStackEnd(here, admitted - admitted / 8) || GuardAdmits()) {
      return give_up("no stack end found where the guard refuses a call");
    }
    return true;
  }
#endif

  bool placed_ = false;
  [[maybe_unused]] int saved_ = 0;
};

}  // namespace qxtest
