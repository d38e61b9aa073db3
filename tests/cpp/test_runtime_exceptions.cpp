// Raising objects, taking the pending error out and back, and the exception
// matchers that decide by identity and MRO scan.
#include <Python.h>
#include <gtest/gtest.h>

#include <utility>

#include <string>

#include "runtime/exceptions.h"
#include "runtime/internal.h"
#include "runtime/ref.h"
#include "tests/cpp/test_support.h"

using qx::Ref;
using qxtest::Eval;
using qxtest::Get;
using qxtest::RunPython;
using qxtest::TakeError;

namespace {

// The pending error exactly as stored (not normalised); the indicator is
// left clear.
struct Pending {
  Ref type, value, tb;
};
Pending FetchRaw() {
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  return {Ref::steal(t), Ref::steal(v), Ref::steal(tb)};
}

PyTypeObject* AsType(PyObject* o) { return reinterpret_cast<PyTypeObject*>(o); }

const char* kRaiseTypes =
    "class Plain(Exception): pass\n"
    "substitute = KeyError('substitute')\n"
    "class ReturnsOther(Exception):\n"
    "    def __new__(cls): return substitute\n"
    "class ReturnsInt(Exception):\n"
    "    def __new__(cls): return 42\n"
    "class CtorRaises(Exception):\n"
    "    def __init__(self): raise RuntimeError('ctor failed')\n"
    "class NeedsArg(Exception):\n"
    "    def __init__(self, a): pass\n";

}  // namespace

TEST(RuntimeRaiseObject, ExceptionInstanceIsRaisedAsItself) {
  Ref inst = Eval("ValueError('exact')");
  const Py_ssize_t before = Py_REFCNT(inst.get());
  qx::RaiseObject(inst.get());
  Pending p = FetchRaw();
  EXPECT_EQ(p.type.get(), PyExc_ValueError);
  EXPECT_EQ(p.value.get(), inst.get());
  p = {};
  // Borrowed: nothing kept once the error is gone.
  EXPECT_EQ(Py_REFCNT(inst.get()), before);
}

TEST(RuntimeRaiseObject, ExceptionClassIsCalledWithoutArguments) {
  Ref ns = RunPython(kRaiseTypes);

  qx::RaiseObject(Get(ns, "Plain"));
  Pending p = FetchRaw();
  EXPECT_EQ(p.type.get(), Get(ns, "Plain"));
  ASSERT_TRUE(p.value);
  EXPECT_EQ(Py_TYPE(p.value.get()), AsType(Get(ns, "Plain")));
  Ref args = Ref::steal(PyObject_GetAttrString(p.value.get(), "args"));
  EXPECT_EQ(PyTuple_Size(args.get()), 0);

  // The class called is the pending type even when its constructor hands
  // back an instance of another exception class.
  qx::RaiseObject(Get(ns, "ReturnsOther"));
  p = FetchRaw();
#if QX_ERROR_IS_ONE_OBJECT
  // Where the error is one object the interpreter normalises at once, as every version does
  // when Python code catches the error: it calls the class again with the
  // instance, and that call fails.
  EXPECT_EQ(p.type.get(), PyExc_TypeError);
  EXPECT_EQ(qxtest::Str(p.value.get()),
            "ReturnsOther.__new__() takes 1 positional argument but 2 were given");
#else
  EXPECT_EQ(p.type.get(), Get(ns, "ReturnsOther"));
  EXPECT_EQ(p.value.get(), Get(ns, "substitute"));
#endif

  qx::RaiseObject(PyExc_StopIteration);
  p = FetchRaw();
  EXPECT_EQ(p.type.get(), PyExc_StopIteration);
}

