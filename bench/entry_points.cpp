// The entry points of the call and parse cases.
#include "bench/entry_points.h"

#include "core/names.h"
#include "function/function_object.h"
#include "runtime/arg_parsing.h"
#include "runtime/bindings.h"

namespace qxbench {

using qx::g_bindings;
using qx::g_names;
using qx::Ref;

namespace {

PyObject* EntryO(PyObject* /*self*/, PyObject* arg) noexcept { return Py_NewRef(arg); }
PyObject* EntryNoArgs(PyObject* /*self*/, PyObject* /*unused*/) noexcept { return Py_NewRef(Py_None); }

// Three parameters, two required: f(cls, value, name=None).
PyObject** const kParseNames[] = {&g_names.cls, &g_names.value, &g_names.name, nullptr};
constexpr int32_t kParseMissingLines[] = {1, 2, 3};
const qx::ArgSpec kParseParams = {"f", 1, kParseNames, 2, 3, kParseMissingLines, 4, 5};

char kKwCls[] = "cls";
char kKwValue[] = "value";
char kKwName[] = "name";
char* kKwList[] = {kKwCls, kKwValue, kKwName, nullptr};

}  // namespace

int UnpackThree(PyObject* args, PyObject* kwds) noexcept {
  Ref values[3];
  values[2] = Ref::borrow(Py_None);
  qx::Failure fail;
  return qx::UnpackArguments(kParseParams, args, kwds, values, &fail);
}

int ParseThree(PyObject* args, PyObject* kwds) noexcept {
  PyObject* cls = nullptr;
  PyObject* value = nullptr;
  PyObject* name = Py_None;
  return PyArg_ParseTupleAndKeywords(args, kwds, "OO|O:f", kKwList, &cls, &value, &name) ? 0 : -1;
}

namespace {

PyObject* EntryUnpack(PyObject* /*self*/, PyObject* args, PyObject* kwds) noexcept {
  return UnpackThree(args, kwds) < 0 ? nullptr : Py_NewRef(Py_None);
}
PyObject* EntryParse(PyObject* /*self*/, PyObject* args, PyObject* kwds) noexcept {
  return ParseThree(args, kwds) < 0 ? nullptr : Py_NewRef(Py_None);
}

}  // namespace

PyMethodDef kEntryODef = {"f", EntryO, METH_O, nullptr};
PyMethodDef kEntryNoArgsDef = {"f", EntryNoArgs, METH_NOARGS, nullptr};
PyMethodDef kEntryUnpackDef = {"f", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(EntryUnpack)),
                               METH_VARARGS | METH_KEYWORDS, nullptr};
PyMethodDef kEntryParseDef = {"f", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(EntryParse)),
                              METH_VARARGS | METH_KEYWORDS, nullptr};

Ref QxFunction(PyMethodDef* def) {
  Ref qualname = Ref::steal(PyUnicode_FromString("f"));
  Ref modname = Ref::steal(PyUnicode_FromString("qx_bench"));
  if (!qualname || !modname) return Ref();
  return Ref::steal(
      qx::QxFunctionNew(def, 0, qualname.get(), nullptr, modname.get(), g_bindings.module_dict, nullptr));
}

Ref Builtin(PyMethodDef* def) {
  Ref modname = Ref::steal(PyUnicode_FromString("qx_bench"));
  if (!modname) return Ref();
  return Ref::steal(PyCFunction_NewEx(def, nullptr, modname.get()));
}

}  // namespace qxbench
