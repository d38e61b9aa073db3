// The call slot of qx_function_or_method: picks the entry point's shape from
// the method definition's flags, as the builtin functions do.
#include "function/function_call.h"

#include "function/function_layout.h"
#include "runtime/ref.h"

namespace qx {

namespace {

// The four low bits of ml_flags choose the entry point's shape; the rest
// (METH_CLASS, METH_STATIC, ...) is handled by binding, not by the call.
constexpr int kCallFlagsMask = METH_VARARGS | METH_KEYWORDS | METH_NOARGS | METH_O;

inline bool HasKeywords(PyObject* kwds) noexcept { return kwds != nullptr && PyDict_Size(kwds) != 0; }

// Every refused call: unwanted keywords, a wrong count, bad flags. Kept out
// of line so that an accepted call is a few tests and the entry call.
[[gnu::cold, gnu::noinline]] PyObject* RefuseCall(PyMethodDef* ml, PyObject* args, PyObject* kwds) noexcept {
  switch (ml->ml_flags & kCallFlagsMask) {
    case METH_VARARGS:
      break;  // only keywords refuse it
    case METH_NOARGS:
      if (HasKeywords(kwds)) break;
      PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", ml->ml_name,
                   PyTuple_GET_SIZE(args));
      return nullptr;
    case METH_O:
      if (HasKeywords(kwds)) break;
      PyErr_Format(PyExc_TypeError, "%.200s() takes exactly one argument (%zd given)", ml->ml_name,
                   PyTuple_GET_SIZE(args));
      return nullptr;
    default:
      PyErr_SetString(PyExc_SystemError,
                      "Bad call flags in __Qx_Function_Call. "
                      "METH_OLDARGS is no longer supported!");
      return nullptr;
  }
  PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", ml->ml_name);
  return nullptr;
}

// A call without keywords, the common case: each accepted shape is a test
// or two and the call of the entry point.
inline PyObject* DispatchPositional(PyObject* func, PyObject* self, PyObject* args) noexcept {
  // Read through our own record: the builtin accessors assert the builtin
  // type in debug interpreters.
  PyMethodDef* ml = reinterpret_cast<QxFunctionObject*>(func)->m_ml;
  PyCFunction meth = ml->ml_meth;
  switch (ml->ml_flags & kCallFlagsMask) {
    case METH_O:
      if (PyTuple_GET_SIZE(args) == 1) return meth(self, PyTuple_GET_ITEM(args, 0));
      break;
    case METH_NOARGS:
      if (PyTuple_GET_SIZE(args) == 0) return meth(self, nullptr);
      break;
    case METH_VARARGS | METH_KEYWORDS:
      return reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void (*)()>(meth))(self, args,
                                                                                           nullptr);
    case METH_VARARGS:
      return meth(self, args);
    default:
      break;
  }
  return RefuseCall(ml, args, nullptr);
}

// A keyword dictionary was passed: an empty one counts as none, except that
// a function taking keywords receives the dictionary itself.
[[gnu::noinline]] PyObject* DispatchWithDict(PyObject* func, PyObject* self, PyObject* args,
                                             PyObject* kwds) noexcept {
  PyMethodDef* ml = reinterpret_cast<QxFunctionObject*>(func)->m_ml;
  if ((ml->ml_flags & kCallFlagsMask) == (METH_VARARGS | METH_KEYWORDS)) {
    return reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void (*)()>(ml->ml_meth))(self, args,
                                                                                                kwds);
  }
  if (HasKeywords(kwds)) return RefuseCall(ml, args, kwds);
  return DispatchPositional(func, self, args);
}

inline PyObject* Dispatch(PyObject* func, PyObject* self, PyObject* args, PyObject* kwds) noexcept {
  if (kwds != nullptr) return DispatchWithDict(func, self, args, kwds);
  return DispatchPositional(func, self, args);
}

// A method of an extension type: the receiver arrives as the first
// positional argument rather than as the stored self.
[[gnu::noinline]] PyObject* CallWithSelfFromArgs(PyObject* func, PyObject* args, PyObject* kwds) noexcept {
  Ref rest = Ref::steal(PyTuple_GetSlice(args, 1, PyTuple_GET_SIZE(args)));
  if (!rest) return nullptr;
  PyObject* self = PyTuple_GetItem(args, 0);  // borrowed; IndexError when empty
  if (self == nullptr) return nullptr;
  return Dispatch(func, self, rest.get(), kwds);
}

}  // namespace

PyObject* QxFunctionCall(PyObject* func, PyObject* args, PyObject* kwds) noexcept {
  QxFunctionObject* f = reinterpret_cast<QxFunctionObject*>(func);
  if ((f->flags & (ExtensionTypeMethod | StaticMethod)) == ExtensionTypeMethod) {
    return CallWithSelfFromArgs(func, args, kwds);
  }
  return Dispatch(func, f->m_self, args, kwds);
}

}  // namespace qx
