// The registry module through which every module built this way shares one
// function type: the first to initialise publishes its own, the others
// check the published one and use it.
#include "function/registry.h"

#include <cstring>

#include "core/owned_state.h"
#include "function/function_object.h"
#include "function/internal.h"
#include "runtime/bindings.h"
#include "runtime/compat.h"
#include "runtime/ref.h"
#include "runtime/type_ready.h"

namespace qx {

namespace {
constexpr const char* kRegistryModuleName = "_qx_shared_1_0";

// Bits the interpreter sets on a type as it readies and uses it; the rest of
// the flag word is what the defining module chose and must match.
constexpr unsigned long kRuntimeTypeFlags = Py_TPFLAGS_READY | Py_TPFLAGS_READYING |
                                            Py_TPFLAGS_VALID_VERSION_TAG | Py_TPFLAGS_IMMUTABLETYPE |
                                            Py_TPFLAGS_DISALLOW_INSTANTIATION;

// 0 when found can be the shared type that static_type stands for, else -1
// with a TypeError. Sharing modules read and write instances field by field
// and call through the type's slots, so a look-alike would corrupt memory:
// the type must be a static type of the same name, flags and layout.
int CheckSharedType(PyTypeObject* found, PyTypeObject* static_type) noexcept {
  const char* name = static_type->tp_name;
  if (found->tp_basicsize != static_type->tp_basicsize || found->tp_itemsize != static_type->tp_itemsize ||
      found->tp_weaklistoffset != static_type->tp_weaklistoffset ||
      found->tp_dictoffset != static_type->tp_dictoffset) {
    PyErr_Format(PyExc_TypeError, "Shared runtime type %.200s has the wrong size, try recompiling", name);
    return -1;
  }
  if (PyType_HasFeature(found, Py_TPFLAGS_HEAPTYPE)) {
    PyErr_Format(PyExc_TypeError, "Shared runtime type %.200s is a heap type, not the shared static type",
                 name);
    return -1;
  }
  if (std::strcmp(found->tp_name, name) != 0) {
    PyErr_Format(PyExc_TypeError, "Shared runtime type %.200s has the wrong name %.200s", name,
                 found->tp_name);
    return -1;
  }
  if ((found->tp_flags & ~kRuntimeTypeFlags) != (static_type->tp_flags & ~kRuntimeTypeFlags)) {
    PyErr_Format(PyExc_TypeError, "Shared runtime type %.200s has the wrong flags, try recompiling", name);
    return -1;
  }
  return 0;
}

}  // namespace

PyTypeObject* FetchSharedType(PyObject* registry, PyTypeObject* static_type) noexcept {
  Ref keep = Ref::borrow(registry);
  const char* name = static_type->tp_name;
  Ref found = Ref::steal(PyObject_GetAttrString(registry, name));
  if (found) {
    if (!PyType_Check(found.get())) {
      PyErr_Format(PyExc_TypeError, "Shared runtime type %.200s is not a type object", name);
      return nullptr;
    }
    if (CheckSharedType(reinterpret_cast<PyTypeObject*>(found.get()), static_type) < 0) return nullptr;
    return reinterpret_cast<PyTypeObject*>(found.release());
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
  PyErr_Clear();
  // First in the process: ready our own type and publish it.
  if (ReadyStaticType(static_type) < 0) return nullptr;
  if (PyObject_SetAttrString(registry, name, reinterpret_cast<PyObject*>(static_type)) < 0) {
    return nullptr;
  }
  return reinterpret_cast<PyTypeObject*>(Py_NewRef(reinterpret_cast<PyObject*>(static_type)));
}

int RegisterFunctionType() noexcept {
  Ref registry = Ref::steal(compat::ImportAddModuleRef(kRegistryModuleName));
  PyTypeObject* type = registry ? FetchSharedType(registry.get(), &QxFunctionType) : nullptr;
  if (type == nullptr) return -1;
  // A repeated initialisation replaces the type kept by an earlier attempt;
  // a failed one keeps it, for the function objects that attempt made.
  // Functions of a failed attempt read the field on other threads without a
  // lock: ReplaceOwned does not store the same type again.
  ReplaceOwned(reinterpret_cast<PyObject**>(&g_bindings.function_type), reinterpret_cast<PyObject*>(type));
  return 0;
}

}  // namespace qx
