// The function type: call dispatch for every entry-point shape, lazily made
// and cleared fields, binding, garbage collection and the shared registry.
#include <Python.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/names.h"
#include "function/function_call.h"
#include "function/function_object.h"
#include "function/internal.h"
#include "function/registry.h"
#include "runtime/bindings.h"
#include "runtime/ref.h"
#include "tests/cpp/test_support.h"

using qx::g_bindings;
using qx::g_common;
using qx::g_names;
using qx::QxFunctionObject;
using qx::Ref;
using qxtest::Eval;
using qxtest::RunPython;
using qxtest::TakeError;

namespace {

// Every entry point answers (self, argument) so a test sees what arrived.
PyObject* Echo(PyObject* self, PyObject* arg) {
  return PyTuple_Pack(2, self, arg != nullptr ? arg : Py_None);
}
PyObject* EchoKw(PyObject* self, PyObject* args, PyObject* kw) {
  return PyTuple_Pack(3, self, args, kw != nullptr ? kw : Py_None);
}

const std::string kLongName(300, 'n');
PyMethodDef kVarargs = {"va", Echo, METH_VARARGS, "va doc"};
PyMethodDef kVarKw = {"vk", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(EchoKw)),
                      METH_VARARGS | METH_KEYWORDS, nullptr};
PyMethodDef kNoArgs = {"na", Echo, METH_NOARGS, nullptr};
PyMethodDef kOne = {"one", Echo, METH_O, nullptr};
PyMethodDef kOneStatic = {"ones", Echo, METH_O | METH_STATIC, nullptr};  // high bits ignored
PyMethodDef kBadPair = {"bad", Echo, METH_O | METH_NOARGS, nullptr};
PyMethodDef kNoFlags = {"none", Echo, 0, nullptr};
PyMethodDef kLong = {kLongName.c_str(), Echo, METH_O, nullptr};

Ref NewFunction(PyMethodDef* ml, int32_t flags = 0) {
  Ref qualname = Ref::steal(PyUnicode_FromFormat("T.%s", ml->ml_name));
  Ref globals = Ref::steal(PyDict_New());
  Ref f = Ref::steal(
      qx::QxFunctionNew(ml, flags, qualname.get(), nullptr, g_names.EnumBase, globals.get(), nullptr));
  EXPECT_TRUE(f);
  return f;
}

QxFunctionObject* Rec(const Ref& f) { return reinterpret_cast<QxFunctionObject*>(f.get()); }

// Calls f through its type's call slot; returns repr of the result, or
// "Type: message" of the error.
std::string Call(PyObject* f, const char* args_expr, const char* kw_expr = nullptr) {
  Ref args = Eval(args_expr);
  Ref kw = kw_expr != nullptr ? Eval(kw_expr) : Ref();
  Ref r = Ref::steal(PyObject_Call(f, args.get(), kw.get()));
  if (!r) {
    std::string type;
    std::string msg = TakeError(&type);
    return type + ": " + msg;
  }
  Ref text = Ref::steal(PyObject_Repr(r.get()));
  return PyUnicode_AsUTF8(text.get());
}

std::string Repr(PyObject* o) {
  Ref text = Ref::steal(PyObject_Repr(o));
  return PyUnicode_AsUTF8(text.get());
}

}  // namespace

TEST(FunctionType, LayoutFlagsAndRegistration) {
  PyTypeObject* t = g_bindings.function_type;
  ASSERT_NE(t, nullptr);
  // This process had no registry before the import, so the module's own
  // type was readied and published.
  EXPECT_EQ(t, &qx::QxFunctionType);
  EXPECT_STREQ(t->tp_name, "qx_function_or_method");
  // 160, 40 and 48 with the 16-byte header of a build with the GIL.
  const Py_ssize_t header = sizeof(PyObject);
  EXPECT_EQ(t->tp_basicsize, header + 144);
  EXPECT_EQ(t->tp_itemsize, 0);
  EXPECT_EQ(t->tp_weaklistoffset, header + 24);
  EXPECT_EQ(t->tp_dictoffset, header + 32);
  EXPECT_EQ(t->tp_flags & 0x44000UL, 0x44000UL);
  EXPECT_EQ(t->tp_flags & Py_TPFLAGS_BASETYPE, 0UL);
  EXPECT_EQ(t->tp_new, nullptr);
  Ref published = Eval("__import__('sys').modules['_qx_shared_1_0'].qx_function_or_method");
  EXPECT_EQ(published.get(), reinterpret_cast<PyObject*>(t));
  Ref f = NewFunction(&kOne);
  EXPECT_EQ(Py_TYPE(f.get()), t);
  EXPECT_EQ(Rec(f)->m_self, f.get());
  EXPECT_TRUE(PyObject_GC_IsTracked(f.get()));
}

