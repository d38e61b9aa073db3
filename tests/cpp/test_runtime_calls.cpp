// Call routines: the fast path chosen by the callee's exact type, the
// recursion guard, the check of a null result, and the bound-method
// unpacking pattern with the ownership of its callee.
#include <Python.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/names.h"
#include "function/function_object.h"
#include "runtime/bindings.h"
#include "runtime/calls.h"
#include "runtime/internal.h"
#include "runtime/ref.h"
#include "tests/cpp/test_support.h"

using qx::CallPath;
using qx::g_bindings;
using qx::g_common;
using qx::Ref;
using qxtest::Eval;
using qxtest::Get;
using qxtest::RunPython;
using qxtest::Str;
using qxtest::TakeError;

namespace {

// What the last entry point of the builtins below saw.
struct Seen {
  int calls = 0;
  PyObject* self = nullptr;  // borrowed, for identity checks only
  PyObject* arg = nullptr;   // borrowed
  Py_ssize_t nargs = -1;
  bool kwnames_null = false;
  int remaining = 0;  // levels the recursion guard admits inside the call
};
Seen g_seen;

// Levels left before the recursion guard refuses a call (0 where it counts
// none: which paths it guards then shows only at its limit, in
// RuntimeRecursionGuard).
int Remaining() { return qxtest::RecursionLevelsLeft(); }

PyObject* TupleOf(PyObject* const* args, Py_ssize_t n) {
  PyObject* t = PyTuple_New(n);
  if (t == nullptr) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(t, i, Py_NewRef(args[i]));
  return t;
}

PyObject* EchoO(PyObject* self, PyObject* arg) {
  g_seen = {g_seen.calls + 1, self, arg, 1, false, Remaining()};
  return Py_NewRef(arg);
}
PyObject* NullO(PyObject* self, PyObject* arg) {
  g_seen = {g_seen.calls + 1, self, arg, 1, false, Remaining()};
  return nullptr;
}
PyObject* NoArgs(PyObject* self, PyObject* arg) {
  g_seen = {g_seen.calls + 1, self, arg, 0, false, Remaining()};
  return PyUnicode_FromString("no args");
}
PyObject* NullNoArgs(PyObject* self, PyObject* arg) {
  g_seen = {g_seen.calls + 1, self, arg, 0, false, Remaining()};
  return nullptr;
}
PyObject* VarArgs(PyObject* self, PyObject* args) {
  g_seen = {g_seen.calls + 1, self, args, PyTuple_GET_SIZE(args), false, Remaining()};
  return Py_NewRef(args);
}
// Returns its arguments as a tuple.
PyObject* Fast(PyObject* self, PyObject* const* args, Py_ssize_t n) {
  g_seen = {g_seen.calls + 1, self, n > 0 ? args[0] : nullptr, n, false, Remaining()};
  return TupleOf(args, n);
}
PyObject* FastKw(PyObject* self, PyObject* const* args, Py_ssize_t n, PyObject* kwnames) {
  g_seen = {g_seen.calls + 1, self, n > 0 ? args[0] : nullptr, n, kwnames == nullptr, Remaining()};
  return TupleOf(args, n);
}
PyObject* NullFast(PyObject* self, PyObject* const* args, Py_ssize_t n) {
  g_seen = {g_seen.calls + 1, self, n > 0 ? args[0] : nullptr, n, false, Remaining()};
  return nullptr;
}

template <typename F>
PyCFunction Entry(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

PyMethodDef g_echo_o{"echo_o", Entry(EchoO), METH_O, nullptr};
PyMethodDef g_static_echo_o{"static_echo_o", Entry(EchoO), METH_O | METH_STATIC, nullptr};
PyMethodDef g_null_o{"null_o", Entry(NullO), METH_O, nullptr};
PyMethodDef g_noargs{"noargs", Entry(NoArgs), METH_NOARGS, nullptr};
PyMethodDef g_null_noargs{"null_noargs", Entry(NullNoArgs), METH_NOARGS, nullptr};
PyMethodDef g_varargs{"varargs", Entry(VarArgs), METH_VARARGS, nullptr};
PyMethodDef g_fast{"fast", Entry(Fast), METH_FASTCALL, nullptr};
PyMethodDef g_fast_kw{"fast_kw", Entry(FastKw), METH_FASTCALL | METH_KEYWORDS, nullptr};
PyMethodDef g_fast_coexist{"fast_coexist", Entry(Fast), METH_FASTCALL | METH_COEXIST, nullptr};
PyMethodDef g_null_fast{"null_fast", Entry(NullFast), METH_FASTCALL, nullptr};

// A builtin bound to `self` (a fresh object when none is given).
Ref Builtin(PyMethodDef* def, PyObject* self = nullptr) {
  Ref owner = self != nullptr ? Ref::borrow(self) : Ref::steal(PyUnicode_FromString("bound self"));
  return Ref::steal(PyCFunction_NewEx(def, owner.get(), nullptr));
}

// A type whose call slot returns null without setting an error.
PyObject* CallReturnsNull(PyObject*, PyObject*, PyObject*) {
  ++g_seen.calls;
  return nullptr;
}
Ref NullCallInstance() {
  static PyType_Slot slots[] = {{Py_tp_call, reinterpret_cast<void*>(CallReturnsNull)}, {0, nullptr}};
  static PyType_Spec type_spec = {"qxtest.NullCall", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, slots};
  Ref type = Ref::steal(PyType_FromSpec(&type_spec));
  if (!type) return Ref();
  return Ref::steal(PyObject_CallNoArgs(type.get()));
}

const char* kFunctions =
    "calls = []\n"
    "def all_defaults(a=1, b=2):\n"
    "    calls.append('all_defaults')\n"
    "    return (a, b)\n"
    "def one_default(a, b=2): return (a, b)\n"
    "def identity(a): return a\n"
    "def pair(a, b): return (a, b)\n"
    "def five(a, b, c, d, e): return (a, b, c, d, e)\n"
    "def needs_one(a): return a\n"
    "def kwonly(a, *, k=7): return (a, k)\n"
    "def outer():\n"
    "    z = 30\n"
    "    def inner(a=4): return a + z\n"
    "    return inner\n"
    "closure = outer()\n"
    "def gen(a):\n"
    "    yield a\n"
    "    yield a + 1\n"
    "def raises(*args): raise ValueError('raised with %d' % len(args))\n"
    "def returns_nothing(): pass\n"
    "class C:\n"
    "    def m0(self): return self\n"
    "    def m1(self, x): return (self, x)\n"
    "    def m4(self, a, b, c, d): return (self, a, b, c, d)\n"
    "    def fail(self, *args): raise KeyError('method failed')\n"
    "c = C()\n";

}  // namespace

TEST(RuntimeFunctionFastCall, DefaultsKeywordOnlyDefaultsClosuresAndGenerators) {
  Ref ns = RunPython(kFunctions);
  Ref r = Ref::steal(qx::CallNoArg(Get(ns, "all_defaults")));
  ASSERT_TRUE(r) << TakeError();
  EXPECT_EQ(Str(r.get()), "(1, 2)");

  Ref five = Eval("5");
  r = Ref::steal(qx::CallOneArg(Get(ns, "one_default"), five.get()));
  EXPECT_EQ(Str(r.get()), "(5, 2)");
  r = Ref::steal(qx::CallOneArg(Get(ns, "kwonly"), five.get()));
  EXPECT_EQ(Str(r.get()), "(5, 7)");
  r = Ref::steal(qx::CallOneArg(Get(ns, "closure"), five.get()));
  EXPECT_EQ(Str(r.get()), "35");
  r = Ref::steal(qx::CallNoArg(Get(ns, "closure")));
  EXPECT_EQ(Str(r.get()), "34");
  r = Ref::steal(qx::CallNoArg(Get(ns, "returns_nothing")));
  EXPECT_EQ(r.get(), Py_None);

  r = Ref::steal(qx::CallOneArg(Get(ns, "gen"), five.get()));
  ASSERT_TRUE(r) << TakeError();
  EXPECT_TRUE(PyGen_Check(r.get()));
  Ref items = Ref::steal(PySequence_List(r.get()));
  EXPECT_EQ(Str(items.get()), "[5, 6]");

  PyObject* two[] = {five.get(), Py_None};
  r = Ref::steal(qx::FunctionFastCall(Get(ns, "pair"), two, 2));
  EXPECT_EQ(Str(r.get()), "(5, None)");
  r = Ref::steal(qx::FunctionFastCall(Get(ns, "one_default"), two, 1));
  EXPECT_EQ(Str(r.get()), "(5, 2)");
  r = Ref::steal(qx::FunctionFastCall(Get(ns, "all_defaults"), nullptr, 0));
  EXPECT_EQ(Str(r.get()), "(1, 2)");
  EXPECT_EQ(PyErr_Occurred(), nullptr) << TakeError();
}

TEST(RuntimeFunctionFastCall, ArgumentErrorsAndOwnership) {
  Ref ns = RunPython(kFunctions);
  const int depth = Remaining();
  EXPECT_EQ(qx::CallNoArg(Get(ns, "needs_one")), nullptr);
  std::string type;
  EXPECT_EQ(TakeError(&type), "needs_one() missing 1 required positional argument: 'a'");
  EXPECT_EQ(type, "TypeError");
  Ref five = Eval("5");
  EXPECT_EQ(qx::CallOneArg(Get(ns, "returns_nothing"), five.get()), nullptr);
  EXPECT_EQ(TakeError(&type), "returns_nothing() takes 0 positional arguments but 1 was given");
  EXPECT_EQ(qx::CallOneArg(Get(ns, "raises"), five.get()), nullptr);
  EXPECT_EQ(TakeError(&type), "raised with 1");
  EXPECT_EQ(type, "ValueError");
  if (qxtest::GuardCountsLevels()) {
    EXPECT_EQ(Remaining(), depth);
  }

  // The argument is borrowed; a result that is the argument is a new reference.
  Ref arg = Eval("object()");
  const Py_ssize_t before = Py_REFCNT(arg.get());
  Ref r = Ref::steal(qx::CallOneArg(Get(ns, "identity"), arg.get()));
  EXPECT_EQ(r.get(), arg.get());
  EXPECT_EQ(Py_REFCNT(arg.get()), before + 1);
  r.reset();
  EXPECT_EQ(Py_REFCNT(arg.get()), before);
}

TEST(RuntimeCallOneArg, BuiltinPathsByFlags) {
  Ref arg = Eval("object()");
  const Py_ssize_t before = Py_REFCNT(arg.get());
  const int depth = Remaining();

  // METH_O: the entry gets the argument itself and runs one level deeper.
  Ref self = Eval("'the self'");
  Ref echo = Builtin(&g_echo_o, self.get());
  g_seen = {};
  Ref r = Ref::steal(qx::CallOneArg(echo.get(), arg.get()));
  EXPECT_EQ(r.get(), arg.get());
  EXPECT_EQ(Py_REFCNT(arg.get()), before + 1);
  EXPECT_EQ(g_seen.calls, 1);
  EXPECT_EQ(g_seen.self, self.get());
  EXPECT_EQ(g_seen.arg, arg.get());
  if (qxtest::GuardCountsLevels()) {
    EXPECT_EQ(g_seen.remaining, depth - 1);
  }
  r.reset();
  EXPECT_EQ(Py_REFCNT(arg.get()), before);

  // METH_STATIC: no self is passed, whatever the builtin is bound to.
  Ref static_echo = Builtin(&g_static_echo_o, self.get());
  g_seen = {};
  r = Ref::steal(qx::CallOneArg(static_echo.get(), arg.get()));
  EXPECT_EQ(r.get(), arg.get());
  EXPECT_EQ(g_seen.self, nullptr);

  // METH_FASTCALL: a one-element array, no guard; with METH_KEYWORDS the
  // keyword names are null.
  Ref fast = Builtin(&g_fast, self.get());
  g_seen = {};
  r = Ref::steal(qx::CallOneArg(fast.get(), arg.get()));
  ASSERT_TRUE(r) << TakeError();
  EXPECT_EQ(PyTuple_GET_SIZE(r.get()), 1);
  EXPECT_EQ(g_seen.nargs, 1);
  EXPECT_EQ(g_seen.arg, arg.get());
  EXPECT_EQ(g_seen.self, self.get());
  if (qxtest::GuardCountsLevels()) {
    EXPECT_EQ(g_seen.remaining, depth);
  }
  Ref fast_kw = Builtin(&g_fast_kw);
  g_seen = {};
  r = Ref::steal(qx::CallOneArg(fast_kw.get(), arg.get()));
  ASSERT_TRUE(r) << TakeError();
  EXPECT_EQ(g_seen.nargs, 1);
  EXPECT_TRUE(g_seen.kwnames_null);

  // Neither: packed into a tuple for the generic call.
  Ref varargs = Builtin(&g_varargs);
  g_seen = {};
  r = Ref::steal(qx::CallOneArg(varargs.get(), arg.get()));
  ASSERT_TRUE(r) << TakeError();
  EXPECT_TRUE(PyTuple_CheckExact(r.get()));
  EXPECT_EQ(PyTuple_GET_SIZE(r.get()), 1);
  EXPECT_EQ(PyTuple_GET_ITEM(r.get(), 0), arg.get());
  EXPECT_EQ(g_seen.calls, 1);
  r.reset();
  EXPECT_EQ(Py_REFCNT(arg.get()), before);

  // Interpreter builtins of each kind.
  Ref len = Ref::steal(PyObject_GetAttrString(g_bindings.builtins_module, "len"));
  Ref text = Eval("'abcd'");
  r = Ref::steal(qx::CallOneArg(len.get(), text.get()));
  EXPECT_EQ(Str(r.get()), "4");
  Ref sorted = Ref::steal(PyObject_GetAttrString(g_bindings.builtins_module, "sorted"));
  Ref lst = Eval("[3, 1, 2]");
  r = Ref::steal(qx::CallOneArg(sorted.get(), lst.get()));
  EXPECT_EQ(Str(r.get()), "[1, 2, 3]");
  Ref int_type = Ref::borrow(reinterpret_cast<PyObject*>(&PyLong_Type));
  r = Ref::steal(qx::CallOneArg(int_type.get(), text.get()));
  EXPECT_EQ(r.get(), nullptr);
  std::string type;
  TakeError(&type);
  EXPECT_EQ(type, "ValueError");
  if (qxtest::GuardCountsLevels()) {
    EXPECT_EQ(Remaining(), depth);
  }
}

TEST(RuntimeCallOneArg, NullWithoutErrorIsCaughtOnlyOnGuardedPaths) {
  Ref arg = Eval("1");
  std::string type;

  // METH_O through the direct entry: the result check raises.
  Ref null_o = Builtin(&g_null_o);
  g_seen = {};
  EXPECT_EQ(qx::CallOneArg(null_o.get(), arg.get()), nullptr);
  EXPECT_EQ(g_seen.calls, 1);
  EXPECT_EQ(TakeError(&type), "NULL result without error in PyObject_Call");
  EXPECT_EQ(type, "SystemError");

  // METH_FASTCALL: the null comes back and nothing is added.
  Ref null_fast = Builtin(&g_null_fast);
  g_seen = {};
  EXPECT_EQ(qx::CallOneArg(null_fast.get(), arg.get()), nullptr);
  EXPECT_EQ(g_seen.calls, 1);
  EXPECT_EQ(PyErr_Occurred(), nullptr) << TakeError();
  PyObject* two[] = {arg.get(), arg.get()};
  EXPECT_EQ(qx::CallCFunctionFast(null_fast.get(), two, 2), nullptr);
  EXPECT_EQ(PyErr_Occurred(), nullptr) << TakeError();

  // METH_NOARGS through CallNoArg.
  Ref null_noargs = Builtin(&g_null_noargs);
  EXPECT_EQ(qx::CallNoArg(null_noargs.get()), nullptr);
  EXPECT_EQ(TakeError(&type), "NULL result without error in PyObject_Call");
  EXPECT_EQ(type, "SystemError");

  // A call slot that does the same, reached through CallObject.
  Ref null_call = NullCallInstance();
  ASSERT_TRUE(null_call) << TakeError();
  Ref args = Ref::steal(PyTuple_Pack(1, arg.get()));
  g_seen = {};
  EXPECT_EQ(qx::CallObject(null_call.get(), args.get()), nullptr);
  EXPECT_EQ(g_seen.calls, 1);
  EXPECT_EQ(TakeError(&type), "NULL result without error in PyObject_Call");
  EXPECT_EQ(type, "SystemError");
  EXPECT_EQ(qx::CallOneArg(null_call.get(), arg.get()), nullptr);
  EXPECT_EQ(TakeError(), "NULL result without error in PyObject_Call");
  EXPECT_EQ(qx::CallNoArg(null_call.get()), nullptr);
  EXPECT_EQ(TakeError(), "NULL result without error in PyObject_Call");
}

TEST(RuntimeCallNoArg, PathsByCalleeType) {
  const int depth = Remaining();
  Ref self = Eval("'noargs self'");
  Ref noargs = Builtin(&g_noargs, self.get());
  g_seen = {};
  Ref r = Ref::steal(qx::CallNoArg(noargs.get()));
  EXPECT_EQ(Str(r.get()), "no args");
  EXPECT_EQ(g_seen.self, self.get());
  EXPECT_EQ(g_seen.arg, nullptr);
  if (qxtest::GuardCountsLevels()) {
    EXPECT_EQ(g_seen.remaining, depth - 1);
  }

  // Other builtins and other callables: the generic call with no arguments.
  Ref fast = Builtin(&g_fast);
  g_seen = {};
  r = Ref::steal(qx::CallNoArg(fast.get()));
  ASSERT_TRUE(r) << TakeError();
  EXPECT_EQ(g_seen.nargs, 0);
  Ref varargs = Builtin(&g_varargs);
  r = Ref::steal(qx::CallNoArg(varargs.get()));
  ASSERT_TRUE(r) << TakeError();
  EXPECT_EQ(r.get(), g_common.empty_tuple);
  Ref echo = Builtin(&g_echo_o);
  EXPECT_EQ(qx::CallNoArg(echo.get()), nullptr);
  std::string type;
  EXPECT_NE(TakeError(&type).find("takes exactly one argument (0 given)"), std::string::npos);
  EXPECT_EQ(type, "TypeError");
  r = Ref::steal(qx::CallNoArg(reinterpret_cast<PyObject*>(&PyDict_Type)));
  EXPECT_EQ(Str(r.get()), "{}");

  // Something that cannot be called: the interpreter's error, depth intact.
  Ref number = Eval("42");
  EXPECT_EQ(qx::CallNoArg(number.get()), nullptr);
  EXPECT_EQ(TakeError(&type), "'int' object is not callable");
  EXPECT_EQ(type, "TypeError");
  Ref args = Ref::steal(PyTuple_New(0));
  EXPECT_EQ(qx::CallObject(number.get(), args.get()), nullptr);
  EXPECT_EQ(TakeError(&type), "'int' object is not callable");
  if (qxtest::GuardCountsLevels()) {
    EXPECT_EQ(Remaining(), depth);
  }
}

TEST(RuntimeCallNoArg, ModuleFunctionTypeEntersDirectlyButOneArgUsesItsCallSlot) {
  ASSERT_NE(g_bindings.function_type, nullptr);
  Ref qualname = Ref::steal(PyUnicode_FromString("probe"));
  Ref globals = Ref::steal(PyDict_New());
  // Marked as a method of an extension type, the call slot would take the
  // receiver from the arguments; the direct entry passes the object itself.
  static PyMethodDef noargs_def{"probe", Entry(NoArgs), METH_NOARGS, nullptr};
  Ref f = Ref::steal(qx::QxFunctionNew(&noargs_def, qx::ExtensionTypeMethod, qualname.get(), nullptr, nullptr,
                                       globals.get(), nullptr));
  ASSERT_TRUE(f) << TakeError();
  g_seen = {};
  Ref r = Ref::steal(qx::CallNoArg(f.get()));
  ASSERT_TRUE(r) << TakeError();
  EXPECT_EQ(g_seen.calls, 1);
  EXPECT_EQ(g_seen.self, f.get());

  // CallOneArg never takes the direct entry for the module's type.
  static PyMethodDef o_def{"probe_o", Entry(EchoO), METH_O, nullptr};
  Ref g = Ref::steal(qx::QxFunctionNew(&o_def, qx::ExtensionTypeMethod, qualname.get(), nullptr, nullptr,
                                       globals.get(), nullptr));
  ASSERT_TRUE(g) << TakeError();
  Ref arg = Eval("'receiver'");
  g_seen = {};
  Ref r2 = Ref::steal(qx::CallOneArg(g.get(), arg.get()));
  // The direct entry would pass the object itself as self; the call slot
  // takes the receiver from the arguments instead (and so lacks one).
  EXPECT_FALSE(g_seen.calls == 1 && g_seen.self == g.get());
  TakeError();
}

TEST(RuntimeRecursionGuard, ARefusedCallLeavesTheDepthUnchanged) {
  Ref ns = RunPython(kFunctions);
  Ref arg = Eval("1");
  Ref echo = Builtin(&g_echo_o);
  Ref noargs = Builtin(&g_noargs);
  Ref varargs = Builtin(&g_varargs);
  Ref fast = Builtin(&g_fast);
  Ref args = Ref::steal(PyTuple_Pack(1, arg.get()));
  PyObject* two[] = {arg.get(), arg.get()};
  const bool counts = qxtest::GuardCountsLevels();

  // Errors are taken out raw while at the limit: turning them into text
  // would itself need a level of headroom.
  std::vector<Ref> errors;
  auto refused = [&](PyObject* result, const char* what) {
    EXPECT_EQ(result, nullptr) << what;
    Py_XDECREF(result);
    if (counts) {
      EXPECT_EQ(Remaining(), 0) << what;
    }
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_RecursionError)) << what;
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    Py_XDECREF(t);
    Py_XDECREF(tb);
    errors.push_back(Ref::steal(v));
  };
  g_seen = {};
  {
    qxtest::RecursionLimit at_limit;
    if (!at_limit.placed()) {
      GTEST_SKIP() << "this interpreter's stack limits cannot be set, so the thread cannot be put at its "
                      "recursion guard's limit";
    }
    refused(qx::CallOneArg(echo.get(), arg.get()), "CallOneArg, METH_O");
    refused(qx::CallNoArg(noargs.get()), "CallNoArg, METH_NOARGS");
    refused(qx::CallCFunctionDirect(echo.get(), arg.get()), "CallCFunctionDirect");
    refused(qx::CallObject(varargs.get(), args.get()), "CallObject");
    refused(qx::CallOneArg(varargs.get(), arg.get()), "CallOneArg via tuple");
    refused(qx::CallNoArg(Get(ns, "all_defaults")), "CallNoArg, function");
    refused(qx::FunctionFastCall(Get(ns, "pair"), two, 2), "FunctionFastCall");
  }
  EXPECT_EQ(g_seen.calls, 0);  // no callee ran
  EXPECT_EQ(PyList_GET_SIZE(Get(ns, "calls")), 0);
  ASSERT_EQ(errors.size(), 7u);
  for (const Ref& e : errors) {
    // The guard's own refusal, with the reason the module gives it.
    const std::string message = Str(e.get());
    if (counts) {
      EXPECT_EQ(message, "maximum recursion depth exceeded while calling a Python object");
    } else {
      // "Stack overflow (used <N> kB) while calling a Python object".
      const std::string_view head = "Stack overflow (used ", tail = " kB) while calling a Python object";
      const std::string_view text = message;
      EXPECT_TRUE(text.size() > head.size() + tail.size() && text.starts_with(head) && text.ends_with(tail) &&
                  std::all_of(text.begin() + head.size(), text.end() - tail.size(),
                              [](char c) { return c >= '0' && c <= '9'; }))
          << message;
    }
  }

  // One level of headroom is enough, and it is given back afterwards.
  if (counts) {
    qxtest::RecursionLimit one_left(1);
    Ref r = Ref::steal(qx::CallOneArg(echo.get(), arg.get()));
    EXPECT_EQ(r.get(), arg.get());
    EXPECT_EQ(g_seen.remaining, 0);
    EXPECT_EQ(Remaining(), 1);
    r = Ref::steal(qx::CallNoArg(noargs.get()));
    EXPECT_TRUE(r);
    EXPECT_EQ(Remaining(), 1);
  }
  // Away from the limit the refused calls run again.
  g_seen = {};
  Ref r = Ref::steal(qx::CallOneArg(echo.get(), arg.get()));
  EXPECT_EQ(r.get(), arg.get());
  EXPECT_EQ(g_seen.calls, 1);
  r.reset();

  // The unguarded fast builtin paths run even at the limit.
  {
    qxtest::RecursionLimit at_limit;
    ASSERT_TRUE(at_limit.placed());
    g_seen = {};
    r = Ref::steal(qx::CallCFunctionFast(fast.get(), two, 2));
    EXPECT_TRUE(r);
    EXPECT_EQ(g_seen.calls, 1);
    if (counts) {
      EXPECT_EQ(g_seen.remaining, 0);
    }
    r = Ref::steal(qx::CallOneArg(fast.get(), arg.get()));
    EXPECT_TRUE(r);
    EXPECT_EQ(g_seen.calls, 2);
  }
  EXPECT_EQ(PyErr_Occurred(), nullptr) << TakeError();
}

