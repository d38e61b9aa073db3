// The entry's dealings with the import system: its module lock, the
// initialising mark on __spec__, and removing a failed module from
// sys.modules.
#pragma once

#include <Python.h>

#include "runtime/ref.h"

namespace qx {

// The import system's own lock of the module's name, in the interpreter
// that runs the entry, held for the whole call. Every call of the entry in
// that interpreter takes it (an import through the import system already
// holds it), so a second thread's call waits for the first to finish and
// then finds the module made, or makes it itself after a failure. The wait
// is one the import system sees: where the thread running the sequence
// waits, directly or not, on a module lock this thread holds, acquiring
// raises its deadlock error, and the call is refused instead. The same
// thread takes it again at once (the lock counts), and the claim refuses
// that call. From 3.13 on every interpreter's call runs in the main
// interpreter, so a first import from another interpreter waits here too.
// Its names are spelt here rather than taken from the name table: it runs
// before the claim, when the table may be unmade or another interpreter's.
class ImportLock {
 public:
  ImportLock() = default;
  ImportLock(const ImportLock&) = delete;
  ImportLock& operator=(const ImportLock&) = delete;
  ~ImportLock() { Release(); }

  // 0: held, or not to be had, and the claim alone decides; -1 with an
  // exception: the import system's deadlock error as the circular-import
  // refusal, or whatever else ended the wait (KeyboardInterrupt, a signal
  // handler's exception), as the import system lets it through. A lock
  // that cannot be found or made (its bootstrap module gone, no memory) is
  // not to be had: the import goes on without it, as before there was one.
  int Acquire() noexcept;

 private:
  // Keeps the call's outcome: the pending error (or none) is put aside. A
  // release that fails (an exception raised as it starts) leaves the lock
  // held, as the import system's own release would.
  void Release() noexcept;

  Ref release_;  // the held lock's bound release method
};

// From registration until the body is done, the module is in sys.modules,
// where another thread's import finds it. A __spec__ marked as initialising
// makes that import wait for this one (on the import system's module lock),
// as it does for every module being loaded, instead of taking the half-built
// module. Set before registration, as the import system requires.
//
// The guard is a courtesy: it adds no way for the import to fail and never
// changes sys.modules. Where the import system's ModuleSpec cannot be found
// (its bootstrap module removed or replaced) or any step fails, the import
// goes on without it.
bool MarkInitialising() noexcept;

// The body is done: the module's __spec__ is None again, as the interpreter
// made it (the import system then sets the real one, so a failure here only
// leaves the placeholder until then).
void ClearInitialising() noexcept;

// Single-phase initialisation after a failure: a retry must run the whole
// sequence again, so the module-table entry this attempt made is removed.
// Nothing here may allocate: the failure being reported may be the lack of
// memory, and an entry left behind would hand the half-built module to every
// later import. Hence the key made (and hashed) before registration, and no
// key built from text.
void UnregisterModule(PyObject* module) noexcept;

}  // namespace qx