TEST(FunctionCall, DispatchByEntryShape) {
  Ref one = NewFunction(&kOne), na = NewFunction(&kNoArgs), va = NewFunction(&kVarargs);
  std::string self_one = Repr(one.get()), self_na = Repr(na.get()), self_va = Repr(va.get());
  EXPECT_EQ(Call(one.get(), "(5,)"), "(" + self_one + ", 5)");
  EXPECT_EQ(Call(one.get(), "(5,)", "{}"), "(" + self_one + ", 5)");
  EXPECT_EQ(Call(one.get(), "(1, 2)"), "TypeError: one() takes exactly one argument (2 given)");
  EXPECT_EQ(Call(one.get(), "()"), "TypeError: one() takes exactly one argument (0 given)");
  EXPECT_EQ(Call(one.get(), "(1,)", "{'k': 2}"), "TypeError: one() takes no keyword arguments");
  EXPECT_EQ(Call(na.get(), "()"), "(" + self_na + ", None)");
  EXPECT_EQ(Call(na.get(), "(1,)"), "TypeError: na() takes no arguments (1 given)");
  EXPECT_EQ(Call(na.get(), "()", "{'k': 2}"), "TypeError: na() takes no keyword arguments");
  EXPECT_EQ(Call(va.get(), "(1, 2)", "{}"), "(" + self_va + ", (1, 2))");
  EXPECT_EQ(Call(va.get(), "(1,)", "{'k': 2}"), "TypeError: va() takes no keyword arguments");
  Ref ones = NewFunction(&kOneStatic);
  EXPECT_EQ(Call(ones.get(), "(7,)"), "(" + Repr(ones.get()) + ", 7)");
  const std::string bad =
      "SystemError: Bad call flags in __Qx_Function_Call. METH_OLDARGS is no longer supported!";
  Ref pair = NewFunction(&kBadPair), none = NewFunction(&kNoFlags);
  EXPECT_EQ(Call(pair.get(), "(1,)"), bad);
  EXPECT_EQ(Call(none.get(), "()"), bad);
  Ref longf = NewFunction(&kLong);
  EXPECT_EQ(Call(longf.get(), "()"),
            "TypeError: " + std::string(200, 'n') + "() takes exactly one argument (0 given)");
}

TEST(FunctionCall, KeywordsReachVarargsKeywordsUnchanged) {
  Ref vk = NewFunction(&kVarKw);
  Ref args = Eval("(1,)");
  Ref kw = Eval("{'a': 2}");
  Ref r = Ref::steal(qx::QxFunctionCall(vk.get(), args.get(), kw.get()));
  ASSERT_TRUE(r);
  EXPECT_EQ(PyTuple_GET_ITEM(r.get(), 0), vk.get());  // the function is its own self
  EXPECT_EQ(PyTuple_GET_ITEM(r.get(), 1), args.get());
  EXPECT_EQ(PyTuple_GET_ITEM(r.get(), 2), kw.get());  // the dict itself, not a copy
  r = Ref::steal(qx::QxFunctionCall(vk.get(), args.get(), nullptr));
  ASSERT_TRUE(r);
  EXPECT_EQ(PyTuple_GET_ITEM(r.get(), 2), Py_None);
}

