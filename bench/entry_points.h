// The trivial entry points that the call and parse cases put behind the
// module's function type and behind an interpreter builtin; shared by
// qx_bench and the qx_bench_objects module that pyperf's cases import.
#pragma once

#include <Python.h>

#include "runtime/ref.h"

namespace qxbench {

extern PyMethodDef kEntryODef;       // f(x): returns x
extern PyMethodDef kEntryNoArgsDef;  // f(): returns None
extern PyMethodDef kEntryUnpackDef;  // f(cls, value, name=None), the module's parser
extern PyMethodDef kEntryParseDef;   // the same, PyArg_ParseTupleAndKeywords

// f(cls, value, name=None) parsed the module's way and the interpreter's way;
// 0 on success, -1 with an error set.
int UnpackThree(PyObject* args, PyObject* kwds) noexcept;
int ParseThree(PyObject* args, PyObject* kwds) noexcept;

// `def` behind the module's function type (the module must be initialised)
// and behind a builtin; null with an error set.
qx::Ref QxFunction(PyMethodDef* def);
qx::Ref Builtin(PyMethodDef* def);

}  // namespace qxbench
