// Failure points of the metaclass and of unpickling that Python code cannot
// reach (they need module state or the creation slot swapped), and the
// pickling set-up on types of other shapes.
#include <Python.h>
#include <gtest/gtest.h>

#include <string>

#include "core/names.h"
#include "enums/enum_meta.h"
#include "enums/enum_state.h"
#include "enums/internal.h"
#include "enums/pickling.h"
#include "runtime/internal.h"
#include "runtime/ref.h"
#include "runtime/traceback.h"
#include "tests/cpp/test_support.h"

using qx::g_enums;
using qx::g_names;
using qx::g_traceback;
using qx::Ref;
using qxtest::TakeError;

namespace {

PyObject* Meta() { return reinterpret_cast<PyObject*>(&qx::QxEnumMetaType); }

Ref InitArgs() { return Ref::steal(Py_BuildValue("(s(){})", "E")); }

void ExpectPosition(int32_t line, int32_t impl_line) {
  EXPECT_EQ(g_traceback.error_line, line);
  EXPECT_EQ(g_traceback.error_impl_line, impl_line);
}

TEST(EnumMetaInit, FailingTypeInitAndRegistryFactory) {
  Ref args = InitArgs();
  Ref not_a_class = Ref::steal(PyLong_FromLong(3));
  EXPECT_EQ(qx::QxEnumMetaType.tp_init(not_a_class.get(), args.get(), nullptr), -1);
  TakeError();
  ExpectPosition(17, 1530);

  Ref cls = Ref::steal(PyObject_Call(Meta(), args.get(), nullptr));
  ASSERT_TRUE(cls);
  Ref ns = qxtest::RunPython("class F:\n  def make(self): raise LookupError('x')\nbound = F().make\n");
  PyObject* saved = g_enums.ordered_dict_class;
  g_enums.ordered_dict_class = Py_None;  // CallNoArg
  EXPECT_EQ(qx::QxEnumMetaType.tp_init(cls.get(), args.get(), nullptr), -1);
  TakeError();
  ExpectPosition(18, 1559);
  g_enums.ordered_dict_class = PyDict_GetItemString(ns.get(), "bound");  // unpacked
  EXPECT_EQ(qx::QxEnumMetaType.tp_init(cls.get(), args.get(), nullptr), -1);
  TakeError();
  ExpectPosition(18, 1556);
  g_enums.ordered_dict_class = saved;
}

TEST(SetupPickling, MovesOnlyWhenPicklingIsLeftToObject) {
  // Readying again (an import retried after a failure) keeps the moved methods.
  {
    qxtest::SequenceClaim claim;
    ASSERT_EQ(qx::InitEnumMetaType(), 0);
  }
  EXPECT_NE(PyDict_GetItemString(qx::QxEnumMetaType.tp_dict, "__reduce__"), nullptr);
  EXPECT_EQ(PyDict_GetItemString(qx::QxEnumMetaType.tp_dict, "__reduce_qx__"), nullptr);

  Ref ns = qxtest::RunPython(
      "class Plain:\n"
      "  def __reduce_qx__(self): return 'r'\n"
      "  def __setstate_qx__(self, state): pass\n"
      "class OwnReduce(Plain):\n  def __reduce__(self): return 'own'\n"
      "class OwnGetstate(Plain):\n  def __getstate__(self): return 'own'\n"
      "class Missing: pass\n");
  auto type = [&](const char* name) {
    return reinterpret_cast<PyTypeObject*>(PyDict_GetItemString(ns.get(), name));
  };
  ASSERT_EQ(qx::SetupPickling(type("Plain")), 0);
  Ref moved =
      qxtest::Eval("sorted(k for k in vars(Plain) if k.startswith('__re') or 'state' in k)", ns.get());
  EXPECT_EQ(qxtest::Str(moved.get()), "['__reduce__', '__setstate__']");
  EXPECT_EQ(qxtest::Str(qxtest::Eval("Plain().__reduce__()", ns.get()).get()), "r");
  for (const char* name : {"OwnReduce", "OwnGetstate"}) {
    Ref before = Ref::steal(PyDict_Copy(type(name)->tp_dict));
    ASSERT_EQ(qx::SetupPickling(type(name)), 0);
    EXPECT_EQ(PyObject_RichCompareBool(before.get(), type(name)->tp_dict, Py_EQ), 1) << name;
  }
  EXPECT_EQ(qx::SetupPickling(type("Missing")), -1);
  std::string err_type;
  TakeError(&err_type);
  EXPECT_EQ(err_type, "AttributeError");  // the pending error is kept

  // MethodHasName never fails: a comparison that raises answers 0.
  ns = qxtest::RunPython("class N(str):\n  def __eq__(s, o): raise ValueError\nclass O: __name__ = N('x')\n");
  Ref odd = qxtest::Eval("O()", ns.get());
  EXPECT_EQ(qx::MethodHasName(odd.get(), g_names.dunder_reduce_qx), 0);
  EXPECT_EQ(qx::MethodHasName(Py_None, g_names.dunder_reduce_qx), 0);
  EXPECT_FALSE(PyErr_Occurred());
}

// A creation slot that makes a class, so unpickling reaches the state.
PyObject* MakeClass(PyTypeObject* metatype, PyObject*, PyObject*) {
  Ref args = InitArgs();
  return PyType_Type.tp_new(metatype, args.get(), nullptr);
}

TEST(Unpickle, StateHandlingOnceTheClassIsMade) {
  newfunc saved = qx::QxEnumMetaType.tp_new;
  qx::QxEnumMetaType.tp_new = MakeClass;
  Ref func = Ref::steal(PyCFunction_NewEx(&qx::enummeta_unpickle_def, nullptr, nullptr));
  auto call = [&](const char* state_expr) {
    Ref state = qxtest::Eval(state_expr);
    Ref args = Ref::steal(Py_BuildValue("(OiO)", Meta(), qx::kPickleChecksum, state.get()));
    return Ref::steal(PyObject_Call(func.get(), args.get(), nullptr));
  };

  Ref made = call("None");
  ASSERT_TRUE(made);
  EXPECT_EQ(Py_TYPE(made.get()), &qx::QxEnumMetaType);
  EXPECT_TRUE(call("()"));
  EXPECT_FALSE(call("[]"));
  EXPECT_EQ(TakeError(), "Expected tuple, got list");
  ExpectPosition(7, 2810);
  EXPECT_FALSE(call("({'a': 1},)"));  // a class's __dict__ has no update()
  TakeError();
  ExpectPosition(7, 2811);
  qx::QxEnumMetaType.tp_new = saved;
}

}  // namespace
