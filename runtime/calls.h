// Calls into Python objects: positional only, under the recursion guard, with
// fast paths chosen by the exact type of the callee.
#pragma once

#include <Python.h>

#include <cstdint>

#include "core/failure.h"
#include "runtime/ref.h"

namespace qx {

PyObject* CallObject(PyObject* callable, PyObject* args) noexcept;
PyObject* CallOneArg(PyObject* callable, PyObject* arg) noexcept;

// Which path a call through CallMethodArgs took; call sites report a
// different implementation-file line for each.
enum class CallPath { NoArg, OneArg, FunctionFast, CFunctionFast, TupleAlloc, Object };

// The bound-method unpacking pattern of the call sites: calls `callee`, whose
// reference it takes over, with nargs positional arguments (0 to
// kMaxMethodArgs). On failure *path tells which path failed. Returns a new
// reference or null.
inline constexpr int kMaxMethodArgs = 4;
PyObject* CallMethodArgs(Ref callee, PyObject* const* args, int nargs, CallPath* path) noexcept;

// The implementation-file lines of one call site made by bound-method
// unpacking with at least one argument, one per path the call can take
// (without arguments: NoArgCallLines).
struct CallSiteLines {
  int32_t one_arg;  // not unpacked, one argument: CallOneArg
  int32_t function_fast;
  int32_t cfunction_fast;
  int32_t tuple_alloc;
  int32_t object;
};

// The lines of a call without arguments, which takes one of two paths:
// CallOneArg with the self when the callee was unpacked (one_arg), CallNoArg
// otherwise (every other field).
constexpr CallSiteLines NoArgCallLines(int32_t unpacked, int32_t plain) noexcept {
  return {unpacked, plain, plain, plain, plain};
}

inline int32_t LineForPath(CallPath path, const CallSiteLines& lines) noexcept {
  switch (path) {
    case CallPath::OneArg:
      return lines.one_arg;
    case CallPath::FunctionFast:
      return lines.function_fast;
    case CallPath::CFunctionFast:
      return lines.cfunction_fast;
    case CallPath::TupleAlloc:
      return lines.tuple_alloc;
    default:
      return lines.object;
  }
}

// The failure point of such a call, in the support file: its source line and
// its lines per path. `fail->At(site, path)` reports the failed path's.
struct CallSite {
  int32_t source_line;
  CallSiteLines impl_lines;

  Position For(CallPath path) const noexcept { return {source_line, LineForPath(path, impl_lines)}; }
};

}  // namespace qx
