// Global, attribute, import and item lookups with type-slot fast paths.
// Object results are new references, or null with an error set.
#pragma once

#include <Python.h>

#include "runtime/ref.h"

namespace qx {

PyObject* LookupModuleGlobal(PyObject* name) noexcept;
PyObject* GetAttrByStr(PyObject* obj, PyObject* name) noexcept;
PyObject* GetAttrAny(PyObject* obj, PyObject* name) noexcept;
PyObject* GetAttrOrDefault(PyObject* obj, PyObject* name, PyObject* dflt) noexcept;
int SetAttrByStr(PyObject* obj, PyObject* name, PyObject* value) noexcept;
PyObject* ImportModule(PyObject* name, PyObject* from_list) noexcept;
PyObject* ImportNameFrom(PyObject* module, PyObject* name) noexcept;
PyObject* SubscriptObject(PyObject* obj, PyObject* key) noexcept;
PyObject* FirstTupleItem(PyObject* tuple) noexcept;

}  // namespace qx
