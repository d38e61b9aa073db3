// Initialisation: the name table, cached constants, the version check, the
// entry's re-entry, and class creation support.
#include <Python.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/names.h"
#include "enums/enum_state.h"
#include "module/class_creation.h"
#include "module/init.h"
#include "module/internal.h"
#include "module/module_state.h"
#include "runtime/bindings.h"
#include "runtime/ref.h"
#include "tests/cpp/test_support.h"

using qx::g_bindings;
using qx::g_enums;
using qx::g_module;
using qx::g_names;
using qx::Ref;
using qxtest::Eval;
using qxtest::RunPython;
using qxtest::TakeError;

TEST(ModuleNames, EveryRowIsAHashedStrEqualToItsText) {
  int rows = 0;
  int interned = 0;
  Ref sys_intern = Eval("__import__('sys').intern");
  ASSERT_TRUE(sys_intern);
  for (const qx::NameTableRow* row = qx::kNameTable; row->target != nullptr; ++row, ++rows) {
    PyObject* obj = *row->target;
    ASSERT_NE(obj, nullptr) << row->text;
    ASSERT_TRUE(PyUnicode_CheckExact(obj)) << row->text;
    EXPECT_STREQ(PyUnicode_AsUTF8(obj), row->text);
    EXPECT_EQ(row->size, static_cast<Py_ssize_t>(std::strlen(row->text) + 1));
    EXPECT_EQ(PyUnicode_GET_LENGTH(obj), row->size - 1);
    EXPECT_NE(reinterpret_cast<PyASCIIObject*>(obj)->hash, -1) << row->text;
    Ref copy = Ref::steal(PyUnicode_FromString(row->text));
    Ref canonical = Ref::steal(PyObject_CallOneArg(sys_intern.get(), copy.get()));
    if (row->intern_flag) {
      ++interned;
      EXPECT_EQ(canonical.get(), obj) << row->text << " is not the interned string";
    } else if (!qxtest::Fact("INTERNS_CODE_FILE_NAMES") || obj != g_names.enumsupport) {
      // "enumsupport" names the file of the methods' code objects, and the
      // interpreter may intern a code object's file name.
      EXPECT_NE(canonical.get(), obj) << row->text << " should not be interned";
    }
  }
  EXPECT_EQ(rows, qx::kNameTableRows);
  EXPECT_EQ(rows - interned, 5);  // the format texts and the methods' file name
  EXPECT_EQ(PyUnicode_GET_LENGTH(g_names.fmt_dotted), 5);
}

TEST(ModuleConstants, ChecksumValueErrorAndCodeObjects) {
  EXPECT_EQ(PyLong_AsLong(g_enums.checksum_int), 0xd41d8cd);
  EXPECT_EQ(g_enums.builtin_ValueError, PyExc_ValueError);
  // Rows: __new__, __repr__, __str__; only __new__ has a default.
  PyObject* new_defaults = g_enums.fallback_defaults[0];
  ASSERT_TRUE(PyTuple_CheckExact(new_defaults));
  ASSERT_EQ(PyTuple_GET_SIZE(new_defaults), 1);
  EXPECT_EQ(PyTuple_GET_ITEM(new_defaults, 0), Py_None);
  EXPECT_EQ(g_enums.fallback_defaults[1], nullptr);
  EXPECT_EQ(g_enums.fallback_defaults[2], nullptr);

  Ref ns = RunPython("");
  PyDict_SetItemString(ns.get(), "new", g_enums.fallback_code[0]);
  PyDict_SetItemString(ns.get(), "rep", g_enums.fallback_code[1]);
  PyDict_SetItemString(ns.get(), "st", g_enums.fallback_code[2]);
  Ref fields = Eval(
      "[(c.co_name, c.co_varnames, c.co_argcount, c.co_kwonlyargcount, c.co_nlocals,"
      " c.co_firstlineno, c.co_filename, c.co_flags) for c in (new, rep, st)]",
      ns.get());
  ASSERT_TRUE(fields) << TakeError();
  EXPECT_EQ(qxtest::Str(fields.get()),
            "[('__new__', ('cls', 'value', 'name', 'v', 'res'), 3, 0, 5, 28, 'enumsupport', 3), "
            "('__repr__', ('self',), 1, 0, 1, 39, 'enumsupport', 3), "
            "('__str__', ('self',), 1, 0, 1, 41, 'enumsupport', 3)]");
}

