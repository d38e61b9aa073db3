// The owner binding: which interpreter the state's objects belong to, and
// the claim that lets one call of the entry run the sequence.
#include "module/owner.h"

#include <atomic>
#include <cstdint>

#include "core/name_table.h"
#include "core/owned_state.h"
#include "core/sync.h"
#include "module/module_state.h"
#include "runtime/ref.h"
#include "runtime/traceback.h"

namespace qx {

namespace {

// The interpreter that holds the state. The rooms' objects belong to the
// interpreter whose import made them, the owner; no other may use them. The
// owner holds the module from a successful import until it ends; a failed
// import holds nothing. Another interpreter then takes over: the owner's
// objects are forgotten (never released: the owner's runtime may be gone)
// and the sequence runs afresh. Every decision about owners is made by the
// claim below, under the binding's lock, in plain C steps; the marker's
// destructor only records, in one atomic step, that the owner ended.

constexpr const char* kOwnerMarkerName = "quendrix.core.enums.weekdays owner";

struct OwnerBinding {
  Mutex mutex;
  // The interpreter whose import made the state's objects (-1: none yet).
  // It holds the module while g_module.module is set, until it ends.
  int64_t owner_id QX_GUARDED_BY(mutex) = -1;
  // The marker left in the owner's interpreter dictionary (borrowed, only
  // compared, never dereferenced); null before one is left; kOwnerGone once
  // its destruction said that the owner ended. Written under `mutex`, but
  // for that one change, which the marker's destructor makes without it (a
  // destructor run as an interpreter ends must not wait for a lock that a
  // thread stopped by the ending may hold).
  std::atomic<PyObject*> owner_marker = nullptr;
};

OwnerBinding g_binding;

// The marker's value once its interpreter dropped it. Never dereferenced.
PyObject* const kOwnerGone = reinterpret_cast<PyObject*>(&g_binding);

// Run when the owner's interpreter dictionary drops the marker: the
// interpreter is ending (or replaced the marker), on whatever thread
// finalises it. Touches no object and takes no lock: one exchange, which
// does nothing for a marker an earlier owner left.
void OnOwnerGone(PyObject* marker) noexcept {
  g_binding.owner_marker.compare_exchange_strong(marker, kOwnerGone);
}

// Leaves a marker in the current interpreter's dictionary (a place only C
// code reaches), under the module's name. 0, or -1 with an exception. Makes
// and stores objects, so the binding's lock is taken only to record it.
int MarkOwner() noexcept QX_EXCLUDES(g_binding.mutex) {
  PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());  // borrowed
  if (dict == nullptr) {
    PyErr_NoMemory();  // the only reason it has none
    return -1;
  }
  Ref marker = Ref::steal(PyCapsule_New(&g_binding, kOwnerMarkerName, OnOwnerGone));
  if (!marker) return -1;
  // Recorded first: a marker this one replaces must see that it is not
  // current when the store releases it.
  {
    MutexGuard guard(g_binding.mutex);
    g_binding.owner_marker.store(marker.get());
  }
  if (PyDict_SetItemString(dict, kModuleDottedName, marker.get()) < 0) {
    MutexGuard guard(g_binding.mutex);
    g_binding.owner_marker.store(nullptr);
    return -1;
  }
  return 0;
}

// Another interpreter takes over: every room's objects are forgotten, the
// code-object cache starts empty, and no module is held. Plain C steps.
void ForgetObjects() noexcept {
  ForgetOwnedObjects();
  ForgetCodeCache();
  g_module.module = nullptr;
}

}  // namespace

// The refusal of a call made while the sequence runs.
void RefuseWhileInitialising() noexcept {
  PyErr_Format(PyExc_ImportError,
               "cannot import %s while it is being initialised (most likely due to a circular import)",
               kModuleDottedName);
}

Claim ClaimState(PyObject** ready) noexcept QX_EXCLUDES(g_binding.mutex) {
  const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return Claim::kRefused;
  enum { kDecided, kHeldElsewhere, kRunning } refusal = kDecided;
  int64_t holder = -1;
  bool mark = false;
  {
    MutexGuard guard(g_binding.mutex);
    if (g_binding.owner_id >= 0 && g_binding.owner_id != id) {
      if (g_init_claim.HeldByAnyThread() ||
          (g_module.module != nullptr && g_binding.owner_marker != kOwnerGone)) {
        refusal = kHeldElsewhere;
        holder = g_binding.owner_id;
      } else {
        ForgetObjects();
        g_binding.owner_id = -1;
        g_binding.owner_marker.store(nullptr);
      }
    }
    if (refusal == kDecided) {
      if (g_init_claim.HeldByAnyThread()) {
        refusal = kRunning;
      } else if (g_module.module != nullptr) {
        // The state keeps its own reference: later calls of the module's
        // functions use the module after every importer has dropped it.
        *ready = Py_NewRef(g_module.module);
        return Claim::kReady;
      } else {
        mark = g_binding.owner_id != id || g_binding.owner_marker == nullptr;
        g_init_claim.Take();
      }
    }
  }
  switch (refusal) {
    case kHeldElsewhere:
      PyErr_Format(PyExc_ImportError,
                   "module %s was first imported in another interpreter (ID %lld) and cannot be loaded in "
                   "this one (ID %lld) while that one exists",
                   kModuleDottedName, static_cast<long long>(holder), static_cast<long long>(id));
      return Claim::kRefused;
    case kRunning:
      // Python code that the body runs imported the module again (or, where
      // the import system's lock could not be taken, another thread did).
      RefuseWhileInitialising();
      return Claim::kRefused;
    case kDecided:
      break;
  }
  if (mark) {
    if (MarkOwner() < 0) {
      MutexGuard guard(g_binding.mutex);
      g_init_claim.Give();
      return Claim::kRefused;
    }
    MutexGuard guard(g_binding.mutex);
    g_binding.owner_id = id;
  }
  return Claim::kRun;
}

void EndClaim() noexcept QX_EXCLUDES(g_binding.mutex) {
  MutexGuard guard(g_binding.mutex);
  g_init_claim.Give();
}

}  // namespace qx
