// __Qx_EnumMeta, the metaclass of the fallback enumeration machinery.
#pragma once

#include <Python.h>

#include "runtime/compat.h"

namespace qx {

extern PyTypeObject QxEnumMetaType;

// Readies __Qx_EnumMeta and installs its pickling methods; 0, or -1 with an
// exception.
int InitEnumMetaType() noexcept;

// Taken by every store the module makes into a class's member registry and
// by every walk over one (a no-op with the GIL). Recursive: a member name's
// __eq__ may create a member of its own while a walk runs.
compat::RecursiveMutex& MemberRegistryMutex() noexcept;

}  // namespace qx
