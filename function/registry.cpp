// The registry module through which every module built this way shares one
// function type: the first to initialise publishes its own, the others
// check the published one and use it.
#include "function/function_object.h"

#include "module/module_state.h"
#include "runtime/ref.h"

namespace qx {

namespace {
constexpr const char* kRegistryModuleName = "_qx_shared_1_0";
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
    // Instances are read field by field by every sharing module, so the
    // size is the least the layouts must agree on.
    if (reinterpret_cast<PyTypeObject*>(found.get())->tp_basicsize != static_type->tp_basicsize) {
      PyErr_Format(PyExc_TypeError, "Shared runtime type %.200s has the wrong size, try recompiling", name);
      return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(found.release());
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
  PyErr_Clear();
  // First in the process: ready our own type and publish it.
  if (PyType_Ready(static_type) < 0) return nullptr;
  if (PyObject_SetAttrString(registry, name, reinterpret_cast<PyObject*>(static_type)) < 0) {
    return nullptr;
  }
  Py_INCREF(static_type);
  return static_type;
}

int RegisterFunctionType() noexcept {
  PyObject* registry = PyImport_AddModule(kRegistryModuleName);  // borrowed
  PyTypeObject* type = registry != nullptr ? FetchSharedType(registry, &QxFunctionType) : nullptr;
  // A retried initialisation replaces the type kept by the earlier attempt.
  Py_XSETREF(g_state.function_type, type);
  return type != nullptr ? 0 : -1;
}

}  // namespace qx