TEST(ModuleEntry, SecondCallReturnsTheSameModuleWithOneMoreReference) {
  PyObject* module = g_module.module;
  ASSERT_NE(module, nullptr);
  PyObject* dict = g_bindings.module_dict;
  const Py_ssize_t before = Py_REFCNT(module);
  PyObject* again = PyInit_weekdays();
  ASSERT_EQ(again, module);
  EXPECT_EQ(Py_REFCNT(module), before + 1);
  EXPECT_EQ(g_bindings.module_dict, dict);
  Py_DECREF(again);
}

TEST(ModuleEntry, AnotherInterpreterIsToldWhichOneHoldsTheModule) {
  // Called directly in a sub-interpreter (3.13's import would run the entry
  // in the main one, which holds the module here).
  PyThreadState* main_tstate = PyThreadState_Get();
  PyThreadState* sub = Py_NewInterpreter();
  ASSERT_NE(sub, nullptr);
  const std::string sub_id = std::to_string(PyInterpreterState_GetID(PyInterpreterState_Get()));
  PyObject* result = PyInit_weekdays();
  std::string type_name;
  const std::string message = TakeError(&type_name);
  Py_EndInterpreter(sub);
  PyThreadState_Swap(main_tstate);
  EXPECT_EQ(result, nullptr);
  EXPECT_EQ(type_name, "ImportError");
  EXPECT_EQ(message,
            "module quendrix.core.enums.weekdays was first imported in another interpreter (ID 0) and cannot "
            "be loaded in this one (ID " +
                sub_id + ") while that one exists");
  // The main interpreter still holds it.
  PyObject* again = PyInit_weekdays();
  EXPECT_EQ(again, g_module.module);
  Py_XDECREF(again);
}

namespace {

const char* Version37() { return "3.7.2 (default)"; }

// Returns the warnings caught while running fn, as a repr'd list of
// (category name, message).
template <typename Fn>
std::string CatchWarnings(const char* action, Fn fn, int* rc) {
  Ref ns = RunPython("import warnings\n");
  Ref ctx = Eval("warnings.catch_warnings(record=True)", ns.get());
  Ref log = Ref::steal(PyObject_CallMethod(ctx.get(), "__enter__", nullptr));
  Ref filt = Ref::steal(
      PyObject_CallMethod(PyDict_GetItemString(ns.get(), "warnings"), "simplefilter", "s", action));
  *rc = fn();
  std::string error = TakeError();
  PyDict_SetItemString(ns.get(), "log", log.get());
  Ref seen = Eval("[(w.category.__name__, str(w.message)) for w in log]", ns.get());
  Ref done = Ref::steal(PyObject_CallMethod(ctx.get(), "__exit__", "OOO", Py_None, Py_None, Py_None));
  return error.empty() ? qxtest::Str(seen.get()) : "raised: " + error;
}

}  // namespace

