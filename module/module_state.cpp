#include "module/module_state.h"

#include "core/owned_state.h"

namespace qx {

ModuleObjects g_module;

namespace {
OwnedBlock<ModuleObjects> g_module_block(&g_module);
}  // namespace

}  // namespace qx
