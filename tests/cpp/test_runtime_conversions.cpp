// Integer conversions and truth values: the small-int fast paths, the
// fall-backs to the interpreter's conversions, and which error each failure
// reports with which message.
#include <Python.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "runtime/conversions.h"
#include "runtime/internal.h"
#include "runtime/ref.h"
#include "tests/cpp/test_support.h"

using qx::Ref;
using qxtest::Eval;
using qxtest::Get;
using qxtest::RunPython;
using qxtest::TakeError;

namespace {

// Holds a warnings.catch_warnings() context open for the life of the object:
// inside it, the given filter action applies to every warning and (with
// "always") each warning is recorded rather than printed.
class WarningsScope {
 public:
  explicit WarningsScope(const char* action) {
    ns_ = RunPython(
        "import warnings\n"
        "_cm = warnings.catch_warnings(record=True)\n"
        "log = _cm.__enter__()\n");
    Ref action_obj = Ref::steal(PyUnicode_FromString(action));
    PyDict_SetItemString(ns_.get(), "action", action_obj.get());
    Ref r = Eval("warnings.simplefilter(action)", ns_.get());
    EXPECT_TRUE(r) << TakeError();
  }
  ~WarningsScope() {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);  // the scope must close even with an error pending
    Ref r = Eval("_cm.__exit__(None, None, None)", ns_.get());
    if (!r) PyErr_Clear();
    PyErr_Restore(t, v, tb);
  }
  // Number of warnings recorded so far, and the text of the last one.
  Py_ssize_t Count() const { return PyList_GET_SIZE(PyDict_GetItemString(ns_.get(), "log")); }
  std::string LastMessage() const {
    Ref r = Eval("str(log[-1].message)", ns_.get());
    return r ? PyUnicode_AsUTF8(r.get()) : TakeError();
  }
  std::string LastCategory() const {
    Ref r = Eval("log[-1].category.__name__", ns_.get());
    return r ? PyUnicode_AsUTF8(r.get()) : TakeError();
  }

 private:
  Ref ns_;
};

const char* kConversionTypes =
    "class Index:\n"
    "    def __init__(self, v): self.v = v\n"
    "    def __index__(self): return self.v\n"
    "class IndexRaises:\n"
    "    def __index__(self): raise ValueError('no index')\n"
    "class IndexOnly:\n"
    "    def __index__(self): return 5\n"
    "class Sub(int):\n"
    "    def __int__(self): return 99\n"
    "class IntReturns:\n"
    "    def __init__(self, r): self.r = r\n"
    "    def __int__(self): return self.r\n"
    "class IntRaises:\n"
    "    def __int__(self): raise KeyError('no int')\n"
    "class PlainSub(int): pass\n"
    "held_str = 'not a number'\n"
    "held_sub = PlainSub(5)\n"
    "returns_str = IntReturns(held_str)\n"
    "returns_true = IntReturns(True)\n"
    "returns_sub = IntReturns(held_sub)\n";

}  // namespace

TEST(RuntimeToSsizeIndex, ExactIntsAcrossTheDigitBoundaries) {
  struct Case {
    const char* expr;
    Py_ssize_t want;
  };
  const Case cases[] = {
      {"0", 0},
      {"1", 1},
      {"-1", -1},
      {"2**30 - 1", (Py_ssize_t{1} << 30) - 1},  // largest one-digit value
      {"2**30", Py_ssize_t{1} << 30},            // smallest two-digit value
      {"-(2**30)", -(Py_ssize_t{1} << 30)},
      {"2**60 - 1", (Py_ssize_t{1} << 60) - 1},  // largest two-digit value
      {"-(2**60 - 1)", -((Py_ssize_t{1} << 60) - 1)},
      {"2**60", Py_ssize_t{1} << 60},  // three digits: interpreter path
      {"2**63 - 1", PY_SSIZE_T_MAX},
      {"-(2**63)", PY_SSIZE_T_MIN},
  };
  for (const Case& c : cases) {
    Ref x = Eval(c.expr);
    ASSERT_TRUE(x) << TakeError();
    EXPECT_EQ(qx::ToSsizeIndex(x.get()), c.want) << c.expr;
    EXPECT_EQ(PyErr_Occurred(), nullptr) << c.expr << ": " << TakeError();
  }
}

