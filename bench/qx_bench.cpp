// Measures the module's fast paths against what the interpreter offers for
// the same job, side by side in one process: both sides of a case are timed
// in interleaved rounds (their order alternating), and each case reports the
// medians of the per-operation times and the median of the per-round ratios.
// Allocation cases count allocator calls instead of time.
//
// Usage: qx_bench [--quick] [--rounds N] [--sample-ms X] [--only TEXT]
//                 [--extra-rows FILE]
//        qx_bench --only TEXT --profile module|interp [--iterations N]
// The second form runs one side of the selected cases and prints nothing, for
// a profiler (the difference of two runs with different N gives the cost of
// one iteration).
// --extra-rows prepends rows measured elsewhere (the import case, whose two
// sides need fresh processes); each line: case, module side, interpreter
// side, unit, module value, interpreter value, ratio, goal, result (tabs).
#include <Python.h>
#include <frameobject.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "function/function_object.h"
#include "module/module_state.h"
#include "runtime/arg_parsing.h"
#include "runtime/conversions.h"
#include "runtime/lookups.h"
#include "runtime/ref.h"
#include "runtime/traceback.h"

using qx::g_state;
using qx::Ref;

namespace {

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

double Seconds(Clock::time_point t0, Clock::time_point t1) {
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

// A runner that calls a Python function fn(*args, iterations); the function
// repeats its statement kUnroll times per iteration.
constexpr int kUnroll = 10;
Runner PythonLoop(PyObject* fn, const std::vector<PyObject*>& args) {
  return [fn, args](long n) {
    Ref count = Ref::steal(PyLong_FromLong(n));
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(args.size()) + 1));
    if (!count || !tuple) return -1.0;
    for (size_t i = 0; i < args.size(); ++i) {
      PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), Py_NewRef(args[i]));
    }
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(args.size()), count.release());
    const auto t0 = Clock::now();
    Ref r = Ref::steal(PyObject_Call(fn, tuple.get(), nullptr));
    const auto t1 = Clock::now();
    return r ? Seconds(t0, t1) : -1.0;
  };
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

bool Fail(const std::string& what) {
  std::fprintf(stderr, "qx_bench: %s failed\n", what.c_str());
  if (PyErr_Occurred()) PyErr_Print();
  return false;
}

std::string FormatGoal(double goal) {
  char buf[32];
  std::snprintf(buf, sizeof(buf), "<= %.2f", goal);
  return buf;
}

// Chooses the iteration count so that one sample of the slower side lasts
// about sample_ms, then runs the rounds, alternating which side goes first.
bool RunTimed(const TimedCase& c, const Options& opt, Row* row) {
  long n = 1;
  for (;;) {
    const double a = c.module.run(n);
    const double b = c.interp.run(n);
    if (a < 0 || b < 0) return Fail(c.name + " (calibration)");
    if (std::max(a, b) * 1e3 >= opt.sample_ms) break;
    if (c.max_iterations != 0 && n >= c.max_iterations) break;
    n *= 2;
    if (c.max_iterations != 0) n = std::min(n, c.max_iterations);
  }
  std::vector<double> a_ns, b_ns, ratios;
  for (int r = 0; r < opt.rounds; ++r) {
    double a, b;
    if (r % 2 == 0) {
      a = c.module.run(n);
      b = c.interp.run(n);
    } else {
      b = c.interp.run(n);
      a = c.module.run(n);
    }
    if (a < 0 || b < 0) return Fail(c.name);
    const double ea = a * 1e9 / (static_cast<double>(n) * c.module.ops_per_iteration);
    const double eb = b * 1e9 / (static_cast<double>(n) * c.interp.ops_per_iteration);
    a_ns.push_back(ea);
    b_ns.push_back(eb);
    ratios.push_back(ea / eb);
  }
  row->name = c.name;
  row->module_side = c.module.label;
  row->interp_side = c.interp.label;
  row->unit = "ns/op";
  row->module_value = Median(a_ns);
  row->interp_value = Median(b_ns);
  row->ratio = Median(ratios);
  if (std::isnan(c.goal)) {
    row->goal = "report";
    row->result = "info";
  } else {
    row->goal = FormatGoal(c.goal);
    row->result = row->ratio <= c.goal ? "pass" : "MISS";
  }
  return true;
}

// ---------------------------------------------------------------------------
// Allocation counting: a hook over the three allocator domains that counts
// every malloc, calloc and realloc while counting is on.

