// Traceback entries for failures inside the module.
#pragma once

#include <Python.h>

#include <cstdint>
#include <type_traits>

#include "core/code_cache.h"
#include "core/failure.h"

namespace qx {

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
