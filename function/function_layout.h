// The instance layout of the shared function type "qx_function_or_method":
// a contract between every module that shares the type.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace qx {

enum QxFunctionFlags : int32_t {
  StaticMethod = 0x1,
  ClassMethod = 0x2,
  ExtensionTypeMethod = 0x4,
};

// Instance record. Modules sharing the type read and write these fields
// directly, so the layout is a contract (pinned by the assertions below).
struct QxFunctionObject {
  PyObject_HEAD
  PyMethodDef* m_ml;   // not owned
  PyObject* m_self;    // the object itself; borrowed
  PyObject* m_module;  // __module__, may be null
  PyObject* m_weakreflist;
  PyObject* func_dict;
  PyObject* func_name;
  PyObject* func_qualname;
  PyObject* func_doc;
  PyObject* func_globals;
  PyObject* func_code;
  PyObject* func_closure;
  PyObject* func_classobj;
  void* defaults;  // PyObject_Malloc'ed block; first defaults_count slots owned
  int32_t defaults_count;
  int32_t flags;
  PyObject* defaults_tuple;
  PyObject* defaults_kwdict;
  PyObject* (*defaults_getter)(PyObject*);
  PyObject* func_annotations;
};

// Pinned relative to the object header, which a free-threaded interpreter
// makes larger (32 bytes instead of 16): modules built for the same
// interpreter build agree, and the registry compares the sizes it finds.
inline constexpr size_t kQxObjectHeader = sizeof(PyObject);
static_assert(sizeof(QxFunctionObject) == kQxObjectHeader + 144, "shared layout: instance size");
static_assert(offsetof(QxFunctionObject, m_module) == kQxObjectHeader + 16, "shared layout: m_module");
static_assert(offsetof(QxFunctionObject, m_weakreflist) == kQxObjectHeader + 24, "shared layout: weaklist");
static_assert(offsetof(QxFunctionObject, func_dict) == kQxObjectHeader + 32, "shared layout: dict");
// The builtin-function accessors read m_ml and m_self at these offsets.
static_assert(offsetof(QxFunctionObject, m_ml) == offsetof(PyCFunctionObject, m_ml), "builtin layout: m_ml");
static_assert(offsetof(QxFunctionObject, m_self) == offsetof(PyCFunctionObject, m_self),
              "builtin layout: m_self");

}  // namespace qx
