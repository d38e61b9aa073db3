// Process-wide state of the module: the objects made once at import and the
// error position that failing paths record for their traceback entry.
#pragma once

#include <Python.h>

#include <cstdint>

#include "runtime/failure.h"

#if defined(QX_EXPECT_PY_DEBUG) && !defined(Py_DEBUG)
#error "building for a debug interpreter with release headers"
#endif

namespace qx {

// Every run-time name and constant text, in table order:
// X(field, text, interned). The order is the order of the name table.
#define QX_NAME_TABLE(X)                                                            \
  X(EnumBase, "EnumBase", 1)                                                        \
  X(EnumType, "EnumType", 1)                                                        \
  X(Friday, "Friday", 1)                                                            \
  X(fmt_incompatible_checksums, "Incompatible checksums (%s vs 0xd41d8cd = ())", 0) \
  X(IntEnum, "IntEnum", 1)                                                          \
  X(Monday, "Monday", 1)                                                            \
  X(OrderedDict, "OrderedDict", 1)                                                  \
  X(PickleError, "PickleError", 1)                                                  \
  X(Qx_EnumBase, "__Qx_EnumBase", 1)                                                \
  X(Qx_EnumBase_new, "__Qx_EnumBase.__new__", 1)                                    \
  X(Qx_EnumBase_repr, "__Qx_EnumBase.__repr__", 1)                                  \
  X(Qx_EnumBase_str, "__Qx_EnumBase.__str__", 1)                                    \
  X(Saturday, "Saturday", 1)                                                        \
  X(Sunday, "Sunday", 1)                                                            \
  X(Thursday, "Thursday", 1)                                                        \
  X(Tuesday, "Tuesday", 1)                                                          \
  X(fmt_unknown_enum_value, "Unknown enum value: '%s'", 0)                          \
  X(ValueError, "ValueError", 1)                                                    \
  X(Wednesday, "Wednesday", 1)                                                      \
  X(Weekdays, "Weekdays", 1)                                                        \
  X(dunder_class, "__class__", 1)                                                   \
  X(impl_line_in_traceback, "impl_line_in_traceback", 1)                            \
  X(cls, "cls", 1)                                                                  \
  X(collections, "collections", 1)                                                  \
  X(dct, "dct", 1)                                                                  \
  X(dunder_dict, "__dict__", 1)                                                     \
  X(dunder_doc, "__doc__", 1)                                                       \
  X(enum_, "enum", 1)                                                               \
  X(dunder_getstate, "__getstate__", 1)                                             \
  X(dunder_import, "__import__", 1)                                                 \
  X(dunder_init, "__init__", 1)                                                     \
  X(dunder_main, "__main__", 1)                                                     \
  X(dunder_members, "__members__", 1)                                               \
  X(dunder_metaclass, "__metaclass__", 1)                                           \
  X(dunder_module, "__module__", 1)                                                 \
  X(name, "name", 1)                                                                \
  X(dunder_name, "__name__", 1)                                                     \
  X(dunder_new, "__new__", 1)                                                       \
  X(parents, "parents", 1)                                                          \
  X(pickle, "pickle", 1)                                                            \
  X(dunder_prepare, "__prepare__", 1)                                               \
  X(qx_PickleError, "__qx_PickleError", 1)                                          \
  X(qx_checksum, "__qx_checksum", 1)                                                \
  X(qx_result, "__qx_result", 1)                                                    \
  X(qx_state, "__qx_state", 1)                                                      \
  X(qx_type, "__qx_type", 1)                                                        \
  X(qx_unpickle_Qx_EnumMeta, "__qx_unpickle___Qx_EnumMeta", 1)                      \
  X(dunder_qualname, "__qualname__", 1)                                             \
  X(dunder_reduce, "__reduce__", 1)                                                 \
  X(dunder_reduce_qx, "__reduce_qx__", 1)                                           \
  X(dunder_reduce_ex, "__reduce_ex__", 1)                                           \
  X(dunder_repr, "__repr__", 1)                                                     \
  X(res, "res", 1)                                                                  \
  X(fmt_dotted, "%s.%s", 0)                                                         \
  X(fmt_member_repr, "<%s.%s: %d>", 0)                                              \
  X(self, "self", 1)                                                                \
  X(dunder_setstate, "__setstate__", 1)                                             \
  X(dunder_setstate_qx, "__setstate_qx__", 1)                                       \
  X(dunder_str, "__str__", 1)                                                       \
  X(enumsupport, "enumsupport", 0)                                                  \
  X(dunder_test, "__test__", 1)                                                     \
  X(update, "update", 1)                                                            \
  X(v, "v", 1)                                                                      \
  X(value, "value", 1)                                                              \
  X(values, "values", 1)

// One slot per row of the name table; each holds an owned str object.
struct NameObjects {
#define QX_NAME_FIELD(field, text, interned) PyObject* field;
  QX_NAME_TABLE(QX_NAME_FIELD)
#undef QX_NAME_FIELD
};

// One row of the name table (the table ends with a row whose target is null).
struct StringTabEntry {
  PyObject** target;
  const char* text;
  Py_ssize_t size;  // strlen(text) + 1
  const char* codec;
  char unicode_flag;
  char str_flag;
  char intern_flag;
};

inline constexpr int kNameTableRows = 65;
// The table itself, terminated by a null-target row (kNameTableRows + 1 rows).
extern const StringTabEntry kStringTab[];

// Files named in reported positions, indexed by SourceFile.
extern const char* const kFileNameTable[2];
// The implementation file named when implementation-file lines are shown.
extern const char* const kImplementationFileName;

inline constexpr const char* kModuleDottedName = "quendrix.core.enums.weekdays";
inline constexpr const char* kInitFunctionName = "init quendrix.core.enums.weekdays";
inline constexpr long kPickleChecksum = 222419149;  // 0xd41d8cd

struct CodeObjectCacheEntry {
  PyObject* code_object;  // owned
  int32_t key;
  // The failure site the code object was made for: an entry is reused only
  // for the same function and file, since distinct sites may share a line.
  const char* function_name;
  const char* file_name;
};

struct CodeObjectCache {
  int32_t count;
  int32_t capacity;
  CodeObjectCacheEntry* entries;
};

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
  PyObject* new_arg_names;
  PyObject* new_code;
  PyObject* new_defaults;
  PyObject* repr_arg_names;
  PyObject* repr_code;
  PyObject* str_arg_names;
  PyObject* str_code;
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
  // Set while the entry runs: a re-entrant import (Python code run by the
  // body) must not be handed the half-built module.
  bool initialising;
  // The interpreter that first ran the entry; -1 before. Every object here
  // belongs to it, so no other interpreter may use the module.
  int64_t interpreter_id = -1;
};

