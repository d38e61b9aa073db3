// The module's entry point and its version check.
#pragma once

#include <Python.h>

namespace qx {

// Compares the compiled-for major.minor with the running version text, as
// the import does; 0, or -1 when warnings are errors.
int CheckInterpreterVersionAgainst(int compiled_major, int compiled_minor,
                                   const char* running_version) noexcept;
// Where the import's version check reads the running version (Py_GetVersion);
// a seam for the tests, which substitute other versions.
extern const char* (*g_running_version)();

}  // namespace qx

// PyMODINIT_FUNC already gives C linkage when compiled as C++.
PyMODINIT_FUNC PyInit_weekdays(void);
