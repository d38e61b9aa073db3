// The module's entry point (its version check and test seam: module/internal.h).
#pragma once

#include <Python.h>

// PyMODINIT_FUNC already gives C linkage when compiled as C++.
PyMODINIT_FUNC PyInit_weekdays(void);
