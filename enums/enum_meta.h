// __Qx_EnumMeta, the metaclass of the fallback enumeration machinery.
#pragma once

#include <Python.h>

namespace qx {

extern PyTypeObject QxEnumMetaType;

// Readies __Qx_EnumMeta and installs its pickling methods (once per
// process); 0, or -1 with an exception. The initialisation sequence only.
int InitEnumMetaType() noexcept;

}  // namespace qx
