// What the runtime reads of the objects that the rooms above it make: the
// namespace the module's code runs in, and the function type its calls
// enter directly. Declared here, where the readers are, since a room may not
// include the rooms above it.
#pragma once

#include <Python.h>

namespace qx {

// An owned block (core/owned_state.h): written only by the initialisation
// sequence, holding g_init_claim, through ReplaceOwned; each field names its
// writer and how other threads read it.
struct RuntimeBindings {
  // Replaced by each run (InitModuleObjects, module/init.cpp); read with
  // ReadShared. runtime_module is "qx_runtime", found in sys.modules; owned,
  // as Python code may drop it from there and every later traceback entry
  // still reads it.
  PyObject* module_dict;
  PyObject* builtins_module;
  PyObject* runtime_module;
  // The registry's function type (function/registry.cpp), a static type,
  // never freed; not stored again when unchanged, so it is read as it is.
  PyTypeObject* function_type;
};

extern RuntimeBindings g_bindings;

}  // namespace qx
