// What the case families share: the options, the objects every family
// measures with, and the rows gathered so far. Each family lives in its own
// file (calls, parsing, traceback entries, allocations).
#pragma once

#include <Python.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/entry_points.h"
#include "bench/harness.h"
#include "runtime/ref.h"

namespace qxbench {

struct Bench {
  Options opt;
  qx::Ref fallback_enum;  // K: 7 members on __Qx_EnumBase
  qx::Ref qx_o, builtin_o, qx_noargs, builtin_noargs;
  qx::Ref small_int, one_arg, exc_value;
  qx::Ref parse_args, parse_kwds, all_kw_args, all_kw_kwds;
  std::vector<Row> rows;

  bool Wanted(const std::string& name) const {
    return opt.only.empty() || name.find(opt.only) != std::string::npos;
  }

  bool AddTimed(const TimedCase& c) {
    if (!Wanted(c.name)) return true;
    if (!opt.profile_side.empty()) {
      const Side& side = opt.profile_side == "module" ? c.module : c.interp;
      return side.run(opt.iterations) >= 0 || Fail(c.name);
    }
    Row row;
    if (!RunTimed(c, opt, &row)) return false;
    rows.push_back(row);
    std::fprintf(stderr, "  measured: %s\n", c.name.c_str());
    return true;
  }

  bool Setup();  // setup.cpp
  // The timed families, in the order of the table.
  bool TimedCases() { return CallCases() && ParseCases() && TracebackCases(); }
  bool CallCases();       // call_cases.cpp
  bool ParseCases();      // parse_cases.cpp
  bool TracebackCases();  // traceback_cases.cpp
  // Counted under the allocation hook, after the timed ones.
  bool AllocationCases();  // alloc_cases.cpp
};

}  // namespace qxbench
