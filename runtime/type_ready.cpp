#include "runtime/type_ready.h"

#include "core/owned_state.h"
#include "runtime/compat.h"

namespace qx {

namespace {

// The types whose readying failed; the module has two static types, and the
// tests a few more. Only the initialisation sequence readies types.
constexpr int kMaxFailedTypes = 8;
PyTypeObject* g_failed_types[kMaxFailedTypes] QX_GUARDED_BY(g_init_claim);
int g_failed_count QX_GUARDED_BY(g_init_claim) = 0;

bool HasFailed(PyTypeObject* type) noexcept QX_REQUIRES(g_init_claim) {
  for (int i = 0; i < g_failed_count; ++i) {
    if (g_failed_types[i] == type) return true;
  }
  return false;
}

}  // namespace

int ReadyStaticType(PyTypeObject* type) noexcept {
  g_init_claim.AssertHeld();
  if (!compat::kTypeReadyRetryable && HasFailed(type)) {
    PyErr_Format(PyExc_ImportError, "type %.200s could not be made ready earlier in this process",
                 type->tp_name);
    return -1;
  }
  if (PyType_Ready(type) == 0) return 0;
  // Past the table's end a type is simply not remembered; that cannot happen
  // with the module's own types.
  if (!compat::kTypeReadyRetryable && g_failed_count < kMaxFailedTypes) {
    g_failed_types[g_failed_count++] = type;
  }
  return -1;
}

}  // namespace qx
