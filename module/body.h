// The module body: builds the fallback base, then Weekdays, and publishes
// the members.
#pragma once

#include "core/failure.h"

namespace qx {

// 0, or -1 with an exception and where it failed in *fail.
int RunModuleBody(Failure* fail) noexcept;

}  // namespace qx
