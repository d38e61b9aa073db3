// The objects the cases measure with: the Python-side loops, the two
// enumerations, the function objects and the argument values.
#include "bench/bench.h"

#include "function/function_object.h"
#include "module/module_state.h"
#include "runtime/lookups.h"
#include "runtime/ref.h"

namespace qxbench {

using qx::g_state;
using qx::Ref;

namespace {

// Python-side loops; each repeats its statement kUnroll (10) times.
constexpr const char* kPythonSource = R"PY(
import gc

def call_one(f, x, n):
    for _ in range(n):
        f(x); f(x); f(x); f(x); f(x); f(x); f(x); f(x); f(x); f(x)

def call_none(f, n):
    for _ in range(n):
        f(); f(); f(); f(); f(); f(); f(); f(); f(); f()

def call_keywords(f, n):
    for _ in range(n):
        f(1, value=2, name=3); f(1, value=2, name=3); f(1, value=2, name=3)
        f(1, value=2, name=3); f(1, value=2, name=3); f(1, value=2, name=3)
        f(1, value=2, name=3); f(1, value=2, name=3); f(1, value=2, name=3)
        f(1, value=2, name=3)

def by_value(E, v, n):
    for _ in range(n):
        E(v); E(v); E(v); E(v); E(v); E(v); E(v); E(v); E(v); E(v)

def by_name(E, k, n):
    for _ in range(n):
        E[k]; E[k]; E[k]; E[k]; E[k]; E[k]; E[k]; E[k]; E[k]; E[k]

NAMES = ("Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday")

def fallback_base():
    # Released by the module once IntEnum replaces it, the class lives on in
    # its own reference cycles while the collector is paused.
    found = [c for c in int.__subclasses__() if c.__name__ == "__Qx_EnumBase"]
    return found[0]

def make_fallback_enum(base):
    class K(base):
        pass
    for value, name in enumerate(NAMES, 1):
        K(value, name)
    return K
)PY";

}  // namespace

bool Bench::Setup() {
  fx.ns = Ref::steal(PyDict_New());
  if (!fx.ns || PyDict_SetItemString(fx.ns.get(), "__builtins__", PyEval_GetBuiltins()) < 0) {
    return Fail("namespace");
  }
  Ref r = Ref::steal(PyRun_String(kPythonSource, Py_file_input, fx.ns.get(), fx.ns.get()));
  if (!r) return Fail("Python helpers");

  Ref base = Ref::steal(PyObject_CallNoArgs(fx.Fn("fallback_base")));
  if (!base) return Fail("finding __Qx_EnumBase");
  fallback_enum = Ref::steal(PyObject_CallOneArg(fx.Fn("make_fallback_enum"), base.get()));
  if (!fallback_enum) return Fail("building the fallback enumeration");
  int_enum = Ref::steal(qx::LookupModuleGlobal(g_state.names.Weekdays));
  if (!int_enum) return Fail("Weekdays");

  Ref qualname = Ref::steal(PyUnicode_FromString("f"));
  Ref modname = Ref::steal(PyUnicode_FromString("qx_bench"));
  if (!qualname || !modname) return Fail("names");
  auto qx_function = [&](PyMethodDef* def) {
    return Ref::steal(
        qx::QxFunctionNew(def, 0, qualname.get(), nullptr, modname.get(), g_state.module_dict, nullptr));
  };
  auto builtin = [&](PyMethodDef* def) { return Ref::steal(PyCFunction_NewEx(def, nullptr, modname.get())); };
  qx_o = qx_function(&kEntryODef);
  builtin_o = builtin(&kEntryODef);
  qx_noargs = qx_function(&kEntryNoArgsDef);
  builtin_noargs = builtin(&kEntryNoArgsDef);
  qx_unpack = qx_function(&kEntryUnpackDef);
  builtin_parse = builtin(&kEntryParseDef);
  if (!qx_o || !builtin_o || !qx_noargs || !builtin_noargs || !qx_unpack || !builtin_parse) {
    return Fail("function objects");
  }

  four = Ref::steal(PyLong_FromLong(4));
  wednesday = Ref::borrow(g_state.names.Wednesday);
  small_int = Ref::steal(PyLong_FromLong(12345));
  if (small_int) one_arg = Ref::steal(PyTuple_Pack(1, small_int.get()));
  exc_value = Ref::steal(PyObject_CallOneArg(PyExc_ValueError, g_state.names.Weekdays));
  // f(1, value=2, name=3): keys are the interned names, as Python code
  // passes them; and f(cls=1, value=2, name=3).
  parse_args = Ref::steal(Py_BuildValue("(i)", 1));
  parse_kwds = Ref::steal(PyDict_New());
  all_kw_args = Ref::borrow(g_state.empty_tuple);
  all_kw_kwds = Ref::steal(PyDict_New());
  if (!four || !small_int || !one_arg || !exc_value || !parse_args || !parse_kwds || !all_kw_kwds) {
    return Fail("constants");
  }
  Ref one = Ref::steal(PyLong_FromLong(1)), two = Ref::steal(PyLong_FromLong(2)),
      three = Ref::steal(PyLong_FromLong(3));
  if (PyDict_SetItem(parse_kwds.get(), g_state.names.value, two.get()) < 0 ||
      PyDict_SetItem(parse_kwds.get(), g_state.names.name, three.get()) < 0 ||
      PyDict_SetItem(all_kw_kwds.get(), g_state.names.cls, one.get()) < 0 ||
      PyDict_SetItem(all_kw_kwds.get(), g_state.names.value, two.get()) < 0 ||
      PyDict_SetItem(all_kw_kwds.get(), g_state.names.name, three.get()) < 0) {
    return Fail("keyword dictionaries");
  }
  // Both parsers must accept the calls being timed.
  if (UnpackThree(parse_args.get(), parse_kwds.get()) < 0 ||
      ParseThree(parse_args.get(), parse_kwds.get()) < 0 ||
      UnpackThree(all_kw_args.get(), all_kw_kwds.get()) < 0 ||
      ParseThree(all_kw_args.get(), all_kw_kwds.get()) < 0) {
    return Fail("argument parsing check");
  }
  return true;
}

}  // namespace qxbench