TEST(RuntimeRaiseObject, FailuresAndRefusals) {
  Ref ns = RunPython(kRaiseTypes);
  std::string type;

  // The constructor returned no exception instance.
  Ref want = Eval(
      "'calling %r should have returned an instance of BaseException, not %r' % (ReturnsInt, "
      "int)",
      ns.get());
  ASSERT_TRUE(want) << TakeError();
  qx::RaiseObject(Get(ns, "ReturnsInt"));
  EXPECT_EQ(TakeError(&type), PyUnicode_AsUTF8(want.get()));
  EXPECT_EQ(type, "TypeError");

  // The constructor's own error stays in place of the exception.
  qx::RaiseObject(Get(ns, "CtorRaises"));
  EXPECT_EQ(TakeError(&type), "ctor failed");
  EXPECT_EQ(type, "RuntimeError");
  qx::RaiseObject(Get(ns, "NeedsArg"));
  TakeError(&type);
  EXPECT_EQ(type, "TypeError");

  // Neither an exception instance nor an exception class.
  Ref text = Eval("'a plain string'");
  for (PyObject* o : {text.get(), reinterpret_cast<PyObject*>(&PyLong_Type), Py_None}) {
    qx::RaiseObject(o);
    EXPECT_EQ(TakeError(&type), "raise: exception class must be a subclass of BaseException");
    EXPECT_EQ(type, "TypeError");
  }
}

TEST(RuntimeErrorState, SaveTakesTheErrorOutAndRestoreReplacesWhateverIsPending) {
  PyThreadState* ts = PyThreadState_Get();
  PyErr_SetString(PyExc_KeyError, "first");
  qx::SavedError saved = qx::SaveErrorState(ts);
  EXPECT_EQ(PyErr_Occurred(), nullptr) << TakeError();
  EXPECT_FALSE(saved.empty());

  // Restoring over another pending error discards the other one.
  Ref other = Eval("ValueError('second')");
  PyErr_SetObject(PyExc_ValueError, other.get());
  const Py_ssize_t other_pending = Py_REFCNT(other.get());
  qx::RestoreErrorState(ts, std::move(saved));
  EXPECT_EQ(Py_REFCNT(other.get()), other_pending - 1);
  std::string type;
  EXPECT_EQ(TakeError(&type), "'first'");
  EXPECT_EQ(type, "KeyError");

  // Restoring nothing clears the indicator.
  PyErr_SetString(PyExc_ValueError, "dropped");
  qx::RestoreErrorState(ts, qx::SavedError());
  EXPECT_EQ(PyErr_Occurred(), nullptr) << TakeError();

  // A saved error that is not put back is released with its handle.
  PyErr_SetObject(PyExc_ValueError, other.get());
  const Py_ssize_t pending = Py_REFCNT(other.get());
  { qx::SavedError dropped = qx::SaveErrorState(ts); }
  EXPECT_EQ(Py_REFCNT(other.get()), pending - 1);
  EXPECT_EQ(PyErr_Occurred(), nullptr) << TakeError();
}

TEST(RuntimePendingErrorMatches, ClassesSubclassesAndTuples) {
  PyThreadState* ts = PyThreadState_Get();
  EXPECT_EQ(qx::PendingErrorMatches(ts, PyExc_Exception), 0);  // nothing pending

  PyErr_SetString(PyExc_KeyError, "k");
  EXPECT_EQ(qx::PendingErrorMatches(ts, PyExc_KeyError), 1);
  EXPECT_EQ(qx::PendingErrorMatches(ts, PyExc_LookupError), 1);
  EXPECT_EQ(qx::PendingErrorMatches(ts, PyExc_BaseException), 1);
  EXPECT_EQ(qx::PendingErrorMatches(ts, PyExc_IndexError), 0);
  EXPECT_EQ(qx::PendingErrorMatches(ts, PyExc_AttributeError), 0);

  Ref flat = Ref::steal(PyTuple_Pack(2, PyExc_TypeError, PyExc_LookupError));
  Ref unrelated = Ref::steal(PyTuple_Pack(2, PyExc_TypeError, PyExc_ValueError));
  Ref empty = Ref::steal(PyTuple_New(0));
  EXPECT_EQ(qx::PendingErrorMatches(ts, flat.get()), 1);
  EXPECT_EQ(qx::PendingErrorMatches(ts, unrelated.get()), 0);
  EXPECT_EQ(qx::PendingErrorMatches(ts, empty.get()), 0);

  // Nested tuples are not searched, although the interpreter's own
  // matching would find the class in them.
  Ref inner = Ref::steal(PyTuple_Pack(1, PyExc_KeyError));
  Ref nested = Ref::steal(PyTuple_Pack(2, PyExc_TypeError, inner.get()));
  EXPECT_EQ(qx::PendingErrorMatches(ts, nested.get()), 0);
  EXPECT_EQ(PyErr_ExceptionMatches(nested.get()), 1);

  // None of this touched the pending error.
  std::string type;
  EXPECT_EQ(TakeError(&type), "'k'");
  EXPECT_EQ(type, "KeyError");
}