struct AllocHook {
  PyMemAllocatorEx original[3];
  bool installed = false;
};
AllocHook g_hook;
bool g_counting = false;
long g_allocations = 0;

void* HookMalloc(void* ctx, size_t size) noexcept {
  auto* a = static_cast<PyMemAllocatorEx*>(ctx);
  if (g_counting) ++g_allocations;
  return a->malloc(a->ctx, size);
}
void* HookCalloc(void* ctx, size_t nelem, size_t elsize) noexcept {
  auto* a = static_cast<PyMemAllocatorEx*>(ctx);
  if (g_counting) ++g_allocations;
  return a->calloc(a->ctx, nelem, elsize);
}
void* HookRealloc(void* ctx, void* ptr, size_t size) noexcept {
  auto* a = static_cast<PyMemAllocatorEx*>(ctx);
  if (g_counting) ++g_allocations;
  return a->realloc(a->ctx, ptr, size);
}
void HookFree(void* ctx, void* ptr) noexcept {
  auto* a = static_cast<PyMemAllocatorEx*>(ctx);
  a->free(a->ctx, ptr);
}

constexpr PyMemAllocatorDomain kDomains[3] = {PYMEM_DOMAIN_RAW, PYMEM_DOMAIN_MEM, PYMEM_DOMAIN_OBJ};

void InstallHook() {
  for (int d = 0; d < 3; ++d) {
    PyMem_GetAllocator(kDomains[d], &g_hook.original[d]);
    PyMemAllocatorEx hook = {&g_hook.original[d], HookMalloc, HookCalloc, HookRealloc, HookFree};
    PyMem_SetAllocator(kDomains[d], &hook);
  }
  g_hook.installed = true;
}

void RemoveHook() {
  if (!g_hook.installed) return;
  for (int d = 0; d < 3; ++d) PyMem_SetAllocator(kDomains[d], &g_hook.original[d]);
  g_hook.installed = false;
}

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

// ---------------------------------------------------------------------------
// The pieces under test.

// The same trivial entry points for the module's function type and for the
// interpreter's builtin functions.
PyObject* EntryO(PyObject* /*self*/, PyObject* arg) noexcept { return Py_NewRef(arg); }
PyObject* EntryNoArgs(PyObject* /*self*/, PyObject* /*unused*/) noexcept { return Py_NewRef(Py_None); }

PyMethodDef kEntryODef = {"f", EntryO, METH_O, nullptr};
PyMethodDef kEntryNoArgsDef = {"f", EntryNoArgs, METH_NOARGS, nullptr};

// Three parameters, two required: f(cls, value, name=None).
PyObject** const kParseNames[] = {&g_state.names.cls, &g_state.names.value, &g_state.names.name, nullptr};
constexpr int kParseMissingLines[] = {1, 2, 3};
const qx::ArgSpec kParseParams = {"f", kParseNames, 2, 3, kParseMissingLines, 4, 5};

char kKwCls[] = "cls";
char kKwValue[] = "value";
char kKwName[] = "name";
char* kKwList[] = {kKwCls, kKwValue, kKwName, nullptr};

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

PyObject* EntryUnpack(PyObject* /*self*/, PyObject* args, PyObject* kwds) noexcept {
  return UnpackThree(args, kwds) < 0 ? nullptr : Py_NewRef(Py_None);
}
PyObject* EntryParse(PyObject* /*self*/, PyObject* args, PyObject* kwds) noexcept {
  return ParseThree(args, kwds) < 0 ? nullptr : Py_NewRef(Py_None);
}
PyMethodDef kEntryUnpackDef = {"f", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(EntryUnpack)),
                               METH_VARARGS | METH_KEYWORDS, nullptr};
PyMethodDef kEntryParseDef = {"f", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(EntryParse)),
                              METH_VARARGS | METH_KEYWORDS, nullptr};

// Python-side loops; each repeats its statement kUnroll (10) times.
constexpr const char* kPythonSource = R"PY(
import gc

def call_one(f, x, n):
    for _ in range(n):
        f(x); f(x); f(x); f(x); f(x); f(x); f(x); f(x); f(x); f(x)

def call_none(f, n):
    for _ in range(n):
        f(); f(); f(); f(); f(); f(); f(); f(); f(); f()

def call_keywords(f, n):
    for _ in range(n):
        f(1, value=2, name=3); f(1, value=2, name=3); f(1, value=2, name=3)
        f(1, value=2, name=3); f(1, value=2, name=3); f(1, value=2, name=3)
        f(1, value=2, name=3); f(1, value=2, name=3); f(1, value=2, name=3)
        f(1, value=2, name=3)

