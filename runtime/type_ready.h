// Readying the module's static types.
#pragma once

#include <Python.h>

namespace qx {

// PyType_Ready for a static type, with a failure that is final: the
// interpreter leaves a type whose readying failed half-built, and readying it
// again can crash (3.13 does, after a failed allocation). A type that failed
// once raises ImportError from then on. 0, or -1 with an exception.
int ReadyStaticType(PyTypeObject* type) noexcept;

}  // namespace qx
