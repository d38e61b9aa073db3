// The enums room's objects: what the metaclass, the fallback class and
// pickling read at run time.
#pragma once

#include <Python.h>

#include <cstdint>

#include "core/name_table.h"

namespace qx {

// Room for the fallback class's methods (one row each in enums/enum_base.cpp,
// asserted there to fit) and for the locals of each method's code object.
inline constexpr int kMaxFallbackMethods = 4;
inline constexpr int kMaxFallbackLocals = 5;

// The pickle checksum stands for the type's list of stored fields, which is
// empty. One literal: the incompatible-checksums message spells it.
inline constexpr int32_t kPickleChecksum = QX_PICKLE_CHECKSUM;

// An owned block (core/owned_state.h): written only by the initialisation
// sequence, holding g_init_claim; each field names its writer and how it is
// read.
struct EnumsState {
  // Per method of the fallback class, in the order of its rows: the code
  // object, and the defaults tuple (null: none). Made once per owner
  // (CreateFallbackCode); read as they are.
  PyObject* fallback_code[kMaxFallbackMethods];
  PyObject* fallback_defaults[kMaxFallbackMethods];
  // kPickleChecksum as an int; made once per owner (CreatePicklingConstants);
  // read as it is.
  PyObject* checksum_int;
  // The metaclass, a static type, not reference counted (InitEnumMetaType);
  // read as it is.
  PyTypeObject* enum_meta_type;
  // The builtin ValueError that __new__ raises (CacheEnumBuiltins); replaced
  // by each run: ReadShared.
  PyObject* builtin_ValueError;
  // The OrderedDict class the metaclass makes its member registries of: set
  // to None at the start of each run (ResetModuleVariables,
  // module/constants.cpp) until the module's body imports it
  // (module/body.cpp); replaced by each run: ReadShared.
  PyObject* ordered_dict_class;
};

extern EnumsState g_enums;

}  // namespace qx
