// The registry through which modules built this way share one function type.
#pragma once

#include <Python.h>

namespace qx {

// Sets g_bindings.function_type from the registry module, publishing the
// module's own type when the registry has none; 0, or -1 with an exception.
int RegisterFunctionType() noexcept;

}  // namespace qx
