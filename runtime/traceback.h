// Traceback entries for failures inside the module.
#pragma once

#include <Python.h>

#include <cstdint>
#include <type_traits>

#include "core/failure.h"
#include "core/sync.h"
#include "runtime/code_cache.h"

namespace qx {

// Guards the traceback room's state below, which failing calls on any
// thread update. Held only around plain C steps: making or releasing a code
// object may run Python code, which may fail here again.
extern Mutex g_traceback_mutex;

// Written only by this room (AddTraceback, ForgetCodeCache), under
// g_traceback_mutex. The position is read only by the C++ tests.
struct TracebackState {
  // The last reported position.
  const char* error_file QX_GUARDED_BY(g_traceback_mutex);
  int32_t error_line QX_GUARDED_BY(g_traceback_mutex);
  int32_t error_impl_line QX_GUARDED_BY(g_traceback_mutex);
  // Code objects made for failure sites, owned by the owning interpreter.
  CodeObjectCache code_cache QX_GUARDED_BY(g_traceback_mutex);
};

extern TracebackState g_traceback;

// Forgets the cache when another interpreter takes over: its array and code
// objects are leaked, as their runtime may be gone, and it starts empty.
void ForgetCodeCache() noexcept QX_EXCLUDES(g_traceback_mutex);

// Records pos as the module's error position and appends an entry naming
// function_name, at pos, to the pending exception. With none pending (a
// callee returned null without one: a METH_FASTCALL builtin's result is
// passed on unchecked), a SystemError takes its place, as the interpreter
// raises for such a return.
void AddTraceback(const char* function_name, const Position& pos) noexcept;

// The single exit of a function whose body reports through a Failure: runs
// body(&fail) and, when it fails (null for an object, negative for a status),
// adds the entry naming function_name at the recorded position. The body's
// temporaries are released by then.
template <typename Body>
inline auto ReportFailure(const char* function_name, Body&& body) noexcept {
  Failure fail;
  auto result = body(&fail);
  static_assert(std::is_same_v<decltype(result), PyObject*> || std::is_same_v<decltype(result), int>,
                "a reporting body returns an object or a status");
  bool failed;
  if constexpr (std::is_same_v<decltype(result), PyObject*>) {
    failed = result == nullptr;
  } else {
    failed = result < 0;
  }
  if (failed) AddTraceback(function_name, fail.pos);
  return result;
}

}  // namespace qx
