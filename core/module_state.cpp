#include "core/module_state.h"

#include <cassert>
#include <cstddef>
#include <cstring>

namespace qx {

ModuleState g_state;
Mutex g_traceback_mutex;
Mutex g_shared_fields_mutex;
InitialisationClaim g_init_claim;

void InitialisationClaim::Take() noexcept {
  assert(holder_.load(std::memory_order_relaxed) == 0 && "one sequence at a time");
  holder_.store(PyThread_get_thread_ident(), std::memory_order_relaxed);
}

void InitialisationClaim::Give() noexcept { holder_.store(0, std::memory_order_relaxed); }

bool InitialisationClaim::HeldByAnyThread() const noexcept {
  return holder_.load(std::memory_order_relaxed) != 0;
}

bool InitialisationClaim::HeldByThisThread() const noexcept {
  return holder_.load(std::memory_order_relaxed) == PyThread_get_thread_ident();
}

void InitialisationClaim::AssertHeld() const noexcept {
  assert(HeldByThisThread() && "only the thread that runs the initialisation sequence");
}

namespace {

// What the state held when it was last forgotten; never released.
ModuleState g_forgotten;

// Everything forgotten stays reachable from here: kept on purpose, so leak
// checkers must not call it lost. Raw memory, as the interpreter that owned
// the objects may be gone; if it cannot grow, the object is simply leaked.
void** g_kept = nullptr;
std::size_t g_kept_count = 0;

void KeepForever(void* p) noexcept {
  void** grown = static_cast<void**>(PyMem_RawRealloc(g_kept, (g_kept_count + 1) * sizeof(void*)));
  if (grown == nullptr) return;
  g_kept = grown;
  g_kept[g_kept_count++] = p;
}

// The field of g_forgotten at the place of slot in g_state.
PyObject** ForgottenSlot(PyObject* const* slot) noexcept {
  const std::ptrdiff_t offset = reinterpret_cast<const char*>(slot) - reinterpret_cast<const char*>(&g_state);
  assert(offset >= 0 && static_cast<std::size_t>(offset) + sizeof(PyObject*) <= sizeof(ModuleState) &&
         "a slot of g_state");
  return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(&g_forgotten) + offset);
}

}  // namespace

void ForgetObjects() noexcept {
  // An earlier generation's objects that were never replaced.
  if (void* copy = PyMem_RawMalloc(sizeof(ModuleState)); copy != nullptr) {
    std::memcpy(copy, static_cast<const void*>(&g_forgotten), sizeof(ModuleState));
    KeepForever(copy);
  }
  // Empty is a valid state for these two: no import completed, no entry
  // cached. Their objects (and the cache's array) are leaked.
  MutexGuard guard(g_traceback_mutex);
  g_forgotten = g_state;
  g_state.module = nullptr;
  g_state.code_cache = CodeObjectCache{};
}

bool IsForgotten(PyObject* const* slot) noexcept { return *slot != nullptr && *slot == *ForgottenSlot(slot); }

void ReplaceOwned(PyObject** slot, PyObject* value) noexcept {
  // The same object is not stored again: readers on other threads may hold
  // it borrowed (a static type), and a retry mostly finds the same one.
  if (*slot == value && !IsForgotten(slot)) {
    Py_DECREF(value);  // the field's own reference stays
    return;
  }
  PyObject* old;
  {
    MutexGuard guard(g_shared_fields_mutex);
    old = *slot;
    *slot = value;
  }
  if (old == nullptr) return;
  PyObject** forgotten = ForgottenSlot(slot);
  if (*forgotten == old) {
    *forgotten = nullptr;  // left alone: kept, never released
    KeepForever(old);
  } else {
    Py_DECREF(old);
  }
}

PyObject* ReadShared(PyObject* const* slot) noexcept {
  MutexGuard guard(g_shared_fields_mutex);
  return Py_XNewRef(*slot);
}

}  // namespace qx