TEST(ModuleVersionCheck, ComparesCharactersZeroAndTwoOnly) {
  int rc = 0;
  EXPECT_EQ(CatchWarnings(
                "always", [] { return qx::CheckInterpreterVersionAgainst(3, 6, "3.6.8 (main)"); }, &rc),
            "[]");
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(CatchWarnings(
                "always", [] { return qx::CheckInterpreterVersionAgainst(3, 6, "3.7.1"); }, &rc),
            "[('RuntimeWarning', \"compiletime version 3.6 of module 'quendrix.core.enums.weekdays' "
            "does not match runtime version 3.7\")]");
  EXPECT_EQ(rc, 0);
  // 3.10 reads as 3.1.
  EXPECT_EQ(CatchWarnings(
                "always", [] { return qx::CheckInterpreterVersionAgainst(3, 6, "3.10.4"); }, &rc),
            "[('RuntimeWarning', \"compiletime version 3.6 of module 'quendrix.core.enums.weekdays' "
            "does not match runtime version 3.1\")]");
  // Built for 3.11, which also reads as 3.1: 3.10 matches, 3.7 does not.
  EXPECT_EQ(CatchWarnings(
                "always", [] { return qx::CheckInterpreterVersionAgainst(3, 11, "3.10.4"); }, &rc),
            "[]");
  EXPECT_EQ(CatchWarnings(
                "always", [] { return qx::CheckInterpreterVersionAgainst(3, 11, "3.7.0"); }, &rc),
            "[('RuntimeWarning', \"compiletime version 3.1 of module 'quendrix.core.enums.weekdays' "
            "does not match runtime version 3.7\")]");
  EXPECT_EQ(CatchWarnings(
                "error", [] { return qx::CheckInterpreterVersionAgainst(3, 6, "3.7.1"); }, &rc),
            "raised: compiletime version 3.6 of module 'quendrix.core.enums.weekdays' does not match "
            "runtime version 3.7");
  EXPECT_EQ(rc, -1);
}

TEST(ModuleEntry, VersionWarningAsErrorFailsTheImportWithTheWarningItself) {
  // Run the entry as on a first import whose running version mismatches;
  // it fails at its first step, before anything is created.
  PyObject* module = g_module.module;
  g_module.module = nullptr;
  qx::g_running_version = Version37;
  int rc = 0;
  std::string type_name;
  Ref ns = RunPython("import warnings\n");
  Ref ctx = Eval("warnings.catch_warnings()", ns.get());
  Ref entered = Ref::steal(PyObject_CallMethod(ctx.get(), "__enter__", nullptr));
  Ref filt = Ref::steal(
      PyObject_CallMethod(PyDict_GetItemString(ns.get(), "warnings"), "simplefilter", "s", "error"));
  PyObject* result = PyInit_weekdays();
  std::string message = TakeError(&type_name);
  Ref done = Ref::steal(PyObject_CallMethod(ctx.get(), "__exit__", "OOO", Py_None, Py_None, Py_None));
  qx::g_running_version = Py_GetVersion;
  g_module.module = module;
  (void)rc;
  EXPECT_EQ(result, nullptr);
  EXPECT_EQ(type_name, "RuntimeWarning");
  EXPECT_NE(message.find("does not match runtime version 3.7"), std::string::npos) << message;
}

TEST(ModuleClassCreation, CalculateMetaclass) {
  Ref empty = Ref::steal(PyTuple_New(0));
  Ref m = Ref::steal(qx::CalculateMetaclass(nullptr, empty.get()));
  EXPECT_EQ(m.get(), reinterpret_cast<PyObject*>(&PyType_Type));
  Ref int_bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyLong_Type)));
  m = Ref::steal(qx::CalculateMetaclass(nullptr, int_bases.get()));
  EXPECT_EQ(m.get(), reinterpret_cast<PyObject*>(&PyType_Type));

  Ref ns = RunPython(
      "class M1(type): pass\n"
      "class M2(type): pass\n"
      "class M3(M1): pass\n"
      "A = M1('A', (), {})\n"
      "B = M2('B', (), {})\n"
      "C = M3('C', (), {})\n");
  Ref ab = Eval("(A, B)", ns.get());
  EXPECT_EQ(qx::CalculateMetaclass(nullptr, ab.get()), nullptr);
  EXPECT_EQ(TakeError(),
            "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass of "
            "the metaclasses of all its bases");
  // The most derived metaclass wins whatever the order.
  Ref ac = Eval("(A, C)", ns.get());
  m = Ref::steal(qx::CalculateMetaclass(nullptr, ac.get()));
  EXPECT_EQ(m.get(), PyDict_GetItemString(ns.get(), "M3"));
}

