// The enumeration machinery: metaclass, fallback base class, pickling.
#pragma once

#include <Python.h>

#include <cstdint>

#include "runtime/calls.h"
#include "runtime/failure.h"

namespace qx {

extern PyTypeObject QxEnumMetaType;

// Readies __Qx_EnumMeta and installs its pickling methods; 0 or -1.
int InitEnumMetaType() noexcept;

int SetupPickling(PyTypeObject* type) noexcept;
int MethodHasName(PyObject* obj, PyObject* name) noexcept;

// Method definitions used by the module body.
extern PyMethodDef kEnumBaseNewDef;
extern PyMethodDef kEnumBaseReprDef;
extern PyMethodDef kEnumBaseStrDef;
extern PyMethodDef kUnpickleDef;

// tp_methods of __Qx_EnumMeta: __reduce_qx__ and __setstate_qx__ (moved to
// __reduce__ / __setstate__ by SetupPickling).
extern PyMethodDef enummeta_methods[];

// Applies a pickled state (a tuple, or None) to obj; a new reference to None
// or null. Adds its own traceback entry on failure.
PyObject* UnpickleEnumMetaSetState(PyObject* obj, PyObject* state) noexcept;

// The implementation-file lines of one call site made by bound-method
// unpacking with at least one argument, one per path the call can take.
struct CallSiteLines {
  int32_t one_arg;  // not unpacked, one argument: CallOneArg
  int32_t function_fast;
  int32_t cfunction_fast;
  int32_t tuple_alloc;
  int32_t object;
};

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

// The same for a call without arguments: CallOneArg with the self when the
// callee was unpacked, CallNoArg otherwise.
inline int32_t LineForNoArgPath(CallPath path, int32_t unpacked, int32_t plain) noexcept {
  return path == CallPath::OneArg ? unpacked : plain;
}

}  // namespace qx