TEST(RuntimeToSsizeIndex, OutOfRangeAndNonIntegersReportTheInterpretersErrors) {
  for (const char* expr : {"2**63", "-(2**63) - 1", "2**70"}) {
    Ref x = Eval(expr);
    EXPECT_EQ(qx::ToSsizeIndex(x.get()), -1) << expr;
    std::string type;
    TakeError(&type);
    EXPECT_EQ(type, "OverflowError") << expr;
  }

  Ref f = Eval("3.5");
  EXPECT_EQ(qx::ToSsizeIndex(f.get()), -1);
  std::string type;
  EXPECT_EQ(TakeError(&type), "'float' object cannot be interpreted as an integer");
  EXPECT_EQ(type, "TypeError");

  Ref s = Eval("'7'");
  EXPECT_EQ(qx::ToSsizeIndex(s.get()), -1);
  TakeError(&type);
  EXPECT_EQ(type, "TypeError");
}

TEST(RuntimeToSsizeIndex, NonExactIntsGoThroughIndex) {
  Ref ns = RunPython(kConversionTypes);
  EXPECT_EQ(qx::ToSsizeIndex(Py_True), 1);
  EXPECT_EQ(qx::ToSsizeIndex(Py_False), 0);
  EXPECT_EQ(PyErr_Occurred(), nullptr) << TakeError();

  // An int subclass is used for its value, never its __int__.
  Ref sub = Eval("Sub(2**40)", ns.get());
  EXPECT_EQ(qx::ToSsizeIndex(sub.get()), Py_ssize_t{1} << 40);

  Ref idx = Eval("Index(-12)", ns.get());
  EXPECT_EQ(qx::ToSsizeIndex(idx.get()), -12);
  // -1 is a valid result: no error may be pending with it.
  Ref minus_one = Eval("Index(-1)", ns.get());
  EXPECT_EQ(qx::ToSsizeIndex(minus_one.get()), -1);
  EXPECT_EQ(PyErr_Occurred(), nullptr) << TakeError();

  Ref big = Eval("Index(2**64)", ns.get());
  EXPECT_EQ(qx::ToSsizeIndex(big.get()), -1);
  std::string type;
  TakeError(&type);
  EXPECT_EQ(type, "OverflowError");

  // An error raised by __index__ itself passes through unchanged.
  Ref raises = Eval("IndexRaises()", ns.get());
  EXPECT_EQ(qx::ToSsizeIndex(raises.get()), -1);
  EXPECT_EQ(TakeError(&type), "no index");
  EXPECT_EQ(type, "ValueError");

  // The temporary index object is released: an __index__ returning a held
  // int leaves that int's count as it was.
  Ref held = Eval("2**50");
  PyDict_SetItemString(ns.get(), "held", held.get());
  Ref returns_held = Eval("Index(held)", ns.get());
  const Py_ssize_t before = Py_REFCNT(held.get());
  EXPECT_EQ(qx::ToSsizeIndex(returns_held.get()), Py_ssize_t{1} << 50);
  EXPECT_EQ(Py_REFCNT(held.get()), before);
}

TEST(RuntimeToInt32, BoundariesOfTheSignedRange) {
  struct Case {
    const char* expr;
    int32_t want;
  };
  const Case cases[] = {
      {"0", 0},
      {"-1", -1},
      {"2**30 - 1", (1 << 30) - 1},
      {"2**30", 1 << 30},  // two digits: the interpreter path
      {"-(2**30)", -(1 << 30)},
      {"2**31 - 1", INT32_MAX},
      {"-(2**31)", INT32_MIN},
      {"True", 1},
      {"False", 0},
  };
  for (const Case& c : cases) {
    Ref x = Eval(c.expr);
    ASSERT_TRUE(x) << TakeError();
    EXPECT_EQ(qx::ToInt32(x.get()), c.want) << c.expr;
    EXPECT_EQ(PyErr_Occurred(), nullptr) << c.expr << ": " << TakeError();
  }
  // Values that fit a C long but not 32 bits must still be refused.
  for (const char* expr : {"2**31", "-(2**31) - 1", "2**32", "2**62", "2**100"}) {
    Ref x = Eval(expr);
    EXPECT_EQ(qx::ToInt32(x.get()), -1) << expr;
    std::string type;
    TakeError(&type);
    EXPECT_EQ(type, "OverflowError") << expr;
  }
}

