// The module's entry point and its version check.
#pragma once

#include <Python.h>

// PyMODINIT_FUNC already gives C linkage when compiled as C++.
PyMODINIT_FUNC PyInit_weekdays(void);
