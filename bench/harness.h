// The measuring harness: timed cases with two sides run in interleaved
// rounds, the rows of the result table, and the allocation counter.
#pragma once

#include <Python.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

namespace qxbench {

struct Options {
  bool quick = false;
  int rounds = 41;
  double sample_ms = 2.0;
  std::string only;
  std::string extra_rows;
  // Profiling aid: run only this side ("module" or "interp") of the selected
  // timed cases, for `iterations` iterations, and print no table.
  std::string profile_side;
  long iterations = 100000;
};

struct Row {
  std::string name;
  std::string module_side;
  std::string interp_side;
  std::string unit;
  double module_value = 0;
  double interp_value = 0;
  // Standard deviations, shown after the values when known (pyperf's rows).
  double module_stdev = std::nan("");
  double interp_stdev = std::nan("");
  double ratio = 0;
  std::string goal;
  std::string result;
};

// Runs `iterations` iterations of one side and returns the elapsed seconds,
// or a negative value when a Python error stopped it (the error stays set).
using Runner = std::function<double(long iterations)>;

struct Side {
  std::string label;
  Runner run;
  int ops_per_iteration = 1;
};

struct TimedCase {
  std::string name;
  Side module;
  Side interp;
  double goal;              // largest acceptable ratio; NaN: reported only
  long max_iterations = 0;  // 0: no cap
};

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point t0, Clock::time_point t1) {
  return std::chrono::duration<double>(t1 - t0).count();
}

// A runner for a plain C++ loop body that cannot fail.
template <typename Body>
Runner Loop(Body body) {
  return [body](long n) {
    const auto t0 = Clock::now();
    for (long i = 0; i < n; ++i) body();
    return Seconds(t0, Clock::now());
  };
}

// A runner for a loop body that returns a new reference (null: error).
template <typename Body>
Runner ObjectLoop(Body body) {
  return [body](long n) {
    const auto t0 = Clock::now();
    for (long i = 0; i < n; ++i) {
      PyObject* r = body();
      if (r == nullptr) return -1.0;
      Py_DECREF(r);
    }
    return Seconds(t0, Clock::now());
  };
}

// Reports a failed step (and the Python error, if any); returns false.
bool Fail(const std::string& what);

// Calibrates, runs the rounds of `c` and fills `row`; false on an error.
bool RunTimed(const TimedCase& c, const Options& opt, Row* row);

// Rows measured elsewhere, one tab-separated line each.
bool ReadExtraRows(const std::string& path, std::vector<Row>* rows);
// Without verdicts (a smoke run): no ratio, goal and result columns.
void PrintTable(const std::vector<Row>& rows, bool verdicts);

// Whole-text number parsing (atof and atoi would read garbage as 0).
bool ParseDouble(const char* text, double* out);
bool ParseLong(const char* text, long* out);

// Allocation counting: a hook over the three allocator domains that counts
// every malloc, calloc and realloc while counting is on.
extern bool g_counting;
extern long g_allocations;
void InstallHook();
void RemoveHook();

// Allocations per call of `body` (which returns false on a Python error),
// after one warm-up call outside the count.
template <typename Body>
bool CountAllocations(long calls, Body body, double* per_call) {
  if (!body()) return false;
  g_allocations = 0;
  g_counting = true;
  bool ok = true;
  for (long i = 0; i < calls && ok; ++i) ok = body();
  g_counting = false;
  *per_call = static_cast<double>(g_allocations) / static_cast<double>(calls);
  return ok;
}

}  // namespace qxbench