TEST(RuntimePendingErrorMatches, PendingTypeThatIsNoExceptionClass) {
  if (QX_ERROR_IS_ONE_OBJECT) {
    GTEST_SKIP() << "only an interpreter that keeps the pending error as type, value and traceback "
                    "(3.11) can hold one whose type is no exception class";
  }
  PyThreadState* ts = PyThreadState_Get();
  // Everything is built first: nothing may run with such an error pending.
  Ref inst = Eval("KeyError('as type')");
  Ref marker = Eval("'marker'");
  Ref flat = Ref::steal(PyTuple_Pack(2, PyExc_ValueError, PyExc_KeyError));
  Ref inner = Ref::steal(PyTuple_Pack(1, PyExc_KeyError));
  Ref nested = Ref::steal(PyTuple_Pack(1, inner.get()));
  Ref holding = Ref::steal(PyTuple_Pack(2, PyExc_Exception, marker.get()));

  // A pending "type" that is an exception instance is matched through the
  // interpreter's matching, which looks at its class, item by item.
  PyErr_Restore(Py_NewRef(inst.get()), nullptr, nullptr);
  EXPECT_EQ(qx::PendingErrorMatches(ts, PyExc_LookupError), 1);
  EXPECT_EQ(qx::PendingErrorMatches(ts, PyExc_ValueError), 0);
  EXPECT_EQ(qx::PendingErrorMatches(ts, flat.get()), 1);
  // Here the interpreter's matching receives the inner tuple and searches it.
  EXPECT_EQ(qx::PendingErrorMatches(ts, nested.get()), 1);
  EXPECT_EQ(PyErr_Occurred(), inst.get());

  // Any other object matches only itself.
  PyErr_Restore(Py_NewRef(marker.get()), nullptr, nullptr);
  EXPECT_EQ(qx::PendingErrorMatches(ts, marker.get()), 1);
  EXPECT_EQ(qx::PendingErrorMatches(ts, PyExc_Exception), 0);
  EXPECT_EQ(qx::PendingErrorMatches(ts, holding.get()), 1);

  PyErr_Restore(nullptr, nullptr, nullptr);
  EXPECT_EQ(PyErr_Occurred(), nullptr) << TakeError();
}

