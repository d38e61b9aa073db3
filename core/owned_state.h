// How every room keeps the objects it makes at initialisation: the right to
// write them (the initialisation claim), their replacement by a retried
// import, strong reads of replaced ones, and their forgetting when another
// interpreter takes over. Each room declares its own state struct in its own
// header and registers it here (OwnedBlock); the objects themselves are the
// rooms'. Failing paths record nothing in any of it: each fills a Failure
// (core/failure.h) that its caller reports.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>

#include "core/sync.h"

namespace qx {

// Serialises the replacement of an object field of a registered block
// (ReplaceOwned) with readers on other threads that take a reference to it
// (ReadShared).
extern Mutex g_shared_fields_mutex;

// The right to run the initialisation sequence, and so to write what only
// the sequence writes: held by one thread at a time, from the entry's claim
// (module/owner.cpp) to its end. Not a lock: nobody waits on it, and the
// sequence runs Python code while holding it.
class QX_CAPABILITY("initialisation") InitialisationClaim {
 public:
  // Only the entry takes and gives it back, under the lock of its binding.
  // (Left out of the analysis: it is taken on one outcome of the claim and
  // held across routines; the sequence states it with AssertHeld.)
  void Take() noexcept;
  void Give() noexcept;
  bool HeldByAnyThread() const noexcept;
  bool HeldByThisThread() const noexcept;
  // A precondition: this thread runs the sequence (checked with assertions).
  void AssertHeld() const noexcept QX_ASSERT_CAPABILITY(this);

 private:
  std::atomic<unsigned long> holder_{0};  // the thread's ident; 0: none
};

extern InitialisationClaim g_init_claim;

// A room's state struct whose object fields belong to the interpreter that
// made them. Every object field is owned and, once set, stays valid for the
// life of the process: a failed or repeated initialisation replaces a field
// only with another valid object, so no path finds one cleared by a failure.
// Only the sequence writes them (holding g_init_claim). Other threads read
// them in one of two ways, named on each field: a field never replaced once
// set (made once per owner, or a static type) is read as it is; a field that
// a retried import replaces is read as a strong reference (ReadShared).
//
// Registering keeps a twin of the struct: what it held when last forgotten,
// which forgetting writes. Declared once, beside the variable's definition:
//   ModuleObjects g_module;
//   OwnedBlock<ModuleObjects> g_module_block(&g_module);
void RegisterOwnedBlock(void* live, void* forgotten, std::size_t size) noexcept;

template <typename State>
class OwnedBlock {
 public:
  explicit OwnedBlock(State* live) noexcept { RegisterOwnedBlock(live, &forgotten_, sizeof(State)); }
  OwnedBlock(const OwnedBlock&) = delete;
  OwnedBlock& operator=(const OwnedBlock&) = delete;

 private:
  State forgotten_{};
};

// Objects made in an interpreter that the state no longer serves (it ended,
// or its import failed and another interpreter took over) are forgotten:
// the fields keep them, so code still running finds no empty field, but
// they are never released, since their runtime may be gone (a deliberate
// leak). The next import makes each of them anew. Every registered block.
void ForgetOwnedObjects() noexcept;
// Keeps p (raw memory, or an object of a forgotten interpreter) reachable
// for good, so that leak checkers do not call it lost; it is never freed.
// The claim only, like forgetting.
void KeepForever(void* p) noexcept;
// Whether *slot, an object field of a registered block, still holds a
// forgotten object.
bool IsForgotten(PyObject* const* slot) noexcept;
// Stores value (a reference taken over) in *slot, an object field of a
// registered block, and releases the object it replaces (after the store,
// with no lock held) unless that one is forgotten; the same object is not
// stored again. The sequence only.
void ReplaceOwned(PyObject** slot, PyObject* value) noexcept QX_EXCLUDES(g_shared_fields_mutex);
// The object in *slot, a field that a retried import replaces, as a strong
// reference (null if none yet): a borrowed one could be released by that
// import on another thread while it is used.
PyObject* ReadShared(PyObject* const* slot) noexcept QX_EXCLUDES(g_shared_fields_mutex);

// Makes an object field once per owning interpreter: a field that an earlier
// attempt filled is kept, so a failure never leaves a used field empty; one
// filled by a forgotten interpreter is made anew. make() returns a new
// reference or null with an exception; false then.
template <typename Make>
bool MakeOncePerOwner(PyObject** slot, Make make) noexcept {
  if (*slot != nullptr && !IsForgotten(slot)) return true;
  PyObject* made = make();
  if (made == nullptr) return false;
  ReplaceOwned(slot, made);
  return true;
}

}  // namespace qx
