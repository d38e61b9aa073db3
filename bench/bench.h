// What the case families share: the options, the objects every family
// measures with, and the rows gathered so far. Each family lives in its own
// file (calls, parsing, enumerations, traceback entries, allocations).
#pragma once

#include <Python.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/harness.h"
#include "runtime/ref.h"

namespace qxbench {

struct Fixture {
  qx::Ref ns;  // the namespace of the Python-side loops (setup.cpp)
  PyObject* Fn(const char* name) const { return PyDict_GetItemString(ns.get(), name); }
};

struct Bench {
  Options opt;
  Fixture fx;
  qx::Ref fallback_enum;  // K: 7 members on __Qx_EnumBase
  qx::Ref int_enum;       // E: Weekdays
  qx::Ref qx_o, builtin_o, qx_noargs, builtin_noargs, qx_unpack, builtin_parse;
  qx::Ref four, wednesday, small_int, one_arg, exc_value;
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
  bool TimedCases() { return CallCases() && ParseCases() && EnumCases() && TracebackCases(); }
  bool CallCases();       // call_cases.cpp
  bool ParseCases();      // parse_cases.cpp
  bool EnumCases();       // enum_cases.cpp
  bool TracebackCases();  // traceback_cases.cpp
  // Counted under the allocation hook, after the timed ones.
  bool AllocationCases();  // alloc_cases.cpp
};

// The same trivial entry points behind the module's function type and behind
// an interpreter builtin (call_cases.cpp, parse_cases.cpp).
extern PyMethodDef kEntryODef;
extern PyMethodDef kEntryNoArgsDef;
extern PyMethodDef kEntryUnpackDef;
extern PyMethodDef kEntryParseDef;

// f(cls, value, name=None) parsed the module's way and the interpreter's way;
// 0 on success, -1 with an error set.
int UnpackThree(PyObject* args, PyObject* kwds) noexcept;
int ParseThree(PyObject* args, PyObject* kwds) noexcept;

}  // namespace qxbench