def by_value(E, v, n):
    for _ in range(n):
        E(v); E(v); E(v); E(v); E(v); E(v); E(v); E(v); E(v); E(v)

def by_name(E, k, n):
    for _ in range(n):
        E[k]; E[k]; E[k]; E[k]; E[k]; E[k]; E[k]; E[k]; E[k]; E[k]

NAMES = ("Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday")

def fallback_base():
    # Released by the module once IntEnum replaces it, the class lives on in
    # its own reference cycles while the collector is paused.
    found = [c for c in int.__subclasses__() if c.__name__ == "__Qx_EnumBase"]
    return found[0]

def make_fallback_enum(base):
    class K(base):
        pass
    for value, name in enumerate(NAMES, 1):
        K(value, name)
    return K
)PY";

struct Fixture {
  Ref ns;  // the namespace of kPythonSource
  PyObject* Fn(const char* name) const { return PyDict_GetItemString(ns.get(), name); }
};

// ---------------------------------------------------------------------------
// Traceback entries.

constexpr const char* kTracebackFunction = "EnumBase.__Qx_EnumMeta.__getitem__";

// Swaps in an empty code-object cache; the destructor releases what the
// scratch cache collected and puts the real one back.
class ScratchCache {
 public:
  ScratchCache() : saved_(g_state.code_cache) { g_state.code_cache = {0, 0, nullptr}; }
  ~ScratchCache() {
    for (int32_t i = 0; i < g_state.code_cache.count; ++i) {
      Py_DECREF(g_state.code_cache.entries[i].code_object);
    }
    PyMem_Free(g_state.code_cache.entries);
    g_state.code_cache = saved_;
  }
  ScratchCache(const ScratchCache&) = delete;
  ScratchCache& operator=(const ScratchCache&) = delete;

 private:
  qx::CodeObjectCache saved_;
};

// One failure reported the module's way: the exception is raised, the entry
// appended, and the exception taken out again (releasing its traceback).
struct Failure {
  PyObject* value;  // a ValueError instance, borrowed
  bool Report(int32_t source_line, int32_t impl_line) const {
    PyErr_Restore(Py_NewRef(PyExc_ValueError), Py_NewRef(value), nullptr);
    qx::AddTraceback(kTracebackFunction, {qx::SourceFile::EnumSupport, source_line, impl_line});
    return Drain();
  }
  // The interpreter's own share of an entry: a frame for an existing code
  // object and the traceback record that links it.
  bool FrameAndTraceback(PyObject* code) const {
    PyErr_Restore(Py_NewRef(PyExc_ValueError), Py_NewRef(value), nullptr);
    PyFrameObject* frame =
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), g_state.module_dict, nullptr);
    if (frame == nullptr) return false;
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
    return Drain();
  }
  static bool Drain() {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    const bool ok = t == PyExc_ValueError && tb != nullptr;
    Py_XDECREF(t);
    Py_XDECREF(v);
    Py_XDECREF(tb);
    return ok;
  }
};

// The site every "hit" reports: the metaclass's item lookup.
constexpr int32_t kHitSourceLine = 22;
constexpr int32_t kHitImplLine = 1715;
constexpr int32_t kMissImplLine = 9000;

// ---------------------------------------------------------------------------

struct Bench {
  Options opt;
  Fixture fx;
  Ref enum_meta_module;
  Ref fallback_enum;  // K: 7 members on __Qx_EnumBase
  Ref int_enum;       // E: Weekdays
  Ref qx_o, builtin_o, qx_noargs, builtin_noargs, qx_unpack, builtin_parse;
  Ref four, wednesday, small_int, one_arg, exc_value;
  Ref parse_args, parse_kwds, all_kw_args, all_kw_kwds;
  std::vector<Row> rows;

  bool Wanted(const std::string& name) const {
    return opt.only.empty() || name.find(opt.only) != std::string::npos;
  }

  bool Setup();
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
  bool TimedCases();
  bool AllocationCases();
};

