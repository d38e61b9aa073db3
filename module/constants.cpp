#include "module/constants.h"

#include "core/name_table.h"
#include "core/names.h"
#include "core/owned_state.h"
#include "enums/enum_state.h"
#include "enums/pickling.h"
#include "module/module_state.h"

namespace qx {

int CreateGlobalConstants() noexcept {
  if (CreateNameObjects() < 0 || CreatePicklingConstants() < 0) return -1;
  return 0;
}

void ResetModuleVariables() noexcept {
  ReplaceOwned(&g_enums.ordered_dict_class, Py_NewRef(Py_None));
  ReplaceOwned(&g_module.enum_base_class, Py_NewRef(Py_None));
  ReplaceOwned(&g_module.globals_dict, Py_NewRef(Py_None));
}

}  // namespace qx
