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
  // (module/init.cpp); read by the claim (module/owner.cpp) under its
  // binding's lock, and only while no sequence runs.
  PyObject* module;
  // The dotted module name as an interned str: the module table key, made
  // before registration so that a failed initialisation can remove its entry
  // without allocating, and the "module" keyword's value for IntEnum. Made
  // once per owner (module/constants.cpp); read as it is.
  PyObject* module_name_text;
  // The body's class to derive Weekdays from, and the namespace the members
  // are published in (module/body.cpp); None between runs
  // (ResetModuleVariables). Read by the sequence only.
  PyObject* enum_base_class;
  PyObject* globals_dict;
};

extern ModuleObjects g_module;

}  // namespace qx
