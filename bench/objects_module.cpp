// qx_bench_objects: the objects that pyperf's cases (pyperf_cases.py) call
// from Python code. It links its own copy of the module's code, as qx_bench
// does, because a builtin with the same entry point as a function of the
// module's type can only be made in C.
#include <Python.h>

#include <cstring>
#include <utility>

#include "bench/entry_points.h"
#include "core/names.h"
#include "module/init.h"
#include "runtime/lookups.h"
#include "runtime/ref.h"

namespace qxbench {
namespace {

using qx::Ref;

// Released by the module once IntEnum replaces it, the fallback base lives on
// in its own reference cycles: found with the collector paused.
Ref FallbackBase() {
  Ref subclasses =
      Ref::steal(PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyLong_Type), "__subclasses__", nullptr));
  if (!subclasses) return Ref();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(subclasses.get()); ++i) {
    auto* type = reinterpret_cast<PyTypeObject*>(PyList_GET_ITEM(subclasses.get(), i));
    if (std::strcmp(type->tp_name, "__Qx_EnumBase") == 0)
      return Ref::borrow(reinterpret_cast<PyObject*>(type));
  }
  PyErr_SetString(PyExc_RuntimeError, "__Qx_EnumBase not found");
  return Ref();
}

// objects() -> dict: initialises the module's code (once) and returns the
// functions of the call cases, both ways, the fallback base and Weekdays.
PyObject* Objects(PyObject* /*self*/, PyObject* /*unused*/) noexcept {
  const int was_enabled = PyGC_Disable();
  Ref module = Ref::steal(PyInit_weekdays());
  Ref base = module ? FallbackBase() : Ref();
  if (was_enabled) PyGC_Enable();
  if (!base) return nullptr;
  Ref weekdays = Ref::steal(qx::LookupModuleGlobal(qx::g_names.Weekdays));
  Ref result = Ref::steal(PyDict_New());
  if (!weekdays || !result) return nullptr;
  struct Item {
    const char* key;
    Ref value;
  };
  Item items[] = {
      {"qx_o", QxFunction(&kEntryODef)},
      {"builtin_o", Builtin(&kEntryODef)},
      {"qx_noargs", QxFunction(&kEntryNoArgsDef)},
      {"builtin_noargs", Builtin(&kEntryNoArgsDef)},
      {"qx_unpack", QxFunction(&kEntryUnpackDef)},
      {"builtin_parse", Builtin(&kEntryParseDef)},
      {"EnumBase", std::move(base)},
      {"Weekdays", std::move(weekdays)},
  };
  for (Item& item : items) {
    if (!item.value || PyDict_SetItemString(result.get(), item.key, item.value.get()) < 0) return nullptr;
  }
  return result.release();
}

PyMethodDef kMethods[] = {
    {"objects", Objects, METH_NOARGS, "The functions and classes that the Python-side cases call."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModuleDef = {PyModuleDef_HEAD_INIT, "qx_bench_objects", nullptr, -1, kMethods};

}  // namespace
}  // namespace qxbench

PyMODINIT_FUNC PyInit_qx_bench_objects(void) { return PyModule_Create(&qxbench::kModuleDef); }
