// Allocation counts: the module's lookups, conversions, calls and traceback
// entries against the interpreter calls they replace, under the allocator
// hook (each side's count over a loop, divided by the calls).
#include "bench/bench.h"

#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bench/failure_report.h"
#include "core/names.h"
#include "module/module_state.h"
#include "runtime/conversions.h"
#include "runtime/internal.h"
#include "runtime/lookups.h"
#include "runtime/ref.h"
#include "runtime/traceback.h"

namespace qxbench {

using qx::g_module;
using qx::g_names;
using qx::Ref;

bool Bench::AllocationCases() {
  struct AllocCase {
    std::string name, module_side, interp_side;
    std::function<bool()> module_body, interp_body;
    // pass when the module side allocates at most this much per call (or,
    // when negative, no more than the interpreter side).
    double goal;
    bool report_only = false;
    bool new_site_each_call = false;  // counts under a scratch code-object cache
  };
  PyObject* module = g_module.module;
  PyObject* K = fallback_enum.get();
  Ref member = Ref::steal(PyObject_GetAttr(K, g_names.Monday));
  Ref list = Ref::steal(PyList_New(0));
  if (!member || !list) return Fail("allocation fixtures");
  for (int i = 0; i < 1000; ++i) {
    Ref item = Ref::steal(PyLong_FromLong(i));
    if (!item || PyList_Append(list.get(), item.get()) < 0) return Fail("list");
  }
  Ref tuple = Ref::steal(PyList_AsTuple(list.get()));
  if (!tuple) return Fail("tuple");
  PyObject* m = member.get();
  PyObject* lst = list.get();
  PyObject* tup = tuple.get();
  PyObject* small = small_int.get();
  auto drop = [](PyObject* r) {
    if (r == nullptr) return false;
    Py_DECREF(r);
    return true;
  };
  Failure failure{exc_value.get()};
  if (!failure.Report(kHitSourceLine, kHitImplLine)) return Fail("traceback warm-up");
  Ref cached_code = Ref::steal(
      qx::CodeCacheFind(kHitSourceLine, kTracebackFunction, qx::FileName(qx::SourceFile::EnumSupport)));
  if (!cached_code) return Fail("cached traceback code object");
  PyObject* code = cached_code.get();
  int32_t next_line = 1;

  std::vector<AllocCase> cases = {
      {"allocs LookupModuleGlobal(Weekdays)", "LookupModuleGlobal", "PyObject_GetAttrString",
       [&] { return drop(qx::LookupModuleGlobal(g_names.Weekdays)); },
       [&] { return drop(PyObject_GetAttrString(module, "Weekdays")); }, 0},
      {"allocs GetAttrByStr: module, class, instance", "GetAttrByStr (tp_getattro)", "PyObject_GetAttrString",
       [&] {
         return drop(qx::GetAttrByStr(module, g_names.Weekdays)) &&
                drop(qx::GetAttrByStr(K, g_names.dunder_members)) && drop(qx::GetAttrByStr(m, g_names.name));
       },
       [&] {
         return drop(PyObject_GetAttrString(module, "Weekdays")) &&
                drop(PyObject_GetAttrString(K, "__members__")) && drop(PyObject_GetAttrString(m, "name"));
       },
       0},
      {"allocs ItemAtSsize: list[500], tuple[-1]", "ItemAtSsize", "PyObject_GetItem(int key)",
       [&] { return drop(qx::ItemAtSsize(lst, 500)) && drop(qx::ItemAtSsize(tup, -1)); },
       [&] {
         Ref i = Ref::steal(PyLong_FromSsize_t(500));
         Ref j = Ref::steal(PyLong_FromSsize_t(-1));
         return i && j && drop(PyObject_GetItem(lst, i.get())) && drop(PyObject_GetItem(tup, j.get()));
       },
       0},
      {"allocs ToInt32(12345)", "ToInt32", "PyLong_AsLong",
       [&] { return !(qx::ToInt32(small) == -1 && PyErr_Occurred()); },
       [&] { return !(PyLong_AsLong(small) == -1 && PyErr_Occurred()); }, 0},
      {"allocs call METH_O f(x), PyObject_Vectorcall", "qx_function_or_method", "builtin_function",
       [&] {
         PyObject* a[1] = {small};
         return drop(PyObject_Vectorcall(qx_o.get(), a, 1, nullptr));
       },
       [&] {
         PyObject* a[1] = {small};
         return drop(PyObject_Vectorcall(builtin_o.get(), a, 1, nullptr));
       },
       0, true},
      {"allocs traceback entry, cached", "AddTraceback (hit)", "PyFrame_New+PyTraceBack_Here",
       [&] { return failure.Report(kHitSourceLine, kHitImplLine); },
       [&] { return failure.FrameAndTraceback(code); }, -1},
      {"allocs traceback entry, uncached", "AddTraceback (miss)", "PyFrame_New+PyTraceBack_Here",
       [&] { return failure.Report(next_line++, kMissImplLine); },
       [&] { return failure.FrameAndTraceback(code); }, -1, true, true},
  };

  const long calls = opt.quick ? 100 : 10000;
  for (AllocCase& c : cases) {
    if (!Wanted(c.name)) continue;
    double a = 0, b = 0;
    bool ok;
    if (c.new_site_each_call) {
      // Each call needs a site not seen before: a scratch cache per count.
      ScratchCache scratch;
      next_line = 1;
      ok = CountAllocations(calls, c.module_body, &a);
    } else {
      ok = CountAllocations(calls, c.module_body, &a);
    }
    if (!ok || !CountAllocations(calls, c.interp_body, &b)) {
      g_counting = false;
      return Fail(c.name);
    }
    Row row;
    row.name = c.name;
    row.module_side = c.module_side;
    row.interp_side = c.interp_side;
    row.unit = "allocs/call";
    row.module_value = a;
    row.interp_value = b;
    row.ratio = b > 0 ? a / b : std::nan("");
    if (c.report_only) {
      row.goal = "report";
      row.result = "info";
    } else if (c.goal < 0) {
      row.goal = "<= interp side";
      row.result = a <= b ? "pass" : "MISS";
    } else {
      row.goal = "0";
      row.result = a <= c.goal ? "pass" : "MISS";
    }
    rows.push_back(row);
  }
  return true;
}

}  // namespace qxbench