TEST(FunctionCall, ExtensionTypeMethodTakesSelfFromArguments) {
  Ref ext = NewFunction(&kVarargs, qx::ExtensionTypeMethod);
  EXPECT_EQ(Call(ext.get(), "('a', 'b')"), "('a', ('b',))");
  EXPECT_EQ(Call(ext.get(), "()"), "IndexError: tuple index out of range");
  // StaticMethod wins: the stored self stays and the arguments are whole.
  Ref both = NewFunction(&kVarargs, qx::ExtensionTypeMethod | qx::StaticMethod);
  EXPECT_EQ(Call(both.get(), "('a', 'b')"), "(" + Repr(both.get()) + ", ('a', 'b'))");
}

TEST(FunctionBinding, ByFlags) {
  descrgetfunc get = g_bindings.function_type->tp_descr_get;
  PyObject* int_type = reinterpret_cast<PyObject*>(&PyLong_Type);
  Ref five = Ref::steal(PyLong_FromLong(5));
  Ref plain = NewFunction(&kOne);
  Ref bound = Ref::steal(get(plain.get(), five.get(), int_type));
  ASSERT_TRUE(PyMethod_Check(bound.get()));
  EXPECT_EQ(PyMethod_GET_SELF(bound.get()), five.get());
  EXPECT_EQ(PyMethod_GET_FUNCTION(bound.get()), plain.get());
  EXPECT_EQ(Call(bound.get(), "()"), "(" + Repr(plain.get()) + ", 5)");
  Ref unbound = Ref::steal(get(plain.get(), nullptr, int_type));
  EXPECT_EQ(unbound.get(), plain.get());
  Ref via_none = Ref::steal(get(plain.get(), Py_None, nullptr));
  EXPECT_EQ(via_none.get(), plain.get());

  Ref st = NewFunction(&kOne, qx::StaticMethod);
  Ref st_bound = Ref::steal(get(st.get(), five.get(), int_type));
  EXPECT_EQ(st_bound.get(), st.get());

  Ref cm = NewFunction(&kOne, qx::ClassMethod);
  Ref from_instance = Ref::steal(get(cm.get(), five.get(), nullptr));
  ASSERT_TRUE(PyMethod_Check(from_instance.get()));
  EXPECT_EQ(PyMethod_GET_SELF(from_instance.get()), int_type);
  Ref from_class = Ref::steal(get(cm.get(), nullptr, reinterpret_cast<PyObject*>(&PyBool_Type)));
  EXPECT_EQ(PyMethod_GET_SELF(from_class.get()), reinterpret_cast<PyObject*>(&PyBool_Type));
  Ref no_owner = Ref::steal(get(cm.get(), nullptr, nullptr));
  EXPECT_EQ(no_owner.get(), cm.get());
}

TEST(FunctionAttributes, LazyNameAndDocAreMadeOnceAndStored) {
  Ref va = NewFunction(&kVarargs), one = NewFunction(&kOne);
  EXPECT_EQ(Rec(va)->func_name, nullptr);
  Ref name = Ref::steal(PyObject_GetAttrString(va.get(), "__name__"));
  ASSERT_TRUE(name);
  EXPECT_EQ(Rec(va)->func_name, name.get());
  EXPECT_TRUE(PyUnicode_CHECK_INTERNED(name.get()));
  Ref doc = Ref::steal(PyObject_GetAttrString(va.get(), "func_doc"));
  EXPECT_EQ(qxtest::Str(doc.get()), "va doc");
  EXPECT_EQ(Rec(va)->func_doc, doc.get());
  Ref none_doc = Ref::steal(PyObject_GetAttrString(one.get(), "__doc__"));
  EXPECT_EQ(none_doc.get(), Py_None);
  EXPECT_EQ(Rec(one)->func_doc, nullptr);
  Ref annotations = Ref::steal(PyObject_GetAttrString(one.get(), "__annotations__"));
  EXPECT_EQ(Rec(one)->func_annotations, annotations.get());
  ASSERT_EQ(PyObject_SetAttrString(one.get(), "__annotations__", Py_None), 0);
  EXPECT_EQ(Rec(one)->func_annotations, nullptr);
}

