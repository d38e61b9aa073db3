// Traceback entries: the implementation-line switch, the code-object cache
// and the entries themselves.
#include <Python.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "runtime/bindings.h"
#include "runtime/internal.h"
#include "runtime/ref.h"
#include "runtime/traceback.h"
#include "tests/cpp/test_support.h"

using qx::g_bindings;
using qx::g_traceback;
using qx::Ref;
using qxtest::TakeError;

namespace {

PyObject* Switch() { return PyObject_GetAttrString(g_bindings.runtime_module, "impl_line_in_traceback"); }

void SetSwitch(PyObject* value) {
  if (value == nullptr) {
    if (PyObject_DelAttrString(g_bindings.runtime_module, "impl_line_in_traceback") < 0) PyErr_Clear();
  } else {
    PyObject_SetAttrString(g_bindings.runtime_module, "impl_line_in_traceback", value);
  }
}

// Swaps in an empty cache for the duration of a test.
class ScratchCache {
 public:
  ScratchCache() : saved_(g_traceback.code_cache) { g_traceback.code_cache = {0, 0, nullptr}; }
  ~ScratchCache() {
    for (int32_t i = 0; i < g_traceback.code_cache.count; ++i)
      Py_DECREF(g_traceback.code_cache.entries[i].code_object);
    PyMem_Free(g_traceback.code_cache.entries);
    g_traceback.code_cache = saved_;
  }

 private:
  qx::CodeObjectCache saved_;
};

// Raises a ValueError, appends one entry and returns (type, value, tb).
struct Raised {
  Ref type, value, tb;
};
Raised RaiseWithEntry(const char* function_name, int32_t impl_line, int32_t source_line,
                      qx::SourceFile file = qx::SourceFile::EnumSupport) {
  PyErr_SetString(PyExc_ValueError, "boom");
  qx::AddTraceback(function_name, {source_line, impl_line, file});
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  return {Ref::steal(t), Ref::steal(v), Ref::steal(tb)};
}

std::string Describe(PyObject* tb) {
  Ref code = Ref::steal(PyObject_GetAttrString(tb, "tb_frame"));
  Ref f_code = Ref::steal(PyObject_GetAttrString(code.get(), "f_code"));
  Ref name = Ref::steal(PyObject_GetAttrString(f_code.get(), "co_name"));
  Ref file = Ref::steal(PyObject_GetAttrString(f_code.get(), "co_filename"));
  Ref line = Ref::steal(PyObject_GetAttrString(tb, "tb_lineno"));
  return qxtest::Str(name.get()) + "@" + qxtest::Str(file.get()) + ":" + qxtest::Str(line.get());
}

}  // namespace

TEST(Traceback, SwitchIsCreatedFalseAndDecidesWhetherTheLineShows) {
  Ref saved = Ref::steal(Switch());
  PyErr_Clear();
  PyThreadState* ts = PyThreadState_Get();

  SetSwitch(nullptr);
  PyErr_SetString(PyExc_KeyError, "pending");
  EXPECT_EQ(qx::ResolveImplementationLine(ts, 1713), 0);
  // The error being reported survives the switch handling.
  EXPECT_EQ(TakeError(), "'pending'");
  Ref created = Ref::steal(Switch());
  EXPECT_EQ(created.get(), Py_False);

  SetSwitch(Py_True);
  EXPECT_EQ(qx::ResolveImplementationLine(ts, 1713), 1713);

  Ref ns = qxtest::RunPython(
      "class Bad:\n"
      "    def __bool__(self):\n"
      "        raise RuntimeError('truth')\n"
      "bad = Bad()\n");
  SetSwitch(PyDict_GetItemString(ns.get(), "bad"));
  PyErr_SetString(PyExc_KeyError, "still pending");
  EXPECT_EQ(qx::ResolveImplementationLine(ts, 1713), 0);
  std::string type_name;
  EXPECT_EQ(TakeError(&type_name), "'still pending'");
  EXPECT_EQ(type_name, "KeyError");

  SetSwitch(saved.get());
  PyErr_Clear();
}

// A callee may return null without an exception (a METH_FASTCALL builtin's
// result is not checked): the entry needs one to hang on.
TEST(Traceback, AnEntryWithNoPendingErrorRaisesSystemError) {
  ScratchCache scratch;
  PyErr_Clear();
  qx::AddTraceback("EnumBase.Fn", {.source_line = 77});
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  Raised raised{Ref::steal(t), Ref::steal(v), Ref::steal(tb)};
  EXPECT_EQ(raised.type.get(), PyExc_SystemError);
  ASSERT_TRUE(raised.tb);
  EXPECT_EQ(Describe(raised.tb.get()), "EnumBase.Fn@enumsupport:77");
}

