#include "module/import_system.h"

#include <utility>

#include "core/name_table.h"
#include "core/names.h"
#include "module/module_state.h"
#include "module/owner.h"
#include "runtime/bindings.h"
#include "runtime/calls.h"
#include "runtime/compat.h"
#include "runtime/exceptions.h"

namespace qx {

namespace {

// The import system's bootstrap module of the current interpreter, or empty
// (no error) where it is gone from sys.modules; key is its name, or null to
// make that name here.
Ref ImportBootstrap(PyObject* key) noexcept {
  PyObject* modules = PyImport_GetModuleDict();
  if (modules == nullptr || !PyDict_Check(modules)) return Ref();
  Ref made;
  if (key == nullptr) {
    made = Ref::steal(PyUnicode_FromString("_frozen_importlib"));
    key = made.get();
  }
  PyObject* found = nullptr;
  if (key == nullptr || compat::DictGetItemRef(modules, key, &found) < 0) {
    PyErr_Clear();
    return Ref();
  }
  return Ref::steal(found);
}

}  // namespace

int ImportLock::Acquire() noexcept {
  Ref bootstrap = ImportBootstrap(nullptr);
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

void ImportLock::Release() noexcept {
  if (!release_) return;
  PyThreadState* tstate = PyThreadState_Get();
  SavedError pending = SaveErrorState(tstate);
  Ref released = Ref::steal(PyObject_CallNoArgs(release_.get()));
  if (!released) PyErr_WriteUnraisable(release_.get());
  release_.reset();
  RestoreErrorState(tstate, std::move(pending));
}

bool MarkInitialising() noexcept {
  Ref bootstrap = ImportBootstrap(g_names.frozen_importlib);
  Ref module_spec_type;
  if (bootstrap) module_spec_type = Ref::steal(PyObject_GetAttr(bootstrap.get(), g_names.ModuleSpec));
  Ref args;
  if (module_spec_type) args = Ref::steal(PyTuple_Pack(2, g_names.module_dotted_name, Py_None));
  Ref placeholder;
  if (args) placeholder = Ref::steal(CallObject(module_spec_type.get(), args.get()));
  const bool marked = placeholder &&
                      PyObject_SetAttr(placeholder.get(), g_names.initialising_attr, Py_True) == 0 &&
                      PyDict_SetItem(g_bindings.module_dict, g_names.dunder_spec, placeholder.get()) == 0;
  if (!marked) PyErr_Clear();
  return marked;
}

void ClearInitialising() noexcept {
  if (PyDict_SetItem(g_bindings.module_dict, g_names.dunder_spec, Py_None) < 0) PyErr_Clear();
}

void UnregisterModule(PyObject* module) noexcept {
  PyObject* modules = PyImport_GetModuleDict();
  PyObject* key = g_names.module_dotted_name;
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

}  // namespace qx
