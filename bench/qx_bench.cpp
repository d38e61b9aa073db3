// Measures the module's fast paths that Python code cannot reach (C-level
// calls, argument parsing, traceback entries) against what the interpreter
// offers for the same job, side by side in one process: both sides of a case
// are timed in interleaved rounds (their order alternating), and each case
// reports the medians of the per-operation times and the median of the
// per-round ratios. Allocation cases count allocator calls instead of time.
// What Python code can time (import, calls from Python code, the
// enumerations) pyperf measures: pyperf_run.py.
//
// Usage: qx_bench [--quick] [--rounds N] [--sample-ms X] [--only TEXT]
//                 [--extra-rows FILE]
//        qx_bench --only TEXT --profile module|interp [--iterations N]
// The second form runs one side of the selected cases and prints nothing, for
// a profiler (the difference of two runs with different N gives the cost of
// one iteration).
// --extra-rows prepends rows measured elsewhere (pyperf's, see table.cpp for
// the format), so that one table shows every case.
//
// Here: the options and the run. The harness (timing, allocation counting,
// the table) is in harness.h, the objects the cases share in bench.h and
// setup.cpp, and each family of cases in its own *_cases.cpp.
#include <Python.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "bench/harness.h"
#include "module/init.h"

namespace qxbench {
namespace {

bool ParseOptions(int argc, char** argv, Options* opt) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (a == "--quick") {
      opt->quick = true;
    } else if (a == "--rounds") {
      const char* v = value();
      long rounds = 0;
      if (v == nullptr || !ParseLong(v, &rounds)) return false;
      opt->rounds = static_cast<int>(std::clamp(rounds, 1L, 1000000L));
    } else if (a == "--sample-ms") {
      const char* v = value();
      if (v == nullptr || !ParseDouble(v, &opt->sample_ms)) return false;
    } else if (a == "--only") {
      const char* v = value();
      if (v == nullptr) return false;
      opt->only = v;
    } else if (a == "--profile") {
      const char* v = value();
      if (v == nullptr || (std::strcmp(v, "module") != 0 && std::strcmp(v, "interp") != 0)) return false;
      opt->profile_side = v;
    } else if (a == "--iterations") {
      const char* v = value();
      if (v == nullptr || !ParseLong(v, &opt->iterations)) return false;
      opt->iterations = std::max(0L, opt->iterations);
    } else if (a == "--extra-rows") {
      const char* v = value();
      if (v == nullptr) return false;
      opt->extra_rows = v;
    } else {
      return false;
    }
  }
  if (opt->quick) {
    opt->rounds = std::min(opt->rounds, 3);
    opt->sample_ms = std::min(opt->sample_ms, 0.05);
  }
  return true;
}

int Main(int argc, char** argv) {
  Bench bench;
  if (!ParseOptions(argc, argv, &bench.opt)) {
    std::fprintf(stderr,
                 "usage: qx_bench [--quick] [--rounds N] [--sample-ms X] [--only TEXT] [--extra-rows FILE]\n"
                 "       qx_bench --only TEXT --profile module|interp [--iterations N]\n");
    return 2;
  }
  std::vector<Row> extra;
  if (!bench.opt.extra_rows.empty() && !ReadExtraRows(bench.opt.extra_rows, &extra)) return 1;

  Py_InitializeEx(0);
  // Paused for the whole run: the fallback base class survives only in its
  // own cycles, and no collection should land inside a sample.
  PyGC_Disable();
  PyObject* module = PyInit_weekdays();
  if (module == nullptr) {
    PyErr_Print();
    return 1;
  }
  bool ok = bench.Setup() && bench.TimedCases();
  if (ok && !bench.opt.profile_side.empty()) return 0;
  if (ok) {
    InstallHook();
    ok = bench.AllocationCases();
    RemoveHook();
  }
  if (!ok) return 1;

  std::vector<Row> rows = extra;
  rows.insert(rows.end(), bench.rows.begin(), bench.rows.end());
  if (bench.opt.quick) {
    // A smoke run's numbers are noise: ratios and verdicts would only mislead.
    PrintTable(rows, false);
    std::printf("\n%d case(s) run (quick mode: no ratios or verdicts, the numbers are not measurements)\n",
                static_cast<int>(rows.size()));
  } else {
    PrintTable(rows, true);
    int misses = 0;
    for (const Row& r : rows) misses += r.result == "MISS";
    std::printf("\n%d case(s), %d goal(s) missed\n", static_cast<int>(rows.size()), misses);
  }
  std::fflush(stdout);
  // No finalization: the module's state lives for the life of the process.
  return 0;
}

}  // namespace
}  // namespace qxbench

int main(int argc, char** argv) { return qxbench::Main(argc, argv); }