bool Bench::Setup() {
  fx.ns = Ref::steal(PyDict_New());
  if (!fx.ns || PyDict_SetItemString(fx.ns.get(), "__builtins__", PyEval_GetBuiltins()) < 0) {
    return Fail("namespace");
  }
  Ref r = Ref::steal(PyRun_String(kPythonSource, Py_file_input, fx.ns.get(), fx.ns.get()));
  if (!r) return Fail("Python helpers");

  Ref base = Ref::steal(PyObject_CallNoArgs(fx.Fn("fallback_base")));
  if (!base) return Fail("finding __Qx_EnumBase");
  fallback_enum = Ref::steal(PyObject_CallOneArg(fx.Fn("make_fallback_enum"), base.get()));
  if (!fallback_enum) return Fail("building the fallback enumeration");
  int_enum = Ref::steal(qx::LookupModuleGlobal(g_state.names.Weekdays));
  if (!int_enum) return Fail("Weekdays");

  Ref qualname = Ref::steal(PyUnicode_FromString("f"));
  Ref modname = Ref::steal(PyUnicode_FromString("qx_bench"));
  if (!qualname || !modname) return Fail("names");
  auto qx_function = [&](PyMethodDef* def) {
    return Ref::steal(
        qx::QxFunctionNew(def, 0, qualname.get(), nullptr, modname.get(), g_state.module_dict, nullptr));
  };
  auto builtin = [&](PyMethodDef* def) { return Ref::steal(PyCFunction_NewEx(def, nullptr, modname.get())); };
  qx_o = qx_function(&kEntryODef);
  builtin_o = builtin(&kEntryODef);
  qx_noargs = qx_function(&kEntryNoArgsDef);
  builtin_noargs = builtin(&kEntryNoArgsDef);
  qx_unpack = qx_function(&kEntryUnpackDef);
  builtin_parse = builtin(&kEntryParseDef);
  if (!qx_o || !builtin_o || !qx_noargs || !builtin_noargs || !qx_unpack || !builtin_parse) {
    return Fail("function objects");
  }

  four = Ref::steal(PyLong_FromLong(4));
  wednesday = Ref::borrow(g_state.names.Wednesday);
  small_int = Ref::steal(PyLong_FromLong(12345));
  if (small_int) one_arg = Ref::steal(PyTuple_Pack(1, small_int.get()));
  exc_value = Ref::steal(PyObject_CallOneArg(PyExc_ValueError, g_state.names.Weekdays));
  // f(1, value=2, name=3): keys are the interned names, as Python code
  // passes them; and f(cls=1, value=2, name=3).
  parse_args = Ref::steal(Py_BuildValue("(i)", 1));
  parse_kwds = Ref::steal(PyDict_New());
  all_kw_args = Ref::borrow(g_state.empty_tuple);
  all_kw_kwds = Ref::steal(PyDict_New());
  if (!four || !small_int || !one_arg || !exc_value || !parse_args || !parse_kwds || !all_kw_kwds) {
    return Fail("constants");
  }
  Ref one = Ref::steal(PyLong_FromLong(1)), two = Ref::steal(PyLong_FromLong(2)),
      three = Ref::steal(PyLong_FromLong(3));
  if (PyDict_SetItem(parse_kwds.get(), g_state.names.value, two.get()) < 0 ||
      PyDict_SetItem(parse_kwds.get(), g_state.names.name, three.get()) < 0 ||
      PyDict_SetItem(all_kw_kwds.get(), g_state.names.cls, one.get()) < 0 ||
      PyDict_SetItem(all_kw_kwds.get(), g_state.names.value, two.get()) < 0 ||
      PyDict_SetItem(all_kw_kwds.get(), g_state.names.name, three.get()) < 0) {
    return Fail("keyword dictionaries");
  }
  // Both parsers must accept the calls being timed.
  if (UnpackThree(parse_args.get(), parse_kwds.get()) < 0 ||
      ParseThree(parse_args.get(), parse_kwds.get()) < 0 ||
      UnpackThree(all_kw_args.get(), all_kw_kwds.get()) < 0 ||
      ParseThree(all_kw_args.get(), all_kw_kwds.get()) < 0) {
    return Fail("argument parsing check");
  }
  return true;
}