namespace {
int getter_calls = 0;
PyObject* GoodGetter(PyObject*) {
  ++getter_calls;
  return Py_BuildValue("((i){s:i})", 1, "k", 2);
}
PyObject* FailingGetter(PyObject*) {
  ++getter_calls;
  PyErr_SetString(PyExc_RuntimeError, "no defaults");
  return nullptr;
}
}  // namespace

TEST(FunctionAttributes, DefaultsGetterMaterializesBothOnce) {
  Ref f = NewFunction(&kOne);
  Rec(f)->defaults_getter = GoodGetter;
  getter_calls = 0;
  Ref kw = Ref::steal(PyObject_GetAttrString(f.get(), "__kwdefaults__"));
  Ref pos = Ref::steal(PyObject_GetAttrString(f.get(), "__defaults__"));
  EXPECT_EQ(getter_calls, 1);
  EXPECT_EQ(Repr(pos.get()), "(1,)");
  EXPECT_EQ(Repr(kw.get()), "{'k': 2}");

  Ref g = NewFunction(&kOne);
  Rec(g)->defaults_getter = FailingGetter;
  Ref r = Ref::steal(PyObject_GetAttrString(g.get(), "__defaults__"));
  EXPECT_FALSE(r);
  EXPECT_EQ(TakeError(), "no defaults");
  EXPECT_EQ(Rec(g)->defaults_tuple, nullptr);
  EXPECT_EQ(Rec(g)->defaults_kwdict, nullptr);
}

namespace {
int Collect(PyObject* o, void* arg) {
  static_cast<std::vector<PyObject*>*>(arg)->push_back(o);
  return 0;
}
}  // namespace

// Traversal and clearing must agree field for field (including the slots of
// a defaults block another module may have filled), and a cleared object
// must still answer reads from Python.
TEST(FunctionGc, TraverseVisitsWhatClearReleases) {
  Ref f = NewFunction(&kOne);
  QxFunctionObject* r = Rec(f);
  std::vector<Ref> values;
  values.reserve(12);
  for (int i = 0; i < 12; ++i) values.push_back(Ref::steal(PyList_New(0)));
  PyObject** fields[] = {&r->func_closure,  &r->m_module,       &r->func_dict,       &r->func_name,
                         &r->func_qualname, &r->func_doc,       &r->func_globals,    &r->func_code,
                         &r->func_classobj, &r->defaults_tuple, &r->defaults_kwdict, &r->func_annotations};
  std::vector<PyObject*> expected;
  for (int i = 0; i < 10; ++i) {
    Py_XSETREF(*fields[i], Py_NewRef(values[i].get()));
    expected.push_back(values[i].get());
  }
  Py_CLEAR(*fields[10]);  // null fields are skipped
  Py_XSETREF(*fields[11], Py_NewRef(values[11].get()));
  expected.push_back(values[11].get());
  r->defaults = PyObject_Malloc(3 * sizeof(PyObject*));
  r->defaults_count = 2;
  PyObject** slots = static_cast<PyObject**>(r->defaults);
  slots[0] = Py_NewRef(values[10].get());
  slots[1] = nullptr;
  slots[2] = reinterpret_cast<PyObject*>(0x1);  // beyond defaults_count: never read
  expected.push_back(values[10].get());

  std::vector<PyObject*> seen;
  ASSERT_EQ(Py_TYPE(f.get())->tp_traverse(f.get(), Collect, &seen), 0);
  EXPECT_EQ(seen, expected);
  ASSERT_EQ(Py_TYPE(f.get())->tp_clear(f.get()), 0);
  for (const Ref& v : values) EXPECT_EQ(Py_REFCNT(v.get()), 1);
  EXPECT_EQ(r->defaults, nullptr);
  EXPECT_EQ(r->m_ml, &kOne);
  EXPECT_EQ(r->m_self, f.get());

  Ref qualname = Ref::steal(PyObject_GetAttrString(f.get(), "__qualname__"));
  EXPECT_EQ(qxtest::Str(qualname.get()), "");
  Ref globals = Ref::steal(PyObject_GetAttrString(f.get(), "__globals__"));
  EXPECT_EQ(globals.get(), Py_None);
  EXPECT_EQ(Repr(f.get()).rfind("<qxfunction  at 0x", 0), 0u) << Repr(f.get());
  Ref module = Ref::steal(PyObject_GetAttrString(f.get(), "__module__"));
  EXPECT_EQ(module.get(), Py_None);
}

