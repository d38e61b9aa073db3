// The ground every folder stands on: the module's process-wide state, the
// objects the entry makes and keeps, and the binding to the interpreter that
// owns them. Failing paths record nothing here: each fills a Failure
// (core/failure.h) that its caller passes down and reports through a
// traceback entry once the temporaries are released. AddTraceback then
// copies the reported position into error_file, error_line and
// error_impl_line, which only the C++ tests read.
#pragma once

#include <Python.h>

#include <cstdint>

#include "core/code_cache.h"
#include "core/failure.h"
#include "core/name_table.h"

#if defined(QX_EXPECT_PY_DEBUG) && !defined(Py_DEBUG)
#error "building for a debug interpreter with release headers"
#endif

namespace qx {

// Room for the fallback class's methods (one row each in enums/enum_base.cpp,
// asserted there to fit) and for the locals of each method's code object.
inline constexpr int kMaxFallbackMethods = 4;
inline constexpr int kMaxFallbackLocals = 5;

inline constexpr const char* kModuleDottedName = "quendrix.core.enums.weekdays";
inline constexpr const char* kInitFunctionName = "init quendrix.core.enums.weekdays";
// The pickle checksum stands for the type's list of stored fields, which is
// empty. One literal: the incompatible-checksums message spells it.
inline constexpr int32_t kPickleChecksum = QX_PICKLE_CHECKSUM;

// Every object field is owned and, once set, stays valid for the life of the
// process: a failed or repeated initialisation replaces a field only with
// another valid object, so no path finds one cleared by a failure.
struct ModuleState {
  // The module, owned from creation. Null before the first attempt and after
  // a failed one; complete only once `initialising` is false again.
  PyObject* module;
  PyObject* module_dict;
  PyObject* builtins_module;
  PyObject* runtime_module;  // "qx_runtime", found in sys.modules
  PyObject* empty_tuple;
  PyObject* empty_bytes;
  PyTypeObject* function_type;  // owned; the registry's function type
  NameObjects names;
  PyObject* checksum_int;
  PyObject* builtin_ValueError;
  // Per method of the fallback class, in the order of its rows
  // (enums/enum_base.cpp): the code object, and the defaults tuple (null:
  // none).
  PyObject* fallback_code[kMaxFallbackMethods];
  PyObject* fallback_defaults[kMaxFallbackMethods];
  PyTypeObject* enum_meta_type;  // static type; not reference counted
  PyObject* ordered_dict_class;
  PyObject* enum_base_class;
  PyObject* globals_dict;
  const char* error_file;
  int32_t error_line;
  int32_t error_impl_line;
  CodeObjectCache code_cache;
  // Beyond the name table: the dotted module name as a str and the keyword
  // "module", used to tell IntEnum which module Weekdays belongs to. The
  // name is also the module table key, so that a failed initialisation can
  // remove its entry without allocating.
  PyObject* module_name_text;
  PyObject* module_keyword;
  // Who may use the objects above. Read and written by the entry alone
  // (module/init.cpp), and by the owner's marker as its interpreter ends;
  // kept together so that one lock can guard them without a GIL.
  // Set while the entry runs: a re-entrant import (Python code run by the
  // body) must not be handed the half-built module.
  bool initialising;
  // The interpreter whose import made the objects above (-1: none yet). It
  // holds the module while `module` is set, until it ends.
  int64_t owner_id = -1;
  // The marker left in the owner's interpreter dictionary; borrowed, only
  // compared, never dereferenced. Its destruction sets `owner_gone`.
  PyObject* owner_marker;
  bool owner_gone;
};

extern ModuleState g_state;

// Objects made in an interpreter that the state no longer serves (it ended,
// or its import failed and another interpreter took over) are forgotten:
// the fields keep them, so code still running finds no empty field, but
// they are never released, since their runtime may be gone (a deliberate
// leak). The next import makes each of them anew.
void ForgetObjects() noexcept;
// Whether *slot, a field of g_state, still holds a forgotten object.
bool IsForgotten(PyObject* const* slot) noexcept;
// Stores value (a reference taken over) in *slot, a field of g_state, and
// releases the object it replaces unless that one is forgotten.
void ReplaceOwned(PyObject** slot, PyObject* value) noexcept;

}  // namespace qx
