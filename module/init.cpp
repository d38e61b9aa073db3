// The module's entry point and its initialisation sequence.
#include "module/init.h"

#include <atomic>
#include <cstring>
#include <utility>

#include "core/module_state.h"
#include "enums/enum_meta.h"
#include "function/registry.h"
#include "module/body.h"
#include "module/constants.h"
#include "module/internal.h"
#include "runtime/calls.h"
#include "runtime/compat.h"
#include "runtime/exceptions.h"
#include "runtime/ref.h"
#include "runtime/traceback.h"

namespace qx {

namespace {

PyModuleDef weekdays_moduledef = {
    PyModuleDef_HEAD_INIT,
    "weekdays",  // m_name
    nullptr,     // m_doc: __doc__ is None
    -1,          // m_size: all state is process-wide
    nullptr,     // m_methods: the one function is added by the body
};

// Single-phase initialisation after a failure: a retry must run the whole
// sequence again, so the module-table entry this attempt made is removed.
// Nothing here may allocate: the failure being reported may be the lack of
// memory, and an entry left behind would hand the half-built module to every
// later import. Hence the key made (and hashed) before registration, and no
// key built from text.
void UnregisterModule(PyObject* module) noexcept {
  PyObject* modules = PyImport_GetModuleDict();
  PyObject* key = g_state.module_name_text;
  if (modules == nullptr || key == nullptr) return;
  PyThreadState* tstate = PyThreadState_Get();
  SavedError pending = SaveErrorState(tstate);
  // Compared and removed under the dictionary's lock, so that another
  // thread's entry is not removed. (3.13 suspends it while the removal takes
  // it again: only code storing into sys.modules by hand meets that gap.)
  Py_BEGIN_CRITICAL_SECTION(modules);
  // Only compared, never used: a borrowed reference will do.
  if (PyDict_GetItemWithError(modules, key) == module) {
    if (PyDict_DelItem(modules, key) < 0) PyErr_Clear();
  } else {
    PyErr_Clear();
  }
  Py_END_CRITICAL_SECTION();
  RestoreErrorState(tstate, std::move(pending));
}

}  // namespace

const char* (*g_running_version)() = Py_GetVersion;

int CheckInterpreterVersionAgainst(int compiled_major, int compiled_minor,
                                   const char* running_version) noexcept {
  // Deliberately 4-byte buffers: only characters 0 and 2 are compared, so
  // "3.11" and "3.10" both read as "3.1".
  char compiled[4];
  char running[4];
  PyOS_snprintf(compiled, sizeof(compiled), "%d.%d", compiled_major, compiled_minor);
  PyOS_snprintf(running, sizeof(running), "%s", running_version);
  if (compiled[0] == running[0] && compiled[2] == running[2]) return 0;
  char message[200];
  PyOS_snprintf(message, sizeof(message),
                "compiletime version %s of module '%.100s' does not match runtime version %s", compiled,
                kModuleDottedName, running);
  return PyErr_WarnEx(nullptr, message, 1);
}

namespace {

int CheckInterpreterVersion() noexcept {
  return CheckInterpreterVersionAgainst(PY_MAJOR_VERSION, PY_MINOR_VERSION, g_running_version());
}

// The import system's bootstrap module of the current interpreter, or empty
// (no error) where it is gone from sys.modules.
Ref ImportBootstrap() noexcept {
  PyObject* modules = PyImport_GetModuleDict();
  if (modules == nullptr || !PyDict_Check(modules)) return Ref();
  Ref key = Ref::steal(PyUnicode_FromString("_frozen_importlib"));
  PyObject* found = nullptr;
  if (!key || compat::DictGetItemRef(modules, key.get(), &found) < 0) {
    PyErr_Clear();
    return Ref();
  }
  return Ref::steal(found);
}

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
bool MarkInitializing() noexcept {
  Ref bootstrap = ImportBootstrap();
  Ref module_spec_type;
  if (bootstrap) module_spec_type = Ref::steal(PyObject_GetAttrString(bootstrap.get(), "ModuleSpec"));
  Ref args;
  if (module_spec_type) args = Ref::steal(PyTuple_Pack(2, g_state.module_name_text, Py_None));
  Ref placeholder;
  if (args) placeholder = Ref::steal(CallObject(module_spec_type.get(), args.get()));
  const bool marked = placeholder &&
                      PyObject_SetAttrString(placeholder.get(), "_initializing", Py_True) == 0 &&
                      PyDict_SetItemString(g_state.module_dict, "__spec__", placeholder.get()) == 0;
  if (!marked) PyErr_Clear();
  return marked;
}

// The body is done: the module's __spec__ is None again, as the interpreter
// made it (the import system then sets the real one, so a failure here only
// leaves the placeholder until then).
void ClearInitializing() noexcept {
  if (PyDict_SetItemString(g_state.module_dict, "__spec__", Py_None) < 0) PyErr_Clear();
}

// Everything before the metaclass is readied; every failure is reported at
// line 1 of the definition file. Objects made once per process are kept from
// an earlier attempt; the module and what belongs to it are made anew.
int InitModuleObjects(bool* marked) noexcept {
  if (CheckInterpreterVersion() < 0) return -1;
  if (g_state.empty_tuple == nullptr || IsForgotten(&g_state.empty_tuple)) {
    PyObject* empty = PyTuple_New(0);
    if (empty == nullptr) return -1;
    ReplaceOwned(&g_state.empty_tuple, empty);
  }
  if (g_state.empty_bytes == nullptr || IsForgotten(&g_state.empty_bytes)) {
    PyObject* empty = PyBytes_FromStringAndSize("", 0);
    if (empty == nullptr) return -1;
    ReplaceOwned(&g_state.empty_bytes, empty);
  }
  if (RegisterFunctionType() < 0) return -1;
  g_state.module = PyModule_Create2(&weekdays_moduledef, PYTHON_API_VERSION);
  if (g_state.module == nullptr) return -1;
  if (compat::DeclareGilNotUsed(g_state.module) < 0) return -1;
  PyObject* dict = PyModule_GetDict(g_state.module);
  if (dict == nullptr) return -1;
  ReplaceOwned(&g_state.module_dict, Py_NewRef(dict));
  PyObject* builtins = compat::ImportAddModuleRef("builtins");
  if (builtins == nullptr) return -1;
  ReplaceOwned(&g_state.builtins_module, builtins);
  // Owned: Python code may drop qx_runtime from sys.modules, and every later
  // traceback entry still reads the module.
  PyObject* runtime = compat::ImportAddModuleRef("qx_runtime");
  if (runtime == nullptr) return -1;
  ReplaceOwned(&g_state.runtime_module, runtime);
  if (PyObject_SetAttrString(g_state.module, "__builtins__", g_state.builtins_module) < 0) return -1;
  if (CreateGlobalConstants() < 0) return -1;
  // The body's imports try this module's package first; with __package__
  // known the interpreter resolves it without its "can't resolve package"
  // ImportWarning (an error under -W error). Import sets the same value.
  {
    const char* last_dot = std::strrchr(kModuleDottedName, '.');
    Ref package = Ref::steal(PyUnicode_FromStringAndSize(kModuleDottedName, last_dot - kModuleDottedName));
    if (!package || PyDict_SetItemString(g_state.module_dict, "__package__", package.get()) < 0) {
      return -1;
    }
  }
  *marked = MarkInitializing();
  // Registered under the same key object that a failure uses to remove the
  // entry. An entry that is already there is never replaced: one step, so
  // that no other thread's entry comes in between.
  PyObject* modules = PyImport_GetModuleDict();
  if (modules == nullptr) return -1;
  if (PyDict_SetDefault(modules, g_state.module_name_text, g_state.module) == nullptr) return -1;
  if (CacheBuiltins() < 0) return -1;
  if (CreateCachedConstants() < 0) return -1;
  return 0;
}

// The interpreter that holds the state. ModuleState's objects belong to the
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
  // It holds the module while g_state.module is set, until it ends.
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
  Ref marker = Ref::steal(PyCapsule_New(&g_state, kOwnerMarkerName, OnOwnerGone));
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

// The refusal of a call made while the sequence runs.
void RefuseWhileInitialising() noexcept {
  PyErr_Format(PyExc_ImportError,
               "cannot import %s while it is being initialised (most likely due to a circular import)",
               kModuleDottedName);
}

enum class Claim { kRefused, kReady, kRun };

// Decides what this call of the entry does. kReady: the module is this
// interpreter's, in *ready (a new reference); kRun: this interpreter owns
// the state and this thread holds g_init_claim; kRefused: ImportError set.
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
          (g_state.module != nullptr && g_binding.owner_marker != kOwnerGone)) {
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
      } else if (g_state.module != nullptr) {
        // The state keeps its own reference: later calls of the module's
        // functions use the module after every importer has dropped it.
        *ready = Py_NewRef(g_state.module);
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

// The sequence is over, the module published or cleared: whether it made
// the module or not, the owner stays (a failed import leaves its objects for
// its own retry, and any other interpreter may take over).
void EndClaim() noexcept QX_EXCLUDES(g_binding.mutex) {
  MutexGuard guard(g_binding.mutex);
  g_init_claim.Give();
}

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
  int Acquire() noexcept {
    Ref bootstrap = ImportBootstrap();
    if (!bootstrap) return 0;
    Ref get_lock = Ref::steal(PyObject_GetAttrString(bootstrap.get(), "_get_module_lock"));
    Ref name;
    if (get_lock) name = Ref::steal(PyUnicode_FromString(kModuleDottedName));
    Ref lock;
    if (name) lock = Ref::steal(PyObject_CallOneArg(get_lock.get(), name.get()));
    // Both bound before the lock is held, so that giving it back makes no
    // attribute lookup that could fail.
    Ref acquire;
    if (lock) acquire = Ref::steal(PyObject_GetAttrString(lock.get(), "acquire"));
    Ref release;
    if (acquire) release = Ref::steal(PyObject_GetAttrString(lock.get(), "release"));
    if (!release) {
      if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
      PyErr_Clear();
      return 0;
    }
    Ref acquired = Ref::steal(PyObject_CallNoArgs(acquire.get()));
    if (acquired) {
      release_ = std::move(release);
      return 0;
    }
    // Looked up with the wait's error put aside: a lookup must not run with
    // an error pending (3.11's clears it when it succeeds).
    PyThreadState* tstate = PyThreadState_Get();
    SavedError waited = SaveErrorState(tstate);
    Ref deadlock = Ref::steal(PyObject_GetAttrString(bootstrap.get(), "_DeadlockError"));
    if (!deadlock) return -1;  // that error replaces the wait's
    RestoreErrorState(tstate, std::move(waited));
    if (!PyErr_ExceptionMatches(deadlock.get())) return -1;
    PyErr_Clear();
    RefuseWhileInitialising();
    return -1;
  }

 private:
  // Keeps the call's outcome: the pending error (or none) is put aside. A
  // release that fails (an exception raised as it starts) leaves the lock
  // held, as the import system's own release would.
  void Release() noexcept {
    if (!release_) return;
    PyThreadState* tstate = PyThreadState_Get();
    SavedError pending = SaveErrorState(tstate);
    Ref released = Ref::steal(PyObject_CallNoArgs(release_.get()));
    if (!released) PyErr_WriteUnraisable(release_.get());
    release_.reset();
    RestoreErrorState(tstate, std::move(pending));
  }

  Ref release_;  // the held lock's bound release method
};

// The whole sequence after the checks of the entry; 0, or -1 with the
// position to report in *fail.
int Initialise(Failure* fail) noexcept {
  bool marked = false;
  if (InitModuleObjects(&marked) < 0) return fail->At(kEntry.module_objects).Status();
  ResetModuleVariables();
  if (InitEnumMetaType() < 0) return fail->At(kEntry.enum_meta_type).Status();
  if (RunModuleBody(fail) < 0) return -1;
  if (marked) ClearInitializing();
  return 0;
}

}  // namespace

}  // namespace qx