namespace {
// Runs source in ns; fails the test on error.
void Exec(const char* source, PyObject* ns) {
  Ref r = Ref::steal(PyRun_String(source, Py_file_input, ns, ns));
  if (!r) {
    PyErr_Print();
    ADD_FAILURE() << "Python source failed:\n" << source;
  }
}

long AllocatedBlocks() {
  Ref n = Eval("__import__('sys').getallocatedblocks()");
  return PyLong_AsLong(n.get());
}
}  // namespace

TEST(FunctionGc, CycleThroughDictIsCollectedAndNothingLeaks) {
  Ref globals = Ref::steal(PyDict_New());
  Py_ssize_t globals_refs = Py_REFCNT(globals.get());
  Py_ssize_t module_refs = Py_REFCNT(g_names.EnumBase);
  AllocatedBlocks();  // warm up the evaluation itself
  long blocks = AllocatedBlocks();
  for (int i = 0; i < 5000; ++i) {
    Ref f = Ref::steal(
        qx::QxFunctionNew(&kVarargs, 0, g_names.EnumBase, nullptr, g_names.EnumBase, globals.get(), nullptr));
    ASSERT_TRUE(f);
    // Touch every lazily made field so each must be released.
    for (const char* attr : {"__name__", "__doc__", "__dict__", "__annotations__"}) {
      Ref v = Ref::steal(PyObject_GetAttrString(f.get(), attr));
      ASSERT_TRUE(v);
    }
    ASSERT_EQ(PyObject_SetAttrString(f.get(), "__defaults__", g_common.empty_tuple), 0);
  }
  EXPECT_EQ(Py_REFCNT(globals.get()), globals_refs);
  EXPECT_EQ(Py_REFCNT(g_names.EnumBase), module_refs);
  // Free lists keep a few hundred blocks; a leak per round keeps thousands.
  EXPECT_LT(AllocatedBlocks() - blocks, 1000);

  Ref ns = RunPython("import gc, weakref\nclass Holder: pass\n");
  Ref f = NewFunction(&kOne);
  PyDict_SetItemString(ns.get(), "f", f.get());
  f.reset();
  Exec(
      "h = Holder(); h.f = f; f.__dict__['h'] = h; wr = weakref.ref(f)\n"
      "del h, f\n"
      "gc.collect()\n",
      ns.get());
  Ref dead = Eval("wr() is None", ns.get());
  EXPECT_EQ(dead.get(), Py_True);
}

// What a cleared function answers to code that reaches it while it is being
// cleared: a release inside its own clear runs that code (here x dies with
// the defaults tuple and its weak-reference callback reads f), and finds the
// fields released before it empty, never dangling.
namespace {
void ExpectSeenCleared(PyObject* seen) {
  ASSERT_EQ(PyList_GET_SIZE(seen), 1) << Repr(seen);
  PyObject* entry = PyList_GET_ITEM(seen, 0);
  ASSERT_TRUE(PyTuple_Check(entry)) << Repr(seen);
  EXPECT_EQ(qxtest::Str(PyTuple_GET_ITEM(entry, 0)), "");
  EXPECT_EQ(PyTuple_GET_ITEM(entry, 1), Py_None);
  EXPECT_EQ(qxtest::Str(PyTuple_GET_ITEM(entry, 2)).rfind("<qxfunction  at 0x", 0), 0u);
}
}  // namespace

