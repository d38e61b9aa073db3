// The keyword matcher and the argument errors, called directly with the
// module's interned parameter names. The unpacking wrappers are exercised
// from Python, through the three functions that use them.
#include <Python.h>
#include <gtest/gtest.h>

#include <string>

#include "core/names.h"
#include "runtime/arg_parsing.h"
#include "runtime/internal.h"
#include "runtime/ref.h"
#include "tests/cpp/test_support.h"

using qx::g_names;
using qx::Ref;
using qxtest::TakeError;

namespace {

// (cls, value, name), as __new__ of the base class.
PyObject** const kNames[] = {&g_names.cls, &g_names.value, &g_names.name, nullptr};

Ref Str(const char* text) { return Ref::steal(PyUnicode_FromString(text)); }  // never interned

Ref Dict(std::initializer_list<std::pair<PyObject*, PyObject*>> items) {
  Ref d = Ref::steal(PyDict_New());
  for (auto [k, v] : items) PyDict_SetItem(d.get(), k, v);
  return d;
}

TEST(ArgCountError, WordExpectedNumberAndPlural) {
  struct {
    int exact;
    Py_ssize_t min, max, found;
    const char* message;
  } cases[] = {
      {0, 2, 3, 1, "f() takes at least 2 positional arguments (1 given)"},
      {0, 2, 3, 4, "f() takes at most 3 positional arguments (4 given)"},
      {1, 3, 3, 5, "f() takes exactly 3 positional arguments (5 given)"},
      {1, 1, 1, 0, "f() takes exactly 1 positional argument (0 given)"},
  };
  for (const auto& c : cases) {
    qx::RaiseArgCountError("f", c.exact, c.min, c.max, c.found);
    std::string type;
    EXPECT_EQ(TakeError(&type), c.message);
    EXPECT_EQ(type, "TypeError");
  }
  std::string long_name(250, 'n');  // cut at 200 bytes
  qx::RaiseArgCountError(long_name.c_str(), 1, 3, 3, 2);
  EXPECT_EQ(TakeError(), std::string(200, 'n') + "() takes exactly 3 positional arguments (2 given)");
}

TEST(ParseKeywordArguments, MatchesByIdentityOrEqualityAndReportsTheFirstError) {
  Ref one = Ref::steal(PyLong_FromLong(1));
  Ref fresh_name = Str("name");
  // A fresh value: a miscount on a shared constant would go unseen.
  Ref fresh_value = Ref::steal(PyList_New(0));
  Ref kwds = Dict({{g_names.value, one.get()}, {fresh_name.get(), fresh_value.get()}});
  const Py_ssize_t count = Py_REFCNT(fresh_value.get());
  PyObject* values[3] = {Py_None, nullptr, nullptr};
  ASSERT_EQ(qx::ParseKeywordArguments(kwds.get(), kNames, values, 1, "f"), 0);
  EXPECT_EQ(values[1], one.get());
  EXPECT_EQ(values[2], fresh_value.get());
  EXPECT_EQ(Py_REFCNT(fresh_value.get()), count);  // borrowed from the dictionary

  struct {
    Ref key;
    const char* message;
  } cases[] = {
      {Str("cls"), "f() got multiple values for keyword argument 'cls'"},
      {Str("nam"), "f() got an unexpected keyword argument 'nam'"},
      {Str("names"), "f() got an unexpected keyword argument 'names'"},
      {Ref::borrow(one.get()), "f() keywords must be strings"},
  };
  for (auto& c : cases) {
    // The valid keyword comes first and stays filled after the error.
    Ref bad = Dict({{g_names.value, one.get()}, {c.key.get(), one.get()}});
    PyObject* slots[3] = {Py_None, nullptr, nullptr};
    EXPECT_EQ(qx::ParseKeywordArguments(bad.get(), kNames, slots, 1, "f"), -1);
    EXPECT_EQ(TakeError(), c.message);
    EXPECT_EQ(slots[1], one.get());
  }
}

}  // namespace

