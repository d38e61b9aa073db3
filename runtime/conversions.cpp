#include "runtime/conversions.h"

#include <climits>

#include "runtime/compat.h"
#include "runtime/internal.h"
#include "runtime/ref.h"

namespace qx {

Py_ssize_t ToSsizeIndex(PyObject* x) noexcept {
  if (PyLong_CheckExact(x)) {
    Py_ssize_t v;
    return compat::SmallIntValue(x, &v) ? v : PyLong_AsSsize_t(x);
  }
  Ref idx = Ref::steal(PyNumber_Index(x));
  if (!idx) return -1;
  return PyLong_AsSsize_t(idx.get());
}

int32_t ToInt32(PyObject* x) noexcept {
  if (PyLong_Check(x)) {
    Py_ssize_t small;
    const long v = compat::SmallIntValue(x, &small) ? static_cast<long>(small) : PyLong_AsLong(x);
    if (v == -1 && PyErr_Occurred()) return -1;
    if (v < INT32_MIN || v > INT32_MAX) {
      PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
      return -1;
    }
    return static_cast<int32_t>(v);
  }
  Ref tmp = Ref::steal(ToIntObject(x));
  if (!tmp) return -1;
  return ToInt32(tmp.get());
}

PyObject* ToIntObject(PyObject* x) noexcept {
  if (PyLong_Check(x)) return Py_NewRef(x);
  PyNumberMethods* nb = Py_TYPE(x)->tp_as_number;
  if (nb != nullptr && nb->nb_int != nullptr) {
    PyObject* res = nb->nb_int(x);
    if (res != nullptr) {
      if (PyLong_CheckExact(res)) return res;
      return CheckIntResult(Ref::steal(res), "int");
    }
  }
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "an integer is required");
  return nullptr;
}

PyObject* CheckIntResult(Ref owned, const char* type_name) noexcept {
  PyObject* res = owned.get();
  if (PyLong_Check(res)) {
    if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                         "__int__ returned non-int (type %.200s).  The ability to return an "
                         "instance of a strict subclass of int is deprecated, and may be "
                         "removed in a future version of Python.",
                         Py_TYPE(res)->tp_name) != 0) {
      return nullptr;
    }
    return owned.release();
  }
  PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", type_name, type_name,
               Py_TYPE(res)->tp_name);
  return nullptr;
}

int TruthValue(PyObject* x) noexcept {
  if (x == Py_True) return 1;
  if (x == Py_False || x == Py_None) return 0;
  return PyObject_IsTrue(x);
}

}  // namespace qx
