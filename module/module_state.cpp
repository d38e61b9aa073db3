#include "module/module_state.h"

namespace qx {

ModuleState g_state;

const char* const kFileNameTable[2] = {"enumsupport", "quendrix\\core\\enums\\weekdays"};

}  // namespace qx
