// Function-object calls from C: the same entry point behind the module's
// function type and behind an interpreter builtin, called through the two
// call APIs (calls from Python code: pyperf_cases.py).
#include "bench/bench.h"

#include <string>
#include <utility>
#include <vector>

#include "core/names.h"

namespace qxbench {

using qx::g_common;

bool Bench::CallCases() {
  PyObject* x = small_int.get();
  for (auto& [label, how] : std::vector<std::pair<std::string, int>>{
           {"call METH_O f(x), PyObject_Vectorcall", 1}, {"call METH_O f(x), PyObject_Call", 2}}) {
    // Captured by copy through an initialiser: clang before 16 cannot name a
    // structured binding in a capture list, and the lint runs clang.
    auto side = [&, how = how](PyObject* f, const char* name) -> Side {
      if (how == 1)
        return {name, ObjectLoop([f, x] {
                  PyObject* a[1] = {x};
                  return PyObject_Vectorcall(f, a, 1, nullptr);
                }),
                1};
      PyObject* args = one_arg.get();
      return {name, ObjectLoop([f, args] { return PyObject_Call(f, args, nullptr); }), 1};
    };
    // The analyzer loses track of the std::function moved into the aggregate
    // and reports a leak that is not there.
    // NOLINTBEGIN(clang-analyzer-cplusplus.NewDeleteLeaks)
    if (!AddTimed({label, side(qx_o.get(), "qx_function_or_method"),
                   side(builtin_o.get(), "builtin_function"), 1.10}))
      return false;
    // NOLINTEND(clang-analyzer-cplusplus.NewDeleteLeaks)
  }
  for (auto& [label, how] : std::vector<std::pair<std::string, int>>{
           {"call METH_NOARGS f(), PyObject_Vectorcall", 1}, {"call METH_NOARGS f(), PyObject_Call", 2}}) {
    auto side = [&, how = how](PyObject* f, const char* name) -> Side {
      if (how == 1) return {name, ObjectLoop([f] { return PyObject_Vectorcall(f, nullptr, 0, nullptr); }), 1};
      PyObject* args = g_common.empty_tuple;
      return {name, ObjectLoop([f, args] { return PyObject_Call(f, args, nullptr); }), 1};
    };
    // The analyzer loses track of the std::function moved into the aggregate
    // and reports a leak that is not there.
    // NOLINTBEGIN(clang-analyzer-cplusplus.NewDeleteLeaks)
    if (!AddTimed({label, side(qx_noargs.get(), "qx_function_or_method"),
                   side(builtin_noargs.get(), "builtin_function"), 1.10}))
      return false;
    // NOLINTEND(clang-analyzer-cplusplus.NewDeleteLeaks)
  }
  return true;
}

}  // namespace qxbench
