// Runs the C++ tests inside an embedded interpreter with the module imported
// through its entry point, so the routines see a fully initialised state.
#include <Python.h>
#include <gtest/gtest.h>

#include "module/init.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  Py_Initialize();
  PyObject* module = PyInit_weekdays();
  if (module == nullptr) {
    PyErr_Print();
    return 2;
  }
  int rc = RUN_ALL_TESTS();
  Py_DECREF(module);
  // No Py_Finalize: the module's state lives for the life of the process.
  return rc;
}
