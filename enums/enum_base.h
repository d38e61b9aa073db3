// The methods of __Qx_EnumBase, made into function objects by the body.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

#include "core/names.h"
#include "enums/enum_state.h"

namespace qx {

// One row per method: everything the module needs to make its code object,
// its defaults and its function object, and where a failure to add it is
// reported. The rows' order is the order of g_enums.fallback_code.
struct FallbackMethod {
  PyMethodDef def;
  bool is_static = false;            // a static method (__new__)
  int32_t source_line;               // of the def in "enumsupport"; the code object's first line
  PyObject* NameObjects::*qualname;  // "__Qx_EnumBase.<name>"
  PyObject* NameObjects::*name;      // the key in the class namespace and the code object's name
  int argcount;                      // parameters, then the other locals
  int nlocals;                       // at most kMaxFallbackLocals
  PyObject* NameObjects::*varnames[kMaxFallbackLocals];
  int none_defaults = 0;  // trailing parameters whose default is None
};

std::span<FallbackMethod> EnumBaseMethods() noexcept;

// Steps of the initialisation sequence that make the enums room's objects;
// each returns 0, or -1 with an exception. The fallback class's code objects
// and defaults are made once per owner, a repeated call filling only what an
// earlier, failed one left unset; the builtin ValueError is looked up on
// every attempt (it is this interpreter's), and kept if that fails.
int CacheEnumBuiltins() noexcept;
int CreateFallbackCode() noexcept;

}  // namespace qx
