// The traceback code-object cache: code objects made for failure sites,
// kept sorted by key in the traceback state (runtime/traceback.h).
#pragma once

#include <Python.h>

#include <cstdint>

namespace qx {

struct CodeObjectCacheEntry {
  PyObject* code_object;  // owned
  int32_t key;
  // The failure site the code object was made for: an entry is reused only
  // for the same function and file, since distinct sites may share a line.
  const char* function_name;
  const char* file_name;
};

struct CodeObjectCache {
  int32_t count;
  int32_t capacity;
  CodeObjectCacheEntry* entries;
};

}  // namespace qx
