// The methods of __Qx_EnumBase, made into function objects by the body.
#pragma once

#include <Python.h>

namespace qx {

extern PyMethodDef kEnumBaseNewDef;
extern PyMethodDef kEnumBaseReprDef;
extern PyMethodDef kEnumBaseStrDef;

}  // namespace qx
