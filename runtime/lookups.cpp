#include "runtime/lookups.h"

#include <cstring>

#include "core/name_table.h"
#include "core/owned_state.h"
#include "runtime/bindings.h"
#include "runtime/compat.h"
#include "runtime/conversions.h"
#include "runtime/exceptions.h"
#include "runtime/internal.h"
#include "runtime/ref.h"

namespace qx {

RuntimeBindings g_bindings;

namespace {
OwnedBlock<RuntimeBindings> g_bindings_block(&g_bindings);
}  // namespace

PyObject* LookupModuleGlobal(PyObject* name) noexcept {
  Ref globals = Ref::steal(ReadShared(&g_bindings.module_dict));
  if (!globals) return LookupBuiltin(name);
  // The probe takes the hash cached in the name's str object. A strong
  // reference: another thread may replace the global at once.
  PyObject* r = nullptr;
  const int found = compat::DictGetItemRef(globals.get(), name, &r);
  if (found != 0) return r;  // the value, or null with the probe's error
  return LookupBuiltin(name);
}

PyObject* LookupBuiltin(PyObject* name) noexcept {
  Ref builtins = Ref::steal(ReadShared(&g_bindings.builtins_module));
  PyObject* r = builtins ? GetAttrByStr(builtins.get(), name) : nullptr;
  if (r == nullptr) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return r;
}

PyObject* GetAttrByStr(PyObject* obj, PyObject* name) noexcept {
  getattrofunc getattro = Py_TYPE(obj)->tp_getattro;
  if (getattro != nullptr) return getattro(obj, name);
  return PyObject_GetAttr(obj, name);
}

PyObject* GetAttrAny(PyObject* obj, PyObject* name) noexcept {
  if (PyUnicode_Check(name)) return GetAttrByStr(obj, name);
  return PyObject_GetAttr(obj, name);
}

PyObject* GetAttrOrDefault(PyObject* obj, PyObject* name, PyObject* dflt) noexcept {
  PyObject* r = GetAttrAny(obj, name);
  if (r != nullptr) return r;
  PyThreadState* tstate = PyThreadState_Get();
  if (!PendingErrorMatches(tstate, PyExc_AttributeError)) return nullptr;
  SaveErrorState(tstate);  // released at once
  return Py_NewRef(dflt);
}

int SetAttrByStr(PyObject* obj, PyObject* name, PyObject* value) noexcept {
  setattrofunc setattro = Py_TYPE(obj)->tp_setattro;
  if (setattro != nullptr) return setattro(obj, name, value);
  return PyObject_SetAttr(obj, name, value);
}

PyObject* ImportModule(PyObject* name, PyObject* from_list) noexcept {
  Ref own_list;
  if (from_list == nullptr) {
    own_list = Ref::steal(PyList_New(0));
    if (!own_list) return nullptr;
    from_list = own_list.get();
  }
  // The module's own dictionary: it is kept for the life of the process,
  // while the module object is not there before (or after a failed)
  // initialisation, and functions of a failed import may still be called.
  Ref globals = Ref::steal(ReadShared(&g_bindings.module_dict));
  if (!globals) {
    PyErr_SetString(PyExc_ImportError, kInitFunctionName);
    return nullptr;
  }
  Ref locals = Ref::steal(PyDict_New());
  if (!locals) return nullptr;
  if (std::strchr(kModuleDottedName, '.') != nullptr) {
    // Relative to this module's package first, as an implicit relative import.
    PyObject* m = PyImport_ImportModuleLevelObject(name, globals.get(), locals.get(), from_list, 1);
    if (m != nullptr) return m;
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) return nullptr;
    PyErr_Clear();
  }
  return PyImport_ImportModuleLevelObject(name, globals.get(), locals.get(), from_list, 0);
}

PyObject* ImportNameFrom(PyObject* module, PyObject* name) noexcept {
  PyObject* r = GetAttrByStr(module, name);
  if (r == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
  }
  return r;
}

PyObject* SubscriptObject(PyObject* obj, PyObject* key) noexcept {
  PyMappingMethods* mp = Py_TYPE(obj)->tp_as_mapping;
  if (mp != nullptr && mp->mp_subscript != nullptr) return mp->mp_subscript(obj, key);
  return SubscriptByIndex(obj, key);
}

PyObject* SubscriptByIndex(PyObject* obj, PyObject* key) noexcept {
  PySequenceMethods* sq = Py_TYPE(obj)->tp_as_sequence;
  if (sq == nullptr || sq->sq_item == nullptr) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object is not subscriptable", Py_TYPE(obj)->tp_name);
    return nullptr;
  }
  const Py_ssize_t i = ToSsizeIndex(key);
  if (i == -1) {
    PyObject* err = PyErr_Occurred();
    if (err != nullptr) {
      if (PyErr_GivenExceptionMatches(err, PyExc_OverflowError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_IndexError, "cannot fit '%.200s' into an index-sized integer",
                     Py_TYPE(key)->tp_name);
      }
      return nullptr;
    }
  }
  return ItemAtSsize(obj, i);
}

PyObject* ItemAtSsize(PyObject* obj, Py_ssize_t i) noexcept {
  if (PyList_CheckExact(obj)) {
    const Py_ssize_t len = PyList_GET_SIZE(obj);
    const Py_ssize_t n = i >= 0 ? i : i + len;
    if (n >= 0 && n < len) {
      // Checked again under the list's lock: another thread may shrink it.
      return compat::ListGetItemRef(obj, n);
    }
  } else if (PyTuple_CheckExact(obj)) {
    const Py_ssize_t len = PyTuple_GET_SIZE(obj);
    const Py_ssize_t n = i >= 0 ? i : i + len;
    if (n >= 0 && n < len) {
      return Py_NewRef(PyTuple_GET_ITEM(obj, n));
    }
  } else {
    PySequenceMethods* sq = Py_TYPE(obj)->tp_as_sequence;
    if (sq != nullptr && sq->sq_item != nullptr) {
      if (i < 0 && sq->sq_length != nullptr) {
        const Py_ssize_t l = sq->sq_length(obj);
        if (l >= 0) {
          i += l;
        } else if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
          PyErr_Clear();
        } else {
          return nullptr;
        }
      }
      return sq->sq_item(obj, i);
    }
  }
  // Out-of-range list and tuple indices reach the interpreter's own IndexError.
  return ItemForNewKey(obj, Ref::steal(PyLong_FromSsize_t(i)));
}

PyObject* ItemForNewKey(PyObject* obj, Ref key) noexcept {
  if (!key) return nullptr;
  return PyObject_GetItem(obj, key.get());
}

PyObject* FirstTupleItem(PyObject* tuple) noexcept {
  if (PyTuple_GET_SIZE(tuple) > 0) {
    return Py_NewRef(PyTuple_GET_ITEM(tuple, 0));
  }
  return ItemForNewKey(tuple, Ref::steal(PyLong_FromSsize_t(0)));
}

}  // namespace qx
