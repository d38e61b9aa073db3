// The objects the cases measure with: the fallback enumeration, the function
// objects and the argument values.
#include "bench/bench.h"

#include "core/names.h"
#include "runtime/internal.h"
#include "runtime/ref.h"

namespace qxbench {

using qx::g_common;
using qx::g_names;
using qx::Ref;

namespace {

constexpr const char* kPythonSource = R"PY(
NAMES = ("Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday")

def make_fallback_enum():
    # Released by the module once IntEnum replaces it, the base lives on in
    # its own reference cycles while the collector is paused.
    base = [c for c in int.__subclasses__() if c.__name__ == "__Qx_EnumBase"][0]
    class K(base):
        pass
    for value, name in enumerate(NAMES, 1):
        K(value, name)
    return K
)PY";

}  // namespace

bool Bench::Setup() {
  Ref ns = Ref::steal(PyDict_New());
  if (!ns || PyDict_SetItemString(ns.get(), "__builtins__", PyEval_GetBuiltins()) < 0) {
    return Fail("namespace");
  }
  Ref r = Ref::steal(PyRun_String(kPythonSource, Py_file_input, ns.get(), ns.get()));
  if (!r) return Fail("Python helpers");
  fallback_enum = Ref::steal(PyObject_CallNoArgs(PyDict_GetItemString(ns.get(), "make_fallback_enum")));
  if (!fallback_enum) return Fail("building the fallback enumeration");

  qx_o = QxFunction(&kEntryODef);
  builtin_o = Builtin(&kEntryODef);
  qx_noargs = QxFunction(&kEntryNoArgsDef);
  builtin_noargs = Builtin(&kEntryNoArgsDef);
  if (!qx_o || !builtin_o || !qx_noargs || !builtin_noargs) return Fail("function objects");

  small_int = Ref::steal(PyLong_FromLong(12345));
  if (small_int) one_arg = Ref::steal(PyTuple_Pack(1, small_int.get()));
  exc_value = Ref::steal(PyObject_CallOneArg(PyExc_ValueError, g_names.Weekdays));
  // f(1, value=2, name=3): keys are the interned names, as Python code
  // passes them; and f(cls=1, value=2, name=3).
  parse_args = Ref::steal(Py_BuildValue("(i)", 1));
  parse_kwds = Ref::steal(PyDict_New());
  all_kw_args = Ref::borrow(g_common.empty_tuple);
  all_kw_kwds = Ref::steal(PyDict_New());
  if (!small_int || !one_arg || !exc_value || !parse_args || !parse_kwds || !all_kw_kwds) {
    return Fail("constants");
  }
  Ref one = Ref::steal(PyLong_FromLong(1)), two = Ref::steal(PyLong_FromLong(2)),
      three = Ref::steal(PyLong_FromLong(3));
  if (PyDict_SetItem(parse_kwds.get(), g_names.value, two.get()) < 0 ||
      PyDict_SetItem(parse_kwds.get(), g_names.name, three.get()) < 0 ||
      PyDict_SetItem(all_kw_kwds.get(), g_names.cls, one.get()) < 0 ||
      PyDict_SetItem(all_kw_kwds.get(), g_names.value, two.get()) < 0 ||
      PyDict_SetItem(all_kw_kwds.get(), g_names.name, three.get()) < 0) {
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