bool Bench::TimedCases() {
  const double kNoGoal = std::nan("");
  PyObject* x = small_int.get();

  // Function-object calls: the same entry point behind the module's function
  // type and behind an interpreter builtin.
  for (auto& [label, how] :
       std::vector<std::pair<std::string, int>>{{"call METH_O f(x), Python code", 0},
                                                {"call METH_O f(x), PyObject_Vectorcall", 1},
                                                {"call METH_O f(x), PyObject_Call", 2}}) {
    // Captured by copy through an initialiser: clang before 16 cannot name a
    // structured binding in a capture list, and the lint runs clang.
    auto side = [&, how = how](PyObject* f, const char* name) -> Side {
      if (how == 0) return {name, PythonLoop(fx.Fn("call_one"), {f, x}), kUnroll};
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
  for (auto& [label, how] :
       std::vector<std::pair<std::string, int>>{{"call METH_NOARGS f(), Python code", 0},
                                                {"call METH_NOARGS f(), PyObject_Vectorcall", 1},
                                                {"call METH_NOARGS f(), PyObject_Call", 2}}) {
    auto side = [&, how = how](PyObject* f, const char* name) -> Side {
      if (how == 0) return {name, PythonLoop(fx.Fn("call_none"), {f}), kUnroll};
      if (how == 1) return {name, ObjectLoop([f] { return PyObject_Vectorcall(f, nullptr, 0, nullptr); }), 1};
      PyObject* args = g_state.empty_tuple;
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

  // Argument parsing of f(cls, value, name=None).
  {
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
             {"builtin, PyArg_ParseTupleAndKeywords",
              PythonLoop(fx.Fn("call_keywords"), {builtin_parse.get()}), kUnroll},
             0.8})) {
      return false;
    }
  }

  // Fallback enumeration against IntEnum, from Python code.
  if (!AddTimed(
          {"enum K[name] vs E[name], Python code",
           {"__Qx_EnumBase K", PythonLoop(fx.Fn("by_name"), {fallback_enum.get(), wednesday.get()}), kUnroll},
           {"IntEnum E", PythonLoop(fx.Fn("by_name"), {int_enum.get(), wednesday.get()}), kUnroll},
           1.0})) {
    return false;
  }
  if (!AddTimed(
          {"enum K(value) vs E(value), Python code",
           {"__Qx_EnumBase K", PythonLoop(fx.Fn("by_value"), {fallback_enum.get(), four.get()}), kUnroll},
           {"IntEnum E", PythonLoop(fx.Fn("by_value"), {int_enum.get(), four.get()}), kUnroll},
           kNoGoal})) {
    return false;
  }

  // Traceback entries: a site that failed before against a first failure.
  {
    Failure failure{exc_value.get()};
    if (!failure.Report(kHitSourceLine, kHitImplLine)) return Fail("traceback warm-up");
    Runner hit = [failure](long n) {
      const auto t0 = Clock::now();
      for (long i = 0; i < n; ++i) {
        if (!failure.Report(kHitSourceLine, kHitImplLine)) return -1.0;
      }
      return Seconds(t0, Clock::now());
    };
    Runner miss = [failure](long n) {
      ScratchCache scratch;  // released outside the timed part
      const auto t0 = Clock::now();
      for (long i = 0; i < n; ++i) {
        if (!failure.Report(static_cast<int32_t>(i + 1), kMissImplLine)) return -1.0;
      }
      return Seconds(t0, Clock::now());
    };
    TimedCase c{"traceback entry, hit vs miss",
                {"repeat at one site (hit)", hit},
                {"first at a new site (miss)", miss},
                0.5,
                4096};
    if (!AddTimed(c)) return false;
  }
  return true;
}

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
  PyObject* module = g_state.module;
  PyObject* K = fallback_enum.get();
  Ref member = Ref::steal(PyObject_GetAttr(K, g_state.names.Monday));
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
  Ref cached_code = Ref::steal(qx::CodeCacheFind(
      kHitSourceLine, kTracebackFunction, qx::kFileNameTable[static_cast<int>(qx::SourceFile::EnumSupport)]));
  if (!cached_code) return Fail("cached traceback code object");
  PyObject* code = cached_code.get();
  int32_t next_line = 1;

  std::vector<AllocCase> cases = {
      {"allocs LookupModuleGlobal(Weekdays)", "LookupModuleGlobal", "PyObject_GetAttrString",
       [&] { return drop(qx::LookupModuleGlobal(g_state.names.Weekdays)); },
       [&] { return drop(PyObject_GetAttrString(module, "Weekdays")); }, 0},
      {"allocs GetAttrByStr: module, class, instance", "GetAttrByStr (tp_getattro)", "PyObject_GetAttrString",
       [&] {
         return drop(qx::GetAttrByStr(module, g_state.names.Weekdays)) &&
                drop(qx::GetAttrByStr(K, g_state.names.dunder_members)) &&
                drop(qx::GetAttrByStr(m, g_state.names.name));
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
      {"allocs traceback entry, cached", "AppendTracebackEntry (hit)", "PyFrame_New+PyTraceBack_Here",
       [&] { return failure.Report(kHitSourceLine, kHitImplLine); },
       [&] { return failure.FrameAndTraceback(code); }, -1},
      {"allocs traceback entry, uncached", "AppendTracebackEntry (miss)", "PyFrame_New+PyTraceBack_Here",
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

// Whole-text number parsing (atof and atoi would read garbage as 0).
bool ParseDouble(const char* text, double* out) {
  char* end = nullptr;
  errno = 0;
  *out = std::strtod(text, &end);
  return end != text && *end == '\0' && errno == 0;
}

bool ParseLong(const char* text, long* out) {
  char* end = nullptr;
  errno = 0;
  *out = std::strtol(text, &end, 10);
  return end != text && *end == '\0' && errno == 0;
}

bool ReadExtraRows(const std::string& path, std::vector<Row>* rows) {
  std::ifstream in(path);
  if (!in) {
    std::fprintf(stderr, "qx_bench: cannot read %s\n", path.c_str());
    return false;
  }
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    std::vector<std::string> f;
    std::stringstream ss(line);
    std::string cell;
    while (std::getline(ss, cell, '\t')) f.push_back(cell);
    if (f.size() != 9) {
      std::fprintf(stderr, "qx_bench: malformed row in %s: %s\n", path.c_str(), line.c_str());
      return false;
    }
    double values[3];
    for (int k = 0; k < 3; ++k) {
      if (!ParseDouble(f[4 + k].c_str(), &values[k])) {
        std::fprintf(stderr, "qx_bench: malformed number in %s: %s\n", path.c_str(), line.c_str());
        return false;
      }
    }
    Row r{f[0], f[1], f[2], f[3], values[0], values[1], values[2], f[7], f[8]};
    rows->push_back(r);
  }
  return true;
}

std::string Number(double v, const std::string& unit) {
  char buf[32];
  if (std::isnan(v)) return "-";
  if (unit == "allocs/call") {
    std::snprintf(buf, sizeof(buf), "%.2f", v);
  } else if (v >= 1e5) {
    std::snprintf(buf, sizeof(buf), "%.0f", v);
  } else {
    std::snprintf(buf, sizeof(buf), "%.1f", v);
  }
  return buf;
}

void PrintTable(const std::vector<Row>& rows) {
  std::vector<std::vector<std::string>> cells = {
      {"case", "module side", "interpreter side", "unit", "module", "interp", "ratio", "goal", "result"}};
  for (const Row& r : rows) {
    char ratio[32];
    if (std::isnan(r.ratio)) {
      std::snprintf(ratio, sizeof(ratio), "-");
    } else {
      std::snprintf(ratio, sizeof(ratio), "%.3f", r.ratio);
    }
    cells.push_back({r.name, r.module_side, r.interp_side, r.unit, Number(r.module_value, r.unit),
                     Number(r.interp_value, r.unit), ratio, r.goal, r.result});
  }
  std::vector<size_t> width(cells[0].size(), 0);
  for (const auto& line : cells) {
    for (size_t i = 0; i < line.size(); ++i) width[i] = std::max(width[i], line[i].size());
  }
  auto print_line = [&](const std::vector<std::string>& line) {
    std::string out;
    for (size_t i = 0; i < line.size(); ++i) {
      const bool numeric = i >= 4 && i <= 6;
      std::string pad(width[i] - line[i].size(), ' ');
      out += numeric ? pad + line[i] : line[i] + pad;
      if (i + 1 < line.size()) out += " | ";
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    std::printf("%s\n", out.c_str());
  };
  print_line(cells[0]);
  std::string rule;
  for (size_t i = 0; i < width.size(); ++i) {
    rule += std::string(width[i], '-');
    if (i + 1 < width.size()) rule += "-|-";
  }
  std::printf("%s\n", rule.c_str());
  for (size_t i = 1; i < cells.size(); ++i) print_line(cells[i]);
}

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

}  // namespace

int main(int argc, char** argv) {
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
  PrintTable(rows);
  int misses = 0;
  for (const Row& r : rows) misses += r.result == "MISS";
  std::printf("\n%d case(s), %d goal(s) missed%s\n", static_cast<int>(rows.size()), misses,
              bench.opt.quick ? " (quick mode: numbers are not meaningful)" : "");
  std::fflush(stdout);
  // No finalization: the module's state lives for the life of the process.
  return 0;
}