TEST(RuntimeToInt32, IntSubclassesUseTheirValueNotTheirIntMethod) {
  Ref ns = RunPython(kConversionTypes);
  Ref small = Eval("Sub(5)", ns.get());
  EXPECT_EQ(qx::ToInt32(small.get()), 5);
  Ref negative = Eval("Sub(-(2**31))", ns.get());
  EXPECT_EQ(qx::ToInt32(negative.get()), INT32_MIN);
  Ref too_big = Eval("Sub(2**31)", ns.get());
  EXPECT_EQ(qx::ToInt32(too_big.get()), -1);
  std::string type;
  TakeError(&type);
  EXPECT_EQ(type, "OverflowError");
}

TEST(RuntimeToInt32, OtherObjectsGoThroughTheirIntSlot) {
  Ref ns = RunPython(kConversionTypes);
  Ref f = Eval("3.9");
  EXPECT_EQ(qx::ToInt32(f.get()), 3);
  Ref nf = Eval("-3.9");
  EXPECT_EQ(qx::ToInt32(nf.get()), -3);
  Ref big_float = Eval("3e9");
  EXPECT_EQ(qx::ToInt32(big_float.get()), -1);
  std::string type;
  TakeError(&type);
  EXPECT_EQ(type, "OverflowError");

  // No __int__ at all; __index__ alone does not count.
  Ref plain = Eval("object()");
  EXPECT_EQ(qx::ToInt32(plain.get()), -1);
  EXPECT_EQ(TakeError(&type), "an integer is required");
  EXPECT_EQ(type, "TypeError");
  Ref index_only = Eval("IndexOnly()", ns.get());
  EXPECT_EQ(qx::ToInt32(index_only.get()), -1);
  EXPECT_EQ(TakeError(&type), "an integer is required");
  EXPECT_EQ(type, "TypeError");
  EXPECT_EQ(qx::ToInt32(Py_None), -1);
  EXPECT_EQ(TakeError(&type), "an integer is required");

  // An error of __int__ itself is not replaced.
  Ref raises = Eval("IntRaises()", ns.get());
  EXPECT_EQ(qx::ToInt32(raises.get()), -1);
  EXPECT_EQ(TakeError(&type), "'no int'");
  EXPECT_EQ(type, "KeyError");
}

TEST(RuntimeToInt32, IntMethodReturningNonIntIsATypeErrorAndTheResultIsReleased) {
  Ref ns = RunPython(kConversionTypes);
  PyObject* held = Get(ns, "held_str");
  const Py_ssize_t before = Py_REFCNT(held);
  EXPECT_EQ(qx::ToInt32(Get(ns, "returns_str")), -1);
  std::string type;
  EXPECT_EQ(TakeError(&type), "__int__ returned non-int (type str)");
  EXPECT_EQ(type, "TypeError");
  EXPECT_EQ(Py_REFCNT(held), before);
}

TEST(RuntimeToInt32, IntMethodReturningAnIntSubclassWarns) {
  Ref ns = RunPython(kConversionTypes);
  const std::string expected_bool =
      "__int__ returned non-int (type bool).  The ability to return an instance of a strict "
      "subclass of int is deprecated, and may be removed in a future version of Python.";
  {
    WarningsScope scope("always");
    EXPECT_EQ(qx::ToInt32(Get(ns, "returns_true")), 1);
    EXPECT_EQ(PyErr_Occurred(), nullptr) << TakeError();
    ASSERT_EQ(scope.Count(), 1);
    EXPECT_EQ(scope.LastCategory(), "DeprecationWarning");
    EXPECT_EQ(scope.LastMessage(), expected_bool);

    PyObject* held = Get(ns, "held_sub");
    const Py_ssize_t before = Py_REFCNT(held);
    EXPECT_EQ(qx::ToInt32(Get(ns, "returns_sub")), 5);
    EXPECT_EQ(Py_REFCNT(held), before);
    ASSERT_EQ(scope.Count(), 2);
    EXPECT_EQ(scope.LastMessage().rfind("__int__ returned non-int (type PlainSub).", 0), 0u);
  }
  {
    // Warnings as errors: the warning itself is the failure.
    WarningsScope scope("error");
    PyObject* held = Get(ns, "held_sub");
    const Py_ssize_t before = Py_REFCNT(held);
    EXPECT_EQ(qx::ToInt32(Get(ns, "returns_sub")), -1);
    std::string type;
    EXPECT_EQ(TakeError(&type).rfind("__int__ returned non-int (type PlainSub).", 0), 0u);
    EXPECT_EQ(type, "DeprecationWarning");
    EXPECT_EQ(Py_REFCNT(held), before);

    EXPECT_EQ(qx::ToInt32(Get(ns, "returns_true")), -1);
    EXPECT_EQ(TakeError(&type), expected_bool);
    EXPECT_EQ(type, "DeprecationWarning");
  }
}