TEST(RuntimeErrorClassMatches, ClassAgainstClassOrTuple) {
  EXPECT_EQ(qx::ErrorClassMatches(PyExc_KeyError, PyExc_KeyError), 1);
  EXPECT_EQ(qx::ErrorClassMatches(PyExc_KeyError, PyExc_Exception), 1);
  EXPECT_EQ(qx::ErrorClassMatches(PyExc_Exception, PyExc_KeyError), 0);
  // Something that is not a class never appears in an MRO.
  Ref text = Eval("'KeyError'");
  EXPECT_EQ(qx::ErrorClassMatches(PyExc_KeyError, text.get()), 0);

  Ref mixed = Ref::steal(PyTuple_Pack(3, text.get(), PyExc_OSError, PyExc_ArithmeticError));
  EXPECT_EQ(qx::ErrorClassMatchesTuple(PyExc_ZeroDivisionError, mixed.get()), 1);
  EXPECT_EQ(qx::ErrorClassMatchesTuple(PyExc_FileNotFoundError, mixed.get()), 1);
  EXPECT_EQ(qx::ErrorClassMatchesTuple(PyExc_KeyError, mixed.get()), 0);
  Ref inner = Ref::steal(PyTuple_Pack(1, PyExc_KeyError));
  Ref nested = Ref::steal(PyTuple_Pack(1, inner.get()));
  EXPECT_EQ(qx::ErrorClassMatchesTuple(PyExc_KeyError, nested.get()), 0);
  EXPECT_EQ(PyErr_Occurred(), nullptr) << TakeError();
}

TEST(RuntimeTypeIsSubtype, ScansTheMroNotJustTheBaseChain) {
  Ref ns = RunPython(
      "class A(Exception): pass\n"
      "class Mixin: pass\n"
      "class C(A, Mixin): pass\n");
  PyTypeObject* a = AsType(Get(ns, "A"));
  PyTypeObject* mixin = AsType(Get(ns, "Mixin"));
  PyTypeObject* c = AsType(Get(ns, "C"));
  ASSERT_EQ(c->tp_base, a);  // the mixin is in the MRO only

  EXPECT_EQ(qx::TypeIsSubtype(c, c), 1);
  EXPECT_EQ(qx::TypeIsSubtype(c, a), 1);
  EXPECT_EQ(qx::TypeIsSubtype(c, mixin), 1);
  EXPECT_EQ(qx::TypeIsSubtype(c, reinterpret_cast<PyTypeObject*>(PyExc_BaseException)), 1);
  EXPECT_EQ(qx::TypeIsSubtype(c, &PyBaseObject_Type), 1);
  EXPECT_EQ(qx::TypeIsSubtype(a, c), 0);
  EXPECT_EQ(qx::TypeIsSubtype(mixin, a), 0);

  EXPECT_EQ(qx::TypeInBaseChain(c, a), 1);
  EXPECT_EQ(qx::TypeInBaseChain(c, mixin), 0);
  EXPECT_EQ(qx::TypeInBaseChain(c, &PyBaseObject_Type), 1);
}

TEST(RuntimeTypeIsSubtype, TypeWithoutMroWalksItsBaseChain) {
  // A type that was never readied has no MRO; only tp_base is read.
  PyTypeObject unready{};
  unready.tp_name = "Unready";
  unready.tp_base = reinterpret_cast<PyTypeObject*>(PyExc_ValueError);
  ASSERT_EQ(unready.tp_mro, nullptr);
  EXPECT_EQ(qx::TypeIsSubtype(&unready, &unready), 1);
  EXPECT_EQ(qx::TypeIsSubtype(&unready, reinterpret_cast<PyTypeObject*>(PyExc_ValueError)), 1);
  EXPECT_EQ(qx::TypeIsSubtype(&unready, reinterpret_cast<PyTypeObject*>(PyExc_Exception)), 1);
  EXPECT_EQ(qx::TypeIsSubtype(&unready, reinterpret_cast<PyTypeObject*>(PyExc_KeyError)), 0);
  EXPECT_EQ(qx::TypeIsSubtype(&unready, &PyBaseObject_Type), 1);

  // At the end of a chain only object is accepted.
  PyTypeObject baseless{};
  baseless.tp_name = "Baseless";
  EXPECT_EQ(qx::TypeIsSubtype(&baseless, &PyBaseObject_Type), 1);
  EXPECT_EQ(qx::TypeIsSubtype(&baseless, &PyLong_Type), 0);
  EXPECT_EQ(qx::TypeInBaseChain(&baseless, &PyLong_Type), 0);
}
