// Reporting a failure the module's way, with its traceback entry; shared by
// the traceback timings and the allocation counts.
#pragma once

#include <Python.h>
#include <frameobject.h>

#include <cstdint>

#include "runtime/bindings.h"
#include "runtime/traceback.h"

namespace qxbench {

inline constexpr const char* kTracebackFunction = "EnumBase.__Qx_EnumMeta.__getitem__";

// Swaps in an empty code-object cache; the destructor releases what the
// scratch cache collected and puts the real one back.
class ScratchCache {
 public:
  ScratchCache() : saved_(qx::g_traceback.code_cache) { qx::g_traceback.code_cache = {0, 0, nullptr}; }
  ~ScratchCache() {
    for (int32_t i = 0; i < qx::g_traceback.code_cache.count; ++i) {
      Py_DECREF(qx::g_traceback.code_cache.entries[i].code_object);
    }
    PyMem_Free(qx::g_traceback.code_cache.entries);
    qx::g_traceback.code_cache = saved_;
  }
  ScratchCache(const ScratchCache&) = delete;
  ScratchCache& operator=(const ScratchCache&) = delete;

 private:
  qx::CodeObjectCache saved_;
};

// One failure reported the module's way: the exception is raised, the entry
// appended, and the exception taken out again (releasing its traceback).
struct Failure {
  PyObject* value;  // a ValueError instance, borrowed
  bool Report(int32_t source_line, int32_t impl_line) const {
    PyErr_Restore(Py_NewRef(PyExc_ValueError), Py_NewRef(value), nullptr);
    qx::AddTraceback(kTracebackFunction, {source_line, impl_line});
    return Drain();
  }
  // The interpreter's own share of an entry: a frame for an existing code
  // object and the traceback record that links it.
  bool FrameAndTraceback(PyObject* code) const {
    PyErr_Restore(Py_NewRef(PyExc_ValueError), Py_NewRef(value), nullptr);
    PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code),
                                       qx::g_bindings.module_dict, nullptr);
    if (frame == nullptr) return false;
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
    return Drain();
  }
  static bool Drain() {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    const bool ok = t == PyExc_ValueError && tb != nullptr;
    Py_XDECREF(t);
    Py_XDECREF(v);
    Py_XDECREF(tb);
    return ok;
  }
};

// The site every "hit" reports: the metaclass's item lookup.
inline constexpr int32_t kHitSourceLine = 22;
inline constexpr int32_t kHitImplLine = 1715;
inline constexpr int32_t kMissImplLine = 9000;

}  // namespace qxbench