TEST(RuntimeToIntObject, OwnershipOfWhatItReturns) {
  Ref ns = RunPython(kConversionTypes);
  // An int (subclass included) comes back as itself with one more reference.
  PyObject* sub = Get(ns, "held_sub");
  const Py_ssize_t before = Py_REFCNT(sub);
  Ref r = Ref::steal(qx::ToIntObject(sub));
  EXPECT_EQ(r.get(), sub);
  EXPECT_EQ(Py_REFCNT(sub), before + 1);
  r.reset();
  EXPECT_EQ(Py_REFCNT(sub), before);

  // A float gives a new exact int.
  Ref f = Eval("7.25");
  Ref i = Ref::steal(qx::ToIntObject(f.get()));
  ASSERT_TRUE(i);
  EXPECT_TRUE(PyLong_CheckExact(i.get()));
  EXPECT_EQ(PyLong_AsLong(i.get()), 7);

  EXPECT_EQ(qx::ToIntObject(Py_None), nullptr);
  EXPECT_EQ(TakeError(), "an integer is required");
}

TEST(RuntimeCheckIntResult, ConsumesTheResultOnEveryPath) {
  // Rejected: released, with the message built from the given slot name.
  PyObject* s = PyUnicode_FromString("text");
  Ref keep = Ref::borrow(s);
  ASSERT_EQ(Py_REFCNT(s), 2);
  EXPECT_EQ(qx::CheckIntResult(Ref::steal(s), "int"), nullptr);
  EXPECT_EQ(Py_REFCNT(s), 1);
  std::string type;
  EXPECT_EQ(TakeError(&type), "__int__ returned non-int (type str)");
  EXPECT_EQ(type, "TypeError");

  // Accepted with a warning: the same reference is handed back.
  Ref ns = RunPython(kConversionTypes);
  PyObject* sub = Get(ns, "held_sub");
  const Py_ssize_t before = Py_REFCNT(sub);
  {
    WarningsScope scope("always");
    Ref r = Ref::steal(qx::CheckIntResult(Ref::borrow(sub), "int"));
    EXPECT_EQ(r.get(), sub);
    EXPECT_EQ(scope.Count(), 1);
  }
  EXPECT_EQ(Py_REFCNT(sub), before);
  {
    WarningsScope scope("error");
    EXPECT_EQ(qx::CheckIntResult(Ref::borrow(sub), "int"), nullptr);
    TakeError(&type);
    EXPECT_EQ(type, "DeprecationWarning");
  }
  EXPECT_EQ(Py_REFCNT(sub), before);
}

TEST(RuntimeTruthValue, SingletonsContainersAndFailingBool) {
  EXPECT_EQ(qx::TruthValue(Py_True), 1);
  EXPECT_EQ(qx::TruthValue(Py_False), 0);
  EXPECT_EQ(qx::TruthValue(Py_None), 0);
  Ref empty = Eval("[]");
  Ref full = Eval("[0]");
  Ref zero = Eval("0");
  EXPECT_EQ(qx::TruthValue(empty.get()), 0);
  EXPECT_EQ(qx::TruthValue(full.get()), 1);
  EXPECT_EQ(qx::TruthValue(zero.get()), 0);
  EXPECT_EQ(PyErr_Occurred(), nullptr) << TakeError();

  // The interpreter's own errors pass through unchanged: for a __bool__ that
  // returns no bool, the one bool() raises (its wording differs by version).
  Ref ns = RunPython(
      "class BoolRaises:\n"
      "    def __bool__(self): raise RuntimeError('no truth')\n"
      "class BoolNotBool:\n"
      "    def __bool__(self): return 1\n"
      "try:\n"
      "    bool(BoolNotBool())\n"
      "except TypeError as e:\n"
      "    not_bool_message = str(e)\n");
  ASSERT_NE(Get(ns, "not_bool_message"), nullptr);
  Ref raises = Eval("BoolRaises()", ns.get());
  EXPECT_EQ(qx::TruthValue(raises.get()), -1);
  std::string type;
  EXPECT_EQ(TakeError(&type), "no truth");
  EXPECT_EQ(type, "RuntimeError");

  Ref not_bool = Eval("BoolNotBool()", ns.get());
  EXPECT_EQ(qx::TruthValue(not_bool.get()), -1);
  EXPECT_EQ(TakeError(&type), qxtest::Str(Get(ns, "not_bool_message")));
  EXPECT_EQ(type, "TypeError");
}
