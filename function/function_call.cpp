// The call slot of qx_function_or_method: picks the entry point's shape from
// the method definition's flags, as the builtin functions do.
#include "function/function_object.h"

#include "runtime/ref.h"

namespace qx {

namespace {

// The four low bits of ml_flags choose the entry point's shape; the rest
// (METH_CLASS, METH_STATIC, ...) is handled by binding, not by the call.
constexpr int kCallFlagsMask = METH_VARARGS | METH_KEYWORDS | METH_NOARGS | METH_O;

inline bool HasKeywords(PyObject* kwds) noexcept {
  return kwds != nullptr && PyDict_Size(kwds) != 0;
}

}  // namespace

PyObject* QxFunctionDispatch(PyObject* func, PyObject* self, PyObject* args,
                             PyObject* kwds) noexcept {
  // Read through our own record: the builtin accessors assert the builtin
  // type in debug interpreters.
  PyMethodDef* ml = reinterpret_cast<QxFunctionObject*>(func)->m_ml;
  PyCFunction meth = ml->ml_meth;
  Py_ssize_t n;
  switch (ml->ml_flags & kCallFlagsMask) {
    case METH_VARARGS:
      if (HasKeywords(kwds)) break;
      return meth(self, args);
    case METH_VARARGS | METH_KEYWORDS:
      return reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void (*)()>(meth))(
          self, args, kwds);
    case METH_NOARGS:
      if (HasKeywords(kwds)) break;
      n = PyTuple_GET_SIZE(args);
      if (n == 0) return meth(self, nullptr);
      PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", ml->ml_name, n);
      return nullptr;
    case METH_O:
      if (HasKeywords(kwds)) break;
      n = PyTuple_GET_SIZE(args);
      if (n == 1) return meth(self, PyTuple_GET_ITEM(args, 0));
      PyErr_Format(PyExc_TypeError, "%.200s() takes exactly one argument (%zd given)",
                   ml->ml_name, n);
      return nullptr;
    default:
      PyErr_SetString(PyExc_SystemError,
                      "Bad call flags in __Qx_Function_Call. "
                      "METH_OLDARGS is no longer supported!");
      return nullptr;
  }
  // Only the keyword refusals reach here.
  PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", ml->ml_name);
  return nullptr;
}

PyObject* QxFunctionCall(PyObject* func, PyObject* args, PyObject* kwds) noexcept {
  QxFunctionObject* f = reinterpret_cast<QxFunctionObject*>(func);
  if ((f->flags & (ExtensionTypeMethod | StaticMethod)) == ExtensionTypeMethod) {
    // A method of an extension type: the receiver arrives as the first
    // positional argument rather than as the stored self.
    Ref rest = Ref::steal(PyTuple_GetSlice(args, 1, PyTuple_GET_SIZE(args)));
    if (!rest) return nullptr;
    PyObject* self = PyTuple_GetItem(args, 0);  // borrowed; IndexError when empty
    if (self == nullptr) return nullptr;
    return QxFunctionDispatch(func, self, rest.get(), kwds);
  }
  return QxFunctionDispatch(func, f->m_self, args, kwds);
}

}  // namespace qx