namespace {

// The values that reach a body are owned by the wrapper's slots: the
// keyword dictionary may lose its entries (Python code run by a probe or by
// the body can empty it) while the body still uses them.
TEST(UnpackArguments, SlotsOwnWhatTheyHold) {
  const int32_t missing[] = {11, 12, 13};
  const qx::ArgSpec params = {"f", 5, kNames, 2, 3, missing, 14, 15};
  Ref cls = Ref::steal(PyList_New(0));
  Ref value = Ref::steal(PyList_New(0));
  Ref name = Ref::steal(PyList_New(0));
  Ref fresh_name = Str("name");  // not interned: the probe finds it by equality
  Ref args = Ref::steal(PyTuple_Pack(1, cls.get()));
  Ref kwds = Dict({{g_names.value, value.get()}, {fresh_name.get(), name.get()}});
  const Py_ssize_t counts[] = {Py_REFCNT(cls.get()), Py_REFCNT(value.get()), Py_REFCNT(name.get())};
  {
    Ref values[3];
    values[2] = Ref::borrow(Py_None);
    qx::Failure fail;
    ASSERT_EQ(qx::UnpackArguments(params, args.get(), kwds.get(), values, &fail), 0);
    EXPECT_EQ(values[0].get(), cls.get());
    EXPECT_EQ(values[1].get(), value.get());
    EXPECT_EQ(values[2].get(), name.get());
    PyDict_Clear(kwds.get());
    EXPECT_EQ(Py_REFCNT(cls.get()), counts[0] + 1);
    EXPECT_EQ(Py_REFCNT(value.get()), counts[1]);  // the dictionary's reference moved to the slot
    EXPECT_EQ(Py_REFCNT(name.get()), counts[2]);
  }
  EXPECT_EQ(Py_REFCNT(cls.get()), counts[0]);
  EXPECT_EQ(Py_REFCNT(value.get()), counts[1] - 1);
  EXPECT_EQ(Py_REFCNT(name.get()), counts[2] - 1);

  // A failure leaves nothing owned behind once the slots go.
  Ref bad = Dict({{g_names.value, value.get()}, {Str("bogus").get(), name.get()}});
  {
    Ref values[3];
    qx::Failure fail;
    EXPECT_EQ(qx::UnpackArguments(params, args.get(), bad.get(), values, &fail), -1);
    EXPECT_EQ(fail.pos.source_line, 5);
    EXPECT_EQ(fail.pos.impl_line, 14);
    EXPECT_EQ(TakeError(), "f() got an unexpected keyword argument 'bogus'");
  }
  EXPECT_EQ(Py_REFCNT(value.get()), counts[1]);
}

// A key equal to a name but hashed otherwise escapes the probes; the value
// the matcher finds for it is owned by its slot once, and released with it.
TEST(UnpackArguments, ValueOfAKeyNoProbeFindsIsOwnedOnce) {
  const int32_t missing[] = {11, 12, 13};
  const qx::ArgSpec params = {"f", 5, kNames, 2, 3, missing, 14, 15};
  Ref ns = qxtest::RunPython("class Key(str):\n    def __hash__(self): return 1\n");
  Ref key = Ref::steal(PyObject_CallFunction(qxtest::Get(ns, "Key"), "s", "name"));
  ASSERT_TRUE(key);
  Ref name = Ref::steal(PyList_New(0));
  Ref args = Ref::steal(PyTuple_Pack(1, Py_None));
  Ref kwds = Dict({{g_names.value, Py_None}, {key.get(), name.get()}});
  const Py_ssize_t count = Py_REFCNT(name.get());
  {
    Ref values[3];
    qx::Failure fail;
    ASSERT_EQ(qx::UnpackArguments(params, args.get(), kwds.get(), values, &fail), 0);
    EXPECT_EQ(values[2].get(), name.get());
    EXPECT_EQ(Py_REFCNT(name.get()), count + 1);
  }
  EXPECT_EQ(Py_REFCNT(name.get()), count);
}

}  // namespace
