#include "runtime/calls.h"

#include <cassert>

#include "core/names.h"
#include "runtime/bindings.h"
#include "runtime/compat.h"
#include "runtime/exceptions.h"
#include "runtime/internal.h"
#include "runtime/ref.h"

namespace qx {

namespace {

constexpr const char* kRecursionWhere = " while calling a Python object";

// Entering may refuse the call; the interpreter then has set RecursionError
// and restored the depth itself.
inline bool EnterGuard() noexcept { return Py_EnterRecursiveCall(kRecursionWhere) == 0; }
inline void LeaveGuard() noexcept { Py_LeaveRecursiveCall(); }

inline PyObject* CheckResult(PyObject* result) noexcept {
  if (result == nullptr && !PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
  }
  return result;
}

inline PyMethodDef* MethodDef(PyObject* func) noexcept {
  return reinterpret_cast<PyCFunctionObject*>(func)->m_ml;
}

inline PyObject* CFunctionSelf(PyObject* func, PyMethodDef* ml) noexcept {
  return (ml->ml_flags & METH_STATIC) ? nullptr : reinterpret_cast<PyCFunctionObject*>(func)->m_self;
}

inline bool IsFunctionTypeOrSubtype(PyTypeObject* t) noexcept {
  return g_bindings.function_type != nullptr && TypeIsSubtype(t, g_bindings.function_type);
}

}  // namespace

PyObject* CallObject(PyObject* callable, PyObject* args) noexcept {
  ternaryfunc call = Py_TYPE(callable)->tp_call;
  if (call == nullptr) return PyObject_Call(callable, args, nullptr);
  if (!EnterGuard()) return nullptr;
  PyObject* result = call(callable, args, nullptr);
  LeaveGuard();
  return CheckResult(result);
}

PyObject* CallCFunctionDirect(PyObject* func, PyObject* arg) noexcept {
  PyMethodDef* ml = MethodDef(func);
  PyCFunction entry = ml->ml_meth;
  PyObject* self = CFunctionSelf(func, ml);
  if (!EnterGuard()) return nullptr;
  PyObject* result = entry(self, arg);
  LeaveGuard();
  return CheckResult(result);
}

PyObject* CallCFunctionFast(PyObject* func, PyObject* const* args, Py_ssize_t n) noexcept {
  PyMethodDef* ml = MethodDef(func);
  PyObject* self = CFunctionSelf(func, ml);
  if (ml->ml_flags & METH_KEYWORDS) {
    auto entry =
        reinterpret_cast<compat::CFunctionFastWithKeywords>(reinterpret_cast<void (*)(void)>(ml->ml_meth));
    return entry(self, args, n, nullptr);
  }
  auto entry = reinterpret_cast<compat::CFunctionFast>(reinterpret_cast<void (*)(void)>(ml->ml_meth));
  return entry(self, args, n);
}

namespace {

PyObject* CallOneArgViaTuple(PyObject* callable, PyObject* arg) noexcept {
  Ref args = Ref::steal(PyTuple_New(1));
  if (!args) return nullptr;
  PyTuple_SET_ITEM(args.get(), 0, Py_NewRef(arg));
  return CallObject(callable, args.get());
}

}  // namespace

PyObject* CallOneArg(PyObject* callable, PyObject* arg) noexcept {
  PyTypeObject* t = Py_TYPE(callable);
  if (t == &PyFunction_Type) return FunctionFastCall(callable, &arg, 1);
  if (t == &PyCFunction_Type) {
    const int flags = MethodDef(callable)->ml_flags;
    if (flags & METH_O) return CallCFunctionDirect(callable, arg);
    if ((flags & METH_FASTCALL) && !(flags & METH_METHOD)) return CallCFunctionFast(callable, &arg, 1);
  }
  return CallOneArgViaTuple(callable, arg);
}

PyObject* CallNoArg(PyObject* callable) noexcept {
  PyTypeObject* t = Py_TYPE(callable);
  if (t == &PyFunction_Type) return FunctionFastCall(callable, nullptr, 0);
  if (t == &PyCFunction_Type || IsFunctionTypeOrSubtype(t)) {
    // A function object of the module's type is entered directly, with
    // itself as self, without its call slot's dispatch.
    if (MethodDef(callable)->ml_flags & METH_NOARGS) return CallCFunctionDirect(callable, nullptr);
  }
  return CallObject(callable, g_common.empty_tuple);
}

PyObject* FunctionFastCall(PyObject* func, PyObject* const* args, int32_t n) noexcept {
  if (!EnterGuard()) return nullptr;
  // The function's own vectorcall entry (the interpreter's, unless replaced).
  PyObject* result = PyVectorcall_Function(func)(func, args, static_cast<size_t>(n), nullptr);
  LeaveGuard();
  return result;
}

PyObject* CallMethodArgs(Ref callee, PyObject* const* args, int nargs, CallPath* path) noexcept {
  assert(callee && nargs >= 0 && nargs <= kMaxMethodArgs);
  Ref self;
  if (Py_TYPE(callee.get()) == &PyMethod_Type && PyMethod_GET_SELF(callee.get()) != nullptr) {
    self = Ref::borrow(PyMethod_GET_SELF(callee.get()));
    callee = Ref::borrow(PyMethod_GET_FUNCTION(callee.get()));
  }
  if (nargs == 0) {
    if (self) {
      *path = CallPath::OneArg;
      return CallOneArg(callee.get(), self.get());
    }
    *path = CallPath::NoArg;
    return CallNoArg(callee.get());
  }
  if (nargs == 1 && !self) {
    *path = CallPath::OneArg;
    return CallOneArg(callee.get(), args[0]);
  }
  // One spare leading slot takes the self when the method was unpacked.
  PyObject* stack[kMaxMethodArgs + 1];
  for (int i = 0; i < nargs; ++i) stack[i + 1] = args[i];
  PyObject* const* first = stack + 1;
  Py_ssize_t count = nargs;
  if (self) {
    stack[0] = self.get();
    first = stack;
    ++count;
  }
  PyTypeObject* t = Py_TYPE(callee.get());
  if (t == &PyFunction_Type) {
    *path = CallPath::FunctionFast;
    return FunctionFastCall(callee.get(), first, static_cast<int32_t>(count));
  }
  if (t == &PyCFunction_Type &&
      (MethodDef(callee.get())->ml_flags & ~(METH_CLASS | METH_STATIC | METH_COEXIST | METH_KEYWORDS)) ==
          METH_FASTCALL) {
    *path = CallPath::CFunctionFast;
    return CallCFunctionFast(callee.get(), first, count);
  }
  Ref tuple = Ref::steal(PyTuple_New(count));
  if (!tuple) {
    *path = CallPath::TupleAlloc;
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < count; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(first[i]));
  *path = CallPath::Object;
  return CallObject(callee.get(), tuple.get());
}

}  // namespace qx
