// Readying the module's static types.
#pragma once

#include <Python.h>

namespace qx {

// PyType_Ready for a static type. Where the interpreter cannot ready a type
// again after a failed attempt (3.13 crashes), a failure is final: the type
// raises ImportError from then on. 0, or -1 with an exception. The
// initialisation sequence only (it keeps the record of failed types).
int ReadyStaticType(PyTypeObject* type) noexcept;

}  // namespace qx
