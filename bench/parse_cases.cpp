// Argument parsing of f(cls, value, name=None): the module's hashed lookups
// against PyArg_ParseTupleAndKeywords, alone and inside a call.
#include "bench/bench.h"

#include "module/module_state.h"
#include "runtime/arg_parsing.h"
#include "runtime/ref.h"

namespace qxbench {

using qx::g_state;

namespace {

// Three parameters, two required: f(cls, value, name=None).
PyObject** const kParseNames[] = {&g_state.names.cls, &g_state.names.value, &g_state.names.name, nullptr};
constexpr int kParseMissingLines[] = {1, 2, 3};
const qx::ArgSpec kParseParams = {"f", kParseNames, 2, 3, kParseMissingLines, 4, 5};

char kKwCls[] = "cls";
char kKwValue[] = "value";
char kKwName[] = "name";
char* kKwList[] = {kKwCls, kKwValue, kKwName, nullptr};

}  // namespace

int UnpackThree(PyObject* args, PyObject* kwds) noexcept {
  qx::Ref values[3];
  values[2] = qx::Ref::borrow(Py_None);
  int impl_line = 0;
  return qx::UnpackArguments(kParseParams, args, kwds, values, &impl_line);
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

PyMethodDef kEntryUnpackDef = {"f", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(EntryUnpack)),
                               METH_VARARGS | METH_KEYWORDS, nullptr};
PyMethodDef kEntryParseDef = {"f", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(EntryParse)),
                              METH_VARARGS | METH_KEYWORDS, nullptr};

bool Bench::ParseCases() {
  auto parser = [](int (*parse)(PyObject*, PyObject*), PyObject* args, PyObject* kwds) {
    return Loop([parse, args, kwds] {
      if (parse(args, kwds) < 0) PyErr_Clear();  // checked once in Setup
    });
  };
  if (!AddTimed({"parse f(1, value=2, name=3)",
                 {"UnpackArguments", parser(UnpackThree, parse_args.get(), parse_kwds.get())},
                 {"PyArg_ParseTupleAndKeywords", parser(ParseThree, parse_args.get(), parse_kwds.get())},
                 0.8})) {
    return false;
  }
  if (!AddTimed({"parse f(cls=1, value=2, name=3)",
                 {"UnpackArguments", parser(UnpackThree, all_kw_args.get(), all_kw_kwds.get())},
                 {"PyArg_ParseTupleAndKeywords", parser(ParseThree, all_kw_args.get(), all_kw_kwds.get())},
                 0.8})) {
    return false;
  }
  if (!AddTimed(
          {"call+parse f(1, value=2, name=3), Python code",
           {"qx function, UnpackArguments", PythonLoop(fx.Fn("call_keywords"), {qx_unpack.get()}), kUnroll},
           {"builtin, PyArg_ParseTupleAndKeywords", PythonLoop(fx.Fn("call_keywords"), {builtin_parse.get()}),
            kUnroll},
           0.8})) {
    return false;
  }
  return true;
}

}  // namespace qxbench
