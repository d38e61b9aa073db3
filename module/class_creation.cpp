// Class creation the way a class statement does it, plus the module's
// globals mapping.
#include "module/class_creation.h"

#include "core/name_table.h"
#include "core/names.h"
#include "module/module_state.h"
#include "runtime/bindings.h"
#include "runtime/compat.h"
#include "runtime/lookups.h"
#include "runtime/ref.h"

namespace qx {

PyObject* CalculateMetaclass(PyTypeObject* metaclass, PyObject* bases) noexcept {
  PyTypeObject* winner = metaclass;
  const Py_ssize_t n = PyTuple_GET_SIZE(bases);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyTypeObject* t = Py_TYPE(PyTuple_GET_ITEM(bases, i));
    // NOLINTNEXTLINE(bugprone-branch-clone): two branches pick t for different reasons, in order.
    if (winner == nullptr) {
      winner = t;
    } else if (PyType_IsSubtype(winner, t)) {
      continue;
    } else if (PyType_IsSubtype(t, winner)) {
      winner = t;
    } else {
      PyErr_SetString(PyExc_TypeError,
                      "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
                      "subclass of the metaclasses of all its bases");
      return nullptr;
    }
  }
  if (winner == nullptr) winner = &PyType_Type;
  return Py_NewRef(reinterpret_cast<PyObject*>(winner));
}

PyObject* PrepareClassNamespace(PyObject* metaclass, PyObject* bases, PyObject* name, PyObject* qualname,
                                PyObject* modname) noexcept {
  Ref ns;
  if (metaclass != nullptr) {
    Ref prepare = Ref::steal(GetAttrByStr(metaclass, g_names.dunder_prepare));
    if (prepare) {
      Ref args = Ref::steal(PyTuple_Pack(2, name, bases));
      if (!args) return nullptr;
      ns = Ref::steal(PyObject_Call(prepare.get(), args.get(), nullptr));
    } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      ns = Ref::steal(PyDict_New());
    } else {
      return nullptr;
    }
  } else {
    ns = Ref::steal(PyDict_New());
  }
  if (!ns) return nullptr;
  if (PyObject_SetItem(ns.get(), g_names.dunder_module, modname) < 0) return nullptr;
  if (PyObject_SetItem(ns.get(), g_names.dunder_qualname, qualname) < 0) return nullptr;
  return ns.release();
}

PyObject* CreateClass(PyObject* metaclass, PyObject* name, PyObject* bases, PyObject* namespace_) noexcept {
  // A __metaclass__ entry in the namespace replaces the metaclass outright.
  Ref from_namespace = Ref::steal(PyObject_GetItem(namespace_, g_names.dunder_metaclass));
  if (from_namespace) {
    metaclass = from_namespace.get();
  } else if (PyErr_ExceptionMatches(PyExc_KeyError)) {
    PyErr_Clear();
  } else {
    return nullptr;
  }
  Ref args = Ref::steal(PyTuple_Pack(3, name, bases, namespace_));
  if (!args) return nullptr;
  return PyObject_Call(metaclass, args.get(), nullptr);
}

PyObject* ModuleGlobals() noexcept {
  if (g_module.module == nullptr || g_bindings.module_dict == nullptr) {
    PyErr_SetString(PyExc_ImportError, kInitFunctionName);
    return nullptr;
  }
  Ref module = Ref::borrow(g_module.module);
  Ref dict = Ref::borrow(g_bindings.module_dict);
  Ref names = Ref::steal(PyObject_Dir(module.get()));
  if (!names) return nullptr;
  // dir() of a module lists its dictionary's keys, so normally nothing is
  // copied; names served by a module __getattr__ or the like are. That code,
  // and a key's __eq__, may change the list (gc hands it to anyone), so the
  // length is read again at every step and each name is held while in use.
  for (Py_ssize_t i = PyList_GET_SIZE(names.get()) - 1; i >= 0; --i) {
    if (i >= PyList_GET_SIZE(names.get())) {
      i = PyList_GET_SIZE(names.get());
      continue;
    }
    Ref name = Ref::steal(compat::ListGetItemRef(names.get(), i));
    if (!name) {  // shrunk by another thread since the check
      PyErr_Clear();
      i = PyList_GET_SIZE(names.get());
      continue;
    }
    const int present = PyDict_Contains(dict.get(), name.get());
    if (present < 0) return nullptr;
    if (present) continue;
    Ref value = Ref::steal(GetAttrAny(module.get(), name.get()));
    if (!value) return nullptr;
    if (PyDict_SetItem(dict.get(), name.get(), value.get()) < 0) return nullptr;
  }
  return dict.release();
}

}  // namespace qx
