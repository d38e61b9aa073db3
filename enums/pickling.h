// Pickle support for __Qx_EnumMeta.
#pragma once

#include <Python.h>

namespace qx {

// Moves __reduce_qx__ and __setstate_qx__ of type to __reduce__ and
// __setstate__ unless pickling is handled already; 0, or -1 with an error.
int SetupPickling(PyTypeObject* type) noexcept;

// Makes the checksum's int once per owner (a step of the initialisation
// sequence); 0, or -1 with an exception.
int CreatePicklingConstants() noexcept;

// __qx_unpickle___Qx_EnumMeta, published by the body.
extern PyMethodDef enummeta_unpickle_def;

// tp_methods of __Qx_EnumMeta: __reduce_qx__ and __setstate_qx__ (moved to
// __reduce__ / __setstate__ by SetupPickling).
extern PyMethodDef enummeta_methods[];

}  // namespace qx