TEST(RuntimeCallMethodArgs, EachPathAndTheArgumentsItPasses) {
  Ref ns = RunPython(kFunctions);
  PyObject* c = Get(ns, "c");
  Ref a = Eval("'A'");
  Ref b = Eval("'B'");
  Ref x = Eval("'X'");
  CallPath path{};

  // No arguments, nothing to unpack.
  Ref r = Ref::steal(qx::CallMethodArgs(Ref::borrow(Get(ns, "all_defaults")), nullptr, 0, &path));
  EXPECT_EQ(path, CallPath::NoArg);
  EXPECT_EQ(Str(r.get()), "(1, 2)");

  // A bound method without arguments: its function with the self alone.
  Ref m0 = Ref::steal(PyObject_GetAttrString(c, "m0"));
  ASSERT_EQ(Py_TYPE(m0.get()), &PyMethod_Type);
  r = Ref::steal(qx::CallMethodArgs(std::move(m0), nullptr, 0, &path));
  EXPECT_EQ(path, CallPath::OneArg);
  EXPECT_EQ(r.get(), c);

  // One argument, nothing to unpack.
  PyObject* one[] = {x.get()};
  r = Ref::steal(qx::CallMethodArgs(Ref::borrow(Get(ns, "identity")), one, 1, &path));
  EXPECT_EQ(path, CallPath::OneArg);
  EXPECT_EQ(r.get(), x.get());

  // A bound method with one argument: the self goes in front.
  Ref m1 = Ref::steal(PyObject_GetAttrString(c, "m1"));
  r = Ref::steal(qx::CallMethodArgs(std::move(m1), one, 1, &path));
  EXPECT_EQ(path, CallPath::FunctionFast);
  ASSERT_TRUE(r) << TakeError();
  EXPECT_EQ(PyTuple_GET_ITEM(r.get(), 0), c);
  EXPECT_EQ(PyTuple_GET_ITEM(r.get(), 1), x.get());

  // The widest call: four arguments behind an unpacked self.
  PyObject* four[] = {a.get(), b.get(), x.get(), Py_None};
  Ref m4 = Ref::steal(PyObject_GetAttrString(c, "m4"));
  r = Ref::steal(qx::CallMethodArgs(std::move(m4), four, 4, &path));
  EXPECT_EQ(path, CallPath::FunctionFast);
  ASSERT_TRUE(r) << TakeError();
  Ref want = Eval("(c, 'A', 'B', 'X', None)", ns.get());
  EXPECT_EQ(PyObject_RichCompareBool(r.get(), want.get(), Py_EQ), 1);

  PyObject* two[] = {a.get(), b.get()};
  r = Ref::steal(qx::CallMethodArgs(Ref::borrow(Get(ns, "pair")), two, 2, &path));
  EXPECT_EQ(path, CallPath::FunctionFast);
  EXPECT_EQ(Str(r.get()), "('A', 'B')");

  // METH_FASTCALL builtins, with only the flags the mask ignores.
  for (PyMethodDef* def : {&g_fast, &g_fast_kw, &g_fast_coexist}) {
    Ref f = Builtin(def);
    g_seen = {};
    r = Ref::steal(qx::CallMethodArgs(std::move(f), two, 2, &path));
    EXPECT_EQ(path, CallPath::CFunctionFast) << def->ml_name;
    EXPECT_EQ(Str(r.get()), "('A', 'B')") << def->ml_name;
    EXPECT_EQ(g_seen.nargs, 2) << def->ml_name;
    if (def == &g_fast_kw) {
      EXPECT_TRUE(g_seen.kwnames_null);
    }
  }
  Ref divmod = Ref::steal(PyObject_GetAttrString(g_bindings.builtins_module, "divmod"));
  Ref seventeen = Eval("17");
  Ref five = Eval("5");
  PyObject* dm[] = {seventeen.get(), five.get()};
  r = Ref::steal(qx::CallMethodArgs(std::move(divmod), dm, 2, &path));
  EXPECT_EQ(path, CallPath::CFunctionFast);
  EXPECT_EQ(Str(r.get()), "(3, 2)");

  // A bound method around a builtin: unpacked, the self is the first of the array.
  Ref fast = Builtin(&g_fast);
  Ref around_fast = Ref::steal(PyMethod_New(fast.get(), seventeen.get()));
  PyObject* just_five[] = {five.get()};
  r = Ref::steal(qx::CallMethodArgs(std::move(around_fast), just_five, 1, &path));
  EXPECT_EQ(path, CallPath::CFunctionFast);
  EXPECT_EQ(Str(r.get()), "(17, 5)");

  // Everything else: an argument tuple for the generic call.
  Ref varargs = Builtin(&g_varargs);
  r = Ref::steal(qx::CallMethodArgs(Ref::borrow(varargs.get()), two, 2, &path));
  EXPECT_EQ(path, CallPath::Object);
  EXPECT_EQ(Str(r.get()), "('A', 'B')");
  Ref range = Ref::borrow(reinterpret_cast<PyObject*>(&PyRange_Type));
  PyObject* bounds[] = {five.get(), seventeen.get()};
  r = Ref::steal(qx::CallMethodArgs(std::move(range), bounds, 2, &path));
  EXPECT_EQ(path, CallPath::Object);
  EXPECT_EQ(Str(r.get()), "range(5, 17)");
  Ref around_varargs = Ref::steal(PyMethod_New(varargs.get(), seventeen.get()));
  r = Ref::steal(qx::CallMethodArgs(std::move(around_varargs), just_five, 1, &path));
  EXPECT_EQ(path, CallPath::Object);
  EXPECT_EQ(Str(r.get()), "(17, 5)");
  EXPECT_EQ(PyErr_Occurred(), nullptr) << TakeError();
}