extern ModuleState g_state;

inline void SetErrorPosition(const Position& pos) noexcept {
  g_state.error_file = kFileNameTable[static_cast<int>(pos.file)];
  g_state.error_line = pos.source_line;
  g_state.error_impl_line = pos.impl_line;
}

// Name-table and constant creation; each returns 0, or -1 with an exception.
// Objects are made once per process: a repeated call fills only what an
// earlier, failed call left unset.
int CreateNameObjects() noexcept;
int CreateGlobalConstants() noexcept;
int CacheBuiltins() noexcept;
int CreateCachedConstants() noexcept;

// Version check. The testable form compares the compiled-for major.minor with
// the given running version text, exactly as the import does.
int CheckInterpreterVersionAgainst(int compiled_major, int compiled_minor,
                                   const char* running_version) noexcept;
int CheckInterpreterVersion() noexcept;
// Where CheckInterpreterVersion reads the running version (Py_GetVersion);
// tests substitute another source.
extern const char* (*g_running_version)();

void ResetModuleVariables() noexcept;
// Records where it failed in *fail.
int RunModuleBody(Failure* fail) noexcept;

// Class creation; all return a new reference or null with an exception.
PyObject* CalculateMetaclass(PyTypeObject* metaclass, PyObject* bases) noexcept;
PyObject* PrepareClassNamespace(PyObject* metaclass, PyObject* bases, PyObject* name, PyObject* qualname,
                                PyObject* modname) noexcept;
PyObject* CreateClass(PyObject* metaclass, PyObject* name, PyObject* bases, PyObject* namespace_) noexcept;
PyObject* ModuleGlobals() noexcept;

}  // namespace qx

// PyMODINIT_FUNC already gives C linkage when compiled as C++.
PyMODINIT_FUNC PyInit_weekdays(void);
