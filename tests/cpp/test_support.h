// Helpers shared by the C++ tests.
#pragma once

#include <Python.h>
#include <gtest/gtest.h>

#include <string>

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

// The counter that Py_EnterRecursiveCall uses up: its own C recursion
// counter since 3.12, the one shared with Python calls before.
inline int& RecursionCounter(PyThreadState* ts) {
#if QX_PY312
  return ts->c_recursion_remaining;
#else
  return ts->recursion_remaining;
#endif
}

// The counter's value once no call may enter: 0 up to 3.12, -1 since 3.13
// (which refuses only below zero).
inline constexpr int kRecursionCounterAtLimit = PY_VERSION_HEX >= 0x030D0000 ? -1 : 0;

}  // namespace qxtest