TEST(ModuleClassCreation, PrepareAndCreate) {
  Ref ns = RunPython(
      "class NoPrepare:\n"
      "    pass\n"
      "class Ordered(type):\n"
      "    @classmethod\n"
      "    def __prepare__(mcls, name, bases):\n"
      "        seen.append((name, bases))\n"
      "        return {'prepared': True}\n"
      "class Meta2(type):\n"
      "    pass\n"
      "seen = []\n");
  Ref name = Ref::steal(PyUnicode_FromString("K"));
  Ref qual = Ref::steal(PyUnicode_FromString("Outer.K"));
  Ref mod = Ref::steal(PyUnicode_FromString("somewhere"));
  Ref bases = Ref::steal(PyTuple_New(0));

  Ref plain = Ref::steal(qx::PrepareClassNamespace(PyDict_GetItemString(ns.get(), "NoPrepare"), bases.get(),
                                                   name.get(), qual.get(), mod.get()));
  ASSERT_TRUE(plain) << TakeError();
  EXPECT_EQ(qxtest::Str(plain.get()), "{'__module__': 'somewhere', '__qualname__': 'Outer.K'}");

  PyObject* ordered = PyDict_GetItemString(ns.get(), "Ordered");
  Ref prepared =
      Ref::steal(qx::PrepareClassNamespace(ordered, bases.get(), name.get(), qual.get(), mod.get()));
  ASSERT_TRUE(prepared) << TakeError();
  EXPECT_EQ(qxtest::Str(prepared.get()),
            "{'prepared': True, '__module__': 'somewhere', '__qualname__': 'Outer.K'}");
  EXPECT_EQ(qxtest::Str(PyDict_GetItemString(ns.get(), "seen")), "[('K', ())]");

  // A __metaclass__ entry decides which metaclass is called.
  PyObject* meta2 = PyDict_GetItemString(ns.get(), "Meta2");
  PyDict_SetItemString(prepared.get(), "__metaclass__", meta2);
  Ref cls = Ref::steal(
      qx::CreateClass(reinterpret_cast<PyObject*>(&PyType_Type), name.get(), bases.get(), prepared.get()));
  ASSERT_TRUE(cls) << TakeError();
  EXPECT_EQ(reinterpret_cast<PyObject*>(Py_TYPE(cls.get())), meta2);
  Ref kept = Ref::steal(PyObject_GetAttrString(cls.get(), "__metaclass__"));
  EXPECT_EQ(kept.get(), meta2);

  // Without the entry the given metaclass is called.
  Ref plain_cls = Ref::steal(
      qx::CreateClass(reinterpret_cast<PyObject*>(&PyType_Type), name.get(), bases.get(), plain.get()));
  ASSERT_TRUE(plain_cls) << TakeError();
  EXPECT_EQ(Py_TYPE(plain_cls.get()), &PyType_Type);

  // A lookup error other than KeyError is not swallowed.
  Ref bad_ns = RunPython(
      "class Bad(dict):\n"
      "    def __getitem__(self, k):\n"
      "        raise LookupError('no')\n"
      "b = Bad()\n");
  EXPECT_EQ(qx::CreateClass(reinterpret_cast<PyObject*>(&PyType_Type), name.get(), bases.get(),
                            PyDict_GetItemString(bad_ns.get(), "b")),
            nullptr);
  EXPECT_EQ(TakeError(), "no");
}

TEST(ModuleClassCreation, ModuleGlobalsIsTheModuleDictWithOneMoreReferenceEachTime) {
  const Py_ssize_t before = Py_REFCNT(g_bindings.module_dict);
  PyObject* first = qx::ModuleGlobals();
  PyObject* second = qx::ModuleGlobals();
  EXPECT_EQ(first, g_bindings.module_dict);
  EXPECT_EQ(second, g_bindings.module_dict);
  if (qxtest::CountsReferences(g_bindings.module_dict)) {
    EXPECT_EQ(Py_REFCNT(g_bindings.module_dict), before + 2);
  }
  Py_XDECREF(first);
  Py_XDECREF(second);
}
