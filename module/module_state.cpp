#include "module/module_state.h"

#include <cstddef>

namespace qx {

ModuleState g_state;

const char* const kFileNameTable[2] = {"enumsupport", "quendrix\\core\\enums\\weekdays"};

namespace {

// What the state held when it was last forgotten; never released.
ModuleState g_forgotten;

// The field of g_forgotten at the place of slot in g_state.
PyObject** ForgottenSlot(PyObject* const* slot) noexcept {
  const std::ptrdiff_t offset = reinterpret_cast<const char*>(slot) - reinterpret_cast<const char*>(&g_state);
  return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(&g_forgotten) + offset);
}

}  // namespace

void ForgetObjects() noexcept {
  g_forgotten = g_state;
  // Empty is a valid state for these two: no import completed, no entry
  // cached. Their objects (and the cache's array) are leaked.
  g_state.module = nullptr;
  g_state.code_cache = CodeObjectCache{};
}

bool IsForgotten(PyObject* const* slot) noexcept { return *slot != nullptr && *slot == *ForgottenSlot(slot); }

void ReplaceOwned(PyObject** slot, PyObject* value) noexcept {
  PyObject* old = *slot;
  *slot = value;
  if (old == nullptr) return;
  PyObject** forgotten = ForgottenSlot(slot);
  if (*forgotten == old) {
    *forgotten = nullptr;  // left alone: leaked, not released
  } else {
    Py_DECREF(old);
  }
}

}  // namespace qx