PyMODINIT_FUNC PyInit_weekdays(void) {
  using namespace qx;
  // First, before the state is read: an interpreter that will refuse the
  // module must not run any of it.
  if (compat::CheckSinglePhaseAllowed(kModuleDottedName) < 0) return nullptr;
  // No lock of the module's own is held while the sequence runs Python code:
  // calls wait on the import system's lock, and the claim (taken and given
  // back in plain C steps) decides.
  ImportLock import_lock;
  if (import_lock.Acquire() < 0) return nullptr;
  PyObject* ready = nullptr;
  switch (ClaimState(&ready)) {
    case Claim::kRefused:
      return nullptr;
    case Claim::kReady:
      return ready;
    case Claim::kRun:
      break;
  }

  // The module is published or cleared before the claim is given back: a
  // call that finds no claim may take whatever g_state.module holds.
  Failure fail;
  PyObject* result = nullptr;
  if (Initialise(&fail) == 0) {
    result = Py_NewRef(g_state.module);
  } else if (g_state.module != nullptr) {
    if (g_state.module_dict != nullptr) AddTraceback(kInitFunctionName, fail.pos);
    UnregisterModule(g_state.module);
    Py_CLEAR(g_state.module);
  } else if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_ImportError, kInitFunctionName);
  }
  EndClaim();
  return result;
}