// The clear run directly, f held by the namespace: the same state whoever
// clears, and reachable on every interpreter.
TEST(FunctionGc, CodeRunByItsOwnClearFindsTheFieldsEmpty) {
  Ref ns = RunPython(
      "import weakref\n"
      "seen = []\n"
      "def report(_): seen.append((f.__qualname__, f.__globals__, repr(f)))\n"
      "class X: pass\n");
  Ref f = NewFunction(&kOne);
  PyDict_SetItemString(ns.get(), "f", f.get());
  Exec("f.__defaults__ = (X(),)\nwr = weakref.ref(f.__defaults__[0], report)\n", ns.get());
  ASSERT_EQ(Py_TYPE(f.get())->tp_clear(f.get()), 0);
  EXPECT_EQ(PyErr_Occurred(), nullptr) << TakeError();
  Ref seen = Eval("seen", ns.get());
  ASSERT_TRUE(seen);
  ExpectSeenCleared(seen.get());
}

// The collector clears f while a weak-reference callback, armed by a
// finalizer, can still reach it. The tuple (f, x) keeps f alive until f's
// own clear releases it, whatever order the collector picks, and x dies
// only then, after the qualified name and globals are gone. An interpreter
// may clear the weak references a finalizer made to the garbage before it
// clears the garbage (3.14.4 does), so that no callback reaches it: a
// control object dying in the same collection, its callback armed the same
// way, tells whether this one lets callbacks run.
TEST(FunctionGc, ClearedObjectReachedFromCallbackDuringCollection) {
  Ref ns = RunPython(
      "import gc, weakref\n"
      "seen, keep, control_seen = [], [], []\n"
      "def report(_):\n"
      "    g = keep[0]()\n"
      "    seen.append(None if g is None else (g.__qualname__, g.__globals__, repr(g)))\n"
      "class X: pass\n"
      "class K:\n"
      "    def __del__(self):\n"
      "        keep.append(weakref.ref(self.f))\n"
      "        keep.append(weakref.ref(self.f.__defaults__[1], report))\n"
      "        keep.append(weakref.ref(self.control, control_seen.append))\n");
  Ref f = NewFunction(&kOne);
  PyDict_SetItemString(ns.get(), "f", f.get());
  f.reset();
  Exec(
      "f.__defaults__ = (f, X())\n"
      "k = K(); k.f = f; k.control = X(); f.__dict__['k'] = k\n"
      "del f, k\n"
      "gc.collect()\n",
      ns.get());
  Ref seen = Eval("seen", ns.get());
  ASSERT_TRUE(seen);
  Ref control_seen = Eval("control_seen", ns.get());
  ASSERT_TRUE(control_seen);
  if (PyList_GET_SIZE(control_seen.get()) == 0) {
    EXPECT_EQ(PyList_GET_SIZE(seen.get()), 0) << Repr(seen.get());
    GTEST_SKIP()
        << "this interpreter clears the weak references finalizers made to garbage before clearing it, "
           "so no callback reaches a function it clears (CodeRunByItsOwnClearFindsTheFieldsEmpty "
           "reaches one in its clear)";
  }
  ExpectSeenCleared(seen.get());
}

