#include "core/owned_state.h"

#include <cassert>
#include <cstring>

namespace qx {

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

// One per room's state struct; registered at static initialisation, before
// any thread or interpreter exists, and never changed after.
struct Block {
  char* live;
  char* forgotten;  // what live held when last forgotten; never released
  std::size_t size;
};

constexpr int kMaxBlocks = 8;
Block g_blocks[kMaxBlocks];
int g_block_count = 0;

// Everything forgotten stays reachable from here: kept on purpose, so leak
// checkers must not call it lost. Raw memory, as the interpreter that owned
// the objects may be gone; if it cannot grow, the object is simply leaked.
void** g_kept = nullptr;
std::size_t g_kept_count = 0;

// The forgotten twin of slot, a field of a registered block.
PyObject** ForgottenSlot(PyObject* const* slot) noexcept {
  const char* p = reinterpret_cast<const char*>(slot);
  for (int i = 0; i < g_block_count; ++i) {
    const Block& b = g_blocks[i];
    if (p >= b.live && p + sizeof(PyObject*) <= b.live + b.size) {
      return reinterpret_cast<PyObject**>(b.forgotten + (p - b.live));
    }
  }
  assert(false && "a field of a registered block");
  return nullptr;
}

}  // namespace

void KeepForever(void* p) noexcept {
  void** grown = static_cast<void**>(PyMem_RawRealloc(g_kept, (g_kept_count + 1) * sizeof(void*)));
  if (grown == nullptr) return;
  g_kept = grown;
  g_kept[g_kept_count++] = p;
}

void RegisterOwnedBlock(void* live, void* forgotten, std::size_t size) noexcept {
  assert(g_block_count < kMaxBlocks && "room for every room's block");
  if (g_block_count == kMaxBlocks) return;
  g_blocks[g_block_count++] = Block{static_cast<char*>(live), static_cast<char*>(forgotten), size};
}

void ForgetOwnedObjects() noexcept {
  for (int i = 0; i < g_block_count; ++i) {
    const Block& b = g_blocks[i];
    // An earlier generation's objects that were never replaced.
    if (void* copy = PyMem_RawMalloc(b.size); copy != nullptr) {
      std::memcpy(copy, b.forgotten, b.size);
      KeepForever(copy);
    }
    std::memcpy(b.forgotten, b.live, b.size);
  }
}

bool IsForgotten(PyObject* const* slot) noexcept {
  if (*slot == nullptr) return false;
  PyObject** forgotten = ForgottenSlot(slot);
  return forgotten != nullptr && *slot == *forgotten;
}

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
  if (forgotten != nullptr && *forgotten == old) {
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