TEST(RuntimeCallMethodArgs, TheCalleeIsConsumedAndNothingElseLeaks) {
  Ref ns = RunPython(kFunctions);
  PyObject* c = Get(ns, "c");
  PyObject* m1_func = nullptr;
  {
    Ref cls = Ref::steal(PyObject_GetAttrString(c, "__class__"));
    m1_func = PyDict_GetItemString(reinterpret_cast<PyTypeObject*>(cls.get())->tp_dict, "m1");
  }
  Ref x = Eval("object()");
  PyObject* one[] = {x.get()};
  PyObject* two[] = {x.get(), x.get()};
  const Py_ssize_t self_before = Py_REFCNT(c);
  const Py_ssize_t func_before = Py_REFCNT(m1_func);
  const Py_ssize_t x_before = Py_REFCNT(x.get());
  CallPath path{};

  struct Case {
    const char* method;
    PyObject* const* args;
    int n;
    CallPath want;
    bool fails;
  };
  const Case cases[] = {
      {"m0", nullptr, 0, CallPath::OneArg, false},
      {"m1", one, 1, CallPath::FunctionFast, false},
      {"fail", nullptr, 0, CallPath::OneArg, true},
      {"fail", two, 2, CallPath::FunctionFast, true},
  };
  for (const Case& k : cases) {
    Ref method = Ref::steal(PyObject_GetAttrString(c, k.method));
    Ref watch = Ref::borrow(method.get());
    ASSERT_EQ(Py_REFCNT(method.get()), 2);
    Ref r = Ref::steal(qx::CallMethodArgs(std::move(method), k.args, k.n, &path));
    EXPECT_EQ(Py_REFCNT(watch.get()), 1) << k.method;  // the call's reference is gone
    EXPECT_EQ(path, k.want) << k.method;
    if (k.fails) {
      EXPECT_FALSE(r) << k.method;
      std::string type;
      EXPECT_EQ(TakeError(&type), "'method failed'");
      EXPECT_EQ(type, "KeyError");
    } else {
      EXPECT_TRUE(r) << TakeError();
    }
  }
  EXPECT_EQ(Py_REFCNT(c), self_before);
  EXPECT_EQ(Py_REFCNT(m1_func), func_before);
  EXPECT_EQ(Py_REFCNT(x.get()), x_before);

  // Builtin callees on the array and tuple paths, and a plain callee.
  Ref varargs = Builtin(&g_varargs);
  Ref fast = Builtin(&g_fast);
  Ref fn = Ref::borrow(Get(ns, "raises"));
  for (PyObject* callee : {varargs.get(), fast.get(), fn.get()}) {
    const Py_ssize_t before = Py_REFCNT(callee);
    Ref r = Ref::steal(qx::CallMethodArgs(Ref::borrow(callee), two, 2, &path));
    if (!r) TakeError();
    EXPECT_EQ(Py_REFCNT(callee), before) << Str(callee);
  }
  // Bound methods around builtins: the method is consumed, its self and
  // function keep their counts.
  for (PyObject* func : {varargs.get(), fast.get()}) {
    const Py_ssize_t func_count = Py_REFCNT(func);
    const Py_ssize_t self_count = Py_REFCNT(c);
    Ref method = Ref::steal(PyMethod_New(func, c));
    Ref watch = Ref::borrow(method.get());
    Ref r = Ref::steal(qx::CallMethodArgs(std::move(method), one, 1, &path));
    EXPECT_TRUE(r) << TakeError();
    r.reset();
    EXPECT_EQ(Py_REFCNT(watch.get()), 1);
    watch.reset();
    EXPECT_EQ(Py_REFCNT(func), func_count);
    EXPECT_EQ(Py_REFCNT(c), self_count);
  }
  EXPECT_EQ(Py_REFCNT(x.get()), x_before);
}