TEST(Traceback, EntryShowsSourceLineFileAndNameWithOrWithoutImplementationLine) {
  ScratchCache scratch;
  Ref saved = Ref::steal(Switch());
  PyErr_Clear();

  SetSwitch(Py_False);
  Raised hidden = RaiseWithEntry("EnumBase.Fn", 1234, 77);
  ASSERT_TRUE(hidden.tb);
  EXPECT_EQ(Describe(hidden.tb.get()), "EnumBase.Fn@enumsupport:77");

  SetSwitch(Py_True);
  Raised shown = RaiseWithEntry("EnumBase.Fn", 1234, 77);
  ASSERT_TRUE(shown.tb);
  EXPECT_EQ(Describe(shown.tb.get()), "EnumBase.Fn (quendrix/core/enums/weekdays:1234)@enumsupport:77");

  // Hidden lines key on the source line, shown ones on the negated line.
  ASSERT_EQ(g_traceback.code_cache.count, 2);
  EXPECT_EQ(g_traceback.code_cache.entries[0].key, -1234);
  EXPECT_EQ(g_traceback.code_cache.entries[1].key, 77);

  // A repeated failure reuses the cached code object.
  Raised again = RaiseWithEntry("EnumBase.Fn", 1234, 77);
  EXPECT_EQ(g_traceback.code_cache.count, 2);
  SetSwitch(saved.get());
  PyErr_Clear();
}

TEST(Traceback, SitesSharingALineEachNameTheirOwnFunction) {
  ScratchCache scratch;
  Raised first = RaiseWithEntry("EnumBase.First", 0, 12);
  Raised second = RaiseWithEntry("EnumBase.Second", 0, 12);
  PyErr_SetString(PyExc_ValueError, "x");
  qx::AddTraceback("EnumBase.First", {.source_line = 12, .file = qx::SourceFile::Definition});
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  Ref third_t = Ref::steal(t), third_v = Ref::steal(v), third_tb = Ref::steal(tb);
  EXPECT_EQ(Describe(first.tb.get()), "EnumBase.First@enumsupport:12");
  EXPECT_EQ(Describe(second.tb.get()), "EnumBase.Second@enumsupport:12");
  EXPECT_EQ(Describe(third_tb.get()), "EnumBase.First@quendrix\\core\\enums\\weekdays:12");
  EXPECT_EQ(g_traceback.code_cache.count, 1);
}

// The same function at the same line of another file: each entry names its
// own file.
TEST(Traceback, SameFunctionAndLineInAnotherFileGetsItsOwnCode) {
  ScratchCache scratch;
  Raised first = RaiseWithEntry("EnumBase.Fn", 0, 12);
  Raised other = RaiseWithEntry("EnumBase.Fn", 0, 12, qx::SourceFile::Definition);
  Raised again = RaiseWithEntry("EnumBase.Fn", 0, 12);
  EXPECT_EQ(Describe(first.tb.get()), "EnumBase.Fn@enumsupport:12");
  EXPECT_EQ(Describe(other.tb.get()), "EnumBase.Fn@quendrix\\core\\enums\\weekdays:12");
  EXPECT_EQ(Describe(again.tb.get()), "EnumBase.Fn@enumsupport:12");
}

TEST(Traceback, CacheGrowsBy64AndStaysSorted) {
  ScratchCache scratch;
  std::vector<int32_t> keys;
  for (int32_t k = 1; k <= 65; ++k) keys.push_back(k * 3 - 100);  // negatives and positives, no zero
  keys.erase(std::remove(keys.begin(), keys.end(), 0), keys.end());
  while (keys.size() < 65) keys.push_back(1000 + static_cast<int32_t>(keys.size()));
  // A fixed seed keeps the order, and so the test, reproducible.
  std::shuffle(keys.begin(), keys.end(), std::mt19937(7));  // NOLINT(cert-msc32-c,cert-msc51-cpp)
  Ref code = Ref::steal(qx::MakeTracebackCode("EnumBase.Fn", 0, 5, "enumsupport"));
  ASSERT_TRUE(code);
  const Py_ssize_t refs_before = Py_REFCNT(code.get());
  for (int i = 0; i < 64; ++i) qx::CodeCacheInsert(keys[i], code.get(), "EnumBase.Fn", "enumsupport");
  EXPECT_EQ(g_traceback.code_cache.count, 64);
  EXPECT_EQ(g_traceback.code_cache.capacity, 64);
  qx::CodeCacheInsert(keys[64], code.get(), "EnumBase.Fn", "enumsupport");
  EXPECT_EQ(g_traceback.code_cache.count, 65);
  EXPECT_EQ(g_traceback.code_cache.capacity, 128);
  if (qxtest::CountsReferences(code.get())) {
    EXPECT_EQ(Py_REFCNT(code.get()), refs_before + 65);
  }
  for (int32_t i = 1; i < g_traceback.code_cache.count; ++i) {
    EXPECT_LT(g_traceback.code_cache.entries[i - 1].key, g_traceback.code_cache.entries[i].key);
  }
  // Key 0 is never stored; every stored key is found.
  qx::CodeCacheInsert(0, code.get(), "EnumBase.Fn", "enumsupport");
  EXPECT_EQ(g_traceback.code_cache.count, 65);
  for (int32_t k : keys) {
    Ref found = Ref::steal(qx::CodeCacheFind(k, "EnumBase.Fn", "enumsupport"));
    EXPECT_EQ(found.get(), code.get()) << k;
  }
  EXPECT_EQ(qx::CodeCacheFind(4242, "EnumBase.Fn", "enumsupport"), nullptr);
  EXPECT_EQ(qx::CodeCacheFind(keys[0], "EnumBase.Other", "enumsupport"), nullptr);
  EXPECT_FALSE(PyErr_Occurred());
}
