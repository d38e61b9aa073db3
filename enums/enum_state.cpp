#include "enums/enum_state.h"

#include "core/owned_state.h"

namespace qx {

EnumsState g_enums;

namespace {
OwnedBlock<EnumsState> g_enums_block(&g_enums);
}  // namespace

}  // namespace qx
