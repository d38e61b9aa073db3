// Class creation the way a class statement does it, and the module's
// globals mapping.
#pragma once

#include <Python.h>

namespace qx {

// All return a new reference or null with an exception; object arguments
// are borrowed.
PyObject* CalculateMetaclass(PyTypeObject* metaclass, PyObject* bases) noexcept;
PyObject* PrepareClassNamespace(PyObject* metaclass, PyObject* bases, PyObject* name, PyObject* qualname,
                                PyObject* modname) noexcept;
PyObject* CreateClass(PyObject* metaclass, PyObject* name, PyObject* bases, PyObject* namespace_) noexcept;
PyObject* ModuleGlobals() noexcept;

}  // namespace qx