namespace {
PyTypeObject MakeStaticType(const char* name, Py_ssize_t size) {
  PyTypeObject t = {PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = name;
  t.tp_basicsize = size;
  t.tp_flags = Py_TPFLAGS_DEFAULT;
  return t;
}
}  // namespace

TEST(FunctionRegistry, FetchSharedTypeChecksWhatItFinds) {
  constexpr Py_ssize_t kSize = sizeof(qx::QxFunctionObject);
  static PyTypeObject own = MakeStaticType("qx_test_shared", kSize);
  Ref reg = Ref::steal(PyModule_New("qx_test_registry"));
  qxtest::SequenceClaim claim;
  auto fetch = [&]() {
    return Ref::steal(reinterpret_cast<PyObject*>(qx::FetchSharedType(reg.get(), &own)));
  };

  PyObject_SetAttrString(reg.get(), "qx_test_shared", Py_None);
  EXPECT_FALSE(fetch());
  EXPECT_EQ(TakeError(), "Shared runtime type qx_test_shared is not a type object");
  Ref small = Eval("type('S', (), {})");
  PyObject_SetAttrString(reg.get(), "qx_test_shared", small.get());
  EXPECT_FALSE(fetch());
  EXPECT_EQ(TakeError(), "Shared runtime type qx_test_shared has the wrong size, try recompiling");
  // Alike in layout is not enough: a Python class of the same instance
  // layout, and static types whose name or flags differ are each refused; a
  // static type made the same way is taken.
  Ref same_layout = Eval("type('C', (), {'__slots__': tuple('s%d' % i for i in range(18))})");
  ASSERT_EQ(reinterpret_cast<PyTypeObject*>(same_layout.get())->tp_basicsize, kSize);
  PyObject_SetAttrString(reg.get(), "qx_test_shared", same_layout.get());
  EXPECT_FALSE(fetch());
  EXPECT_EQ(TakeError(), "Shared runtime type qx_test_shared is a heap type, not the shared static type");
  static PyTypeObject other_name = MakeStaticType("qx_test_other", kSize);
  static PyTypeObject other_flags = MakeStaticType("qx_test_shared", kSize);
  other_flags.tp_flags |= Py_TPFLAGS_BASETYPE;
  static PyTypeObject twin = MakeStaticType("qx_test_shared", kSize);
  for (PyTypeObject* t : {&other_name, &other_flags, &twin}) ASSERT_EQ(PyType_Ready(t), 0) << TakeError();
  PyObject_SetAttrString(reg.get(), "qx_test_shared", reinterpret_cast<PyObject*>(&other_name));
  EXPECT_FALSE(fetch());
  EXPECT_EQ(TakeError(), "Shared runtime type qx_test_shared has the wrong name qx_test_other");
  PyObject_SetAttrString(reg.get(), "qx_test_shared", reinterpret_cast<PyObject*>(&other_flags));
  EXPECT_FALSE(fetch());
  EXPECT_EQ(TakeError(), "Shared runtime type qx_test_shared has the wrong flags, try recompiling");
  // Same size, laid out otherwise: items after the fixed part, or a weak
  // reference list or dictionary the other does not have. Changed once
  // readied: none is ever instantiated.
  static PyTypeObject other_layout[] = {MakeStaticType("qx_test_shared", kSize),
                                        MakeStaticType("qx_test_shared", kSize),
                                        MakeStaticType("qx_test_shared", kSize)};
  for (PyTypeObject& t : other_layout) ASSERT_EQ(PyType_Ready(&t), 0) << TakeError();
  other_layout[0].tp_itemsize = sizeof(PyObject*);
  other_layout[1].tp_weaklistoffset = sizeof(PyObject);
  other_layout[2].tp_dictoffset = sizeof(PyObject);
  for (PyTypeObject& t : other_layout) {
    PyObject_SetAttrString(reg.get(), "qx_test_shared", reinterpret_cast<PyObject*>(&t));
    EXPECT_FALSE(fetch()) << &t - other_layout;
    EXPECT_EQ(TakeError(), "Shared runtime type qx_test_shared has the wrong size, try recompiling");
  }
  PyObject_SetAttrString(reg.get(), "qx_test_shared", reinterpret_cast<PyObject*>(&twin));
  EXPECT_EQ(fetch().get(), reinterpret_cast<PyObject*>(&twin));
  EXPECT_EQ(own.tp_flags & Py_TPFLAGS_READY, 0UL);  // ours is left alone

  PyObject_DelAttrString(reg.get(), "qx_test_shared");
  EXPECT_EQ(fetch().get(), reinterpret_cast<PyObject*>(&own));
  EXPECT_NE(own.tp_flags & Py_TPFLAGS_READY, 0UL);
  Ref published = Ref::steal(PyObject_GetAttrString(reg.get(), "qx_test_shared"));
  EXPECT_EQ(published.get(), reinterpret_cast<PyObject*>(&own));

  Ref ns = RunPython(
      "class Broken:\n"
      "    def __getattr__(self, name): raise KeyError(name)\n"
      "broken = Broken()\n");
  PyObject* broken = PyDict_GetItemString(ns.get(), "broken");
  EXPECT_EQ(qx::FetchSharedType(broken, &own), nullptr);
  std::string type;
  EXPECT_EQ(TakeError(&type), "'qx_test_shared'");
  EXPECT_EQ(type, "KeyError");
}
