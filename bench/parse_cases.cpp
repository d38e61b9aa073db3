// Argument parsing of f(cls, value, name=None): the module's hashed lookups
// against PyArg_ParseTupleAndKeywords (inside a call from Python code:
// pyperf_cases.py).
#include "bench/bench.h"

namespace qxbench {

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
  return true;
}

}  // namespace qxbench
