// The module's entry point and its initialisation sequence; which call runs
// the sequence is module/owner.cpp's, the import system's part
// module/import_system.cpp's.
#include "module/init.h"

#include "core/name_table.h"
#include "core/names.h"
#include "core/owned_state.h"
#include "enums/enum_base.h"
#include "enums/enum_meta.h"
#include "function/registry.h"
#include "module/body.h"
#include "module/constants.h"
#include "module/import_system.h"
#include "module/internal.h"
#include "module/module_state.h"
#include "module/owner.h"
#include "runtime/bindings.h"
#include "runtime/compat.h"
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

// Everything before the metaclass is readied; every failure is reported at
// line 1 of the definition file. Objects made once per process are kept from
// an earlier attempt; the module and what belongs to it are made anew.
int InitModuleObjects(bool* marked) noexcept {
  if (CheckInterpreterVersion() < 0) return -1;
  if (g_common.empty_tuple == nullptr || IsForgotten(&g_common.empty_tuple)) {
    PyObject* empty = PyTuple_New(0);
    if (empty == nullptr) return -1;
    ReplaceOwned(&g_common.empty_tuple, empty);
  }
  if (g_common.empty_bytes == nullptr || IsForgotten(&g_common.empty_bytes)) {
    PyObject* empty = PyBytes_FromStringAndSize("", 0);
    if (empty == nullptr) return -1;
    ReplaceOwned(&g_common.empty_bytes, empty);
  }
  if (RegisterFunctionType() < 0) return -1;
  g_module.module = PyModule_Create2(&weekdays_moduledef, PYTHON_API_VERSION);
  if (g_module.module == nullptr) return -1;
  if (compat::DeclareGilNotUsed(g_module.module) < 0) return -1;
  PyObject* dict = PyModule_GetDict(g_module.module);
  if (dict == nullptr) return -1;
  ReplaceOwned(&g_bindings.module_dict, Py_NewRef(dict));
  PyObject* builtins = compat::ImportAddModuleRef("builtins");
  if (builtins == nullptr) return -1;
  ReplaceOwned(&g_bindings.builtins_module, builtins);
  // Owned: Python code may drop qx_runtime from sys.modules, and every later
  // traceback entry still reads the module.
  PyObject* runtime = compat::ImportAddModuleRef("qx_runtime");
  if (runtime == nullptr) return -1;
  ReplaceOwned(&g_bindings.runtime_module, runtime);
  if (CreateGlobalConstants() < 0) return -1;
  if (PyObject_SetAttr(g_module.module, g_names.dunder_builtins, g_bindings.builtins_module) < 0) return -1;
  // The body's imports try this module's package first; with __package__
  // known the interpreter resolves it without its "can't resolve package"
  // ImportWarning (an error under -W error). Import sets the same value.
  if (PyDict_SetItem(g_bindings.module_dict, g_names.dunder_package, g_names.package_name) < 0) return -1;
  *marked = MarkInitialising();
  // Registered under the same key object that a failure uses to remove the
  // entry. An entry that is already there is never replaced: one step, so
  // that no other thread's entry comes in between.
  PyObject* modules = PyImport_GetModuleDict();
  if (modules == nullptr) return -1;
  if (PyDict_SetDefault(modules, g_names.module_dotted_name, g_module.module) == nullptr) return -1;
  if (CacheEnumBuiltins() < 0) return -1;
  if (CreateFallbackCode() < 0) return -1;
  return 0;
}

// Where the entry reports its steps before the body: making the module
// object, at the definition's first line, and readying __Qx_EnumMeta, at its
// class statement in the support file.
constexpr struct {
  Position module_objects{.source_line = 1, .file = SourceFile::Definition};
  Position enum_meta_type{15};
} kEntry{};

// The whole sequence after the checks of the entry; 0, or -1 with the
// position to report in *fail.
int Initialise(Failure* fail) noexcept {
  bool marked = false;
  if (InitModuleObjects(&marked) < 0) return fail->At(kEntry.module_objects).Status();
  ResetModuleVariables();
  if (InitEnumMetaType() < 0) return fail->At(kEntry.enum_meta_type).Status();
  if (RunModuleBody(fail) < 0) return -1;
  if (marked) ClearInitialising();
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
  // call that finds no claim may take whatever g_module.module holds.
  Failure fail;
  PyObject* result = nullptr;
  if (Initialise(&fail) == 0) {
    result = Py_NewRef(g_module.module);
  } else if (g_module.module != nullptr) {
    if (g_bindings.module_dict != nullptr) AddTraceback(kInitFunctionName, fail.pos);
    UnregisterModule(g_module.module);
    Py_CLEAR(g_module.module);
  } else if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_ImportError, kInitFunctionName);
  }
  EndClaim();
  return result;
}
