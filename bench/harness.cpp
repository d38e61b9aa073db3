// The interleaved rounds and the allocation counter.
#include "bench/harness.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace qxbench {

bool Fail(const std::string& what) {
  std::fprintf(stderr, "qx_bench: %s failed\n", what.c_str());
  if (PyErr_Occurred()) PyErr_Print();
  return false;
}

namespace {

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string FormatGoal(double goal) {
  char buf[32];
  std::snprintf(buf, sizeof(buf), "<= %.2f", goal);
  return buf;
}

}  // namespace

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
// The allocation hook.

bool g_counting = false;
long g_allocations = 0;

namespace {

struct AllocHook {
  PyMemAllocatorEx original[3];
  bool installed = false;
};
AllocHook g_hook;

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

}  // namespace

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

}  // namespace qxbench
