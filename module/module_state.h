// The module room's objects: the module and what its body binds. The owner
// binding that says which interpreter they belong to is module/owner.cpp's.
#pragma once

#include <Python.h>

namespace qx {

// An owned block (core/owned_state.h): written only by the initialisation
// sequence (module/), holding g_init_claim.
struct ModuleObjects {
  // The module, owned from creation. Null before the first attempt and after
  // a failed one; complete once the sequence is over. Written by the entry
  // (module/init.cpp), and set to null by a takeover (ForgetObjects,
  // module/owner.cpp, under the binding's lock while no sequence runs);
  // read by the claim under that lock, and only while no sequence runs.
  PyObject* module;
  // The body's class to derive Weekdays from, and the namespace the members
  // are published in (module/body.cpp); set to None at the start of each
  // run (ResetModuleVariables). Read by the sequence only.
  PyObject* enum_base_class;
  PyObject* globals_dict;
};

extern ModuleObjects g_module;

}  // namespace qx
