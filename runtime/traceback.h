// Traceback entries for failures inside the module.
#pragma once

#include <Python.h>

#include <cstdint>

#include "core/code_cache.h"
#include "core/failure.h"

namespace qx {

// Records pos as the module's error position and appends an entry naming
// function_name, at pos, to the pending exception.
void AddTraceback(const char* function_name, const Position& pos) noexcept;

// The single exit of a function whose body reports through a Failure: runs
// body(&fail) and, when it returns null, adds the entry naming function_name
// at the recorded position (the body's temporaries are released by then).
template <typename Body>
inline PyObject* ReportFailure(const char* function_name, Body&& body) noexcept {
  Failure fail;
  PyObject* result = body(&fail);
  if (result == nullptr) AddTraceback(function_name, fail.pos);
  return result;
}

int32_t ResolveImplementationLine(PyThreadState* tstate, int32_t line) noexcept;
PyObject* MakeTracebackCode(const char* function_name, int32_t impl_line, int32_t source_line,
                            const char* file_name) noexcept;

int32_t CodeCacheSearch(const CodeObjectCacheEntry* entries, int32_t count, int32_t key) noexcept;
// Returns a new reference, or null (no error) when no entry for this key
// was made for the same function and file.
PyObject* CodeCacheFind(int32_t key, const char* function_name, const char* file_name) noexcept;
void CodeCacheInsert(int32_t key, PyObject* code, const char* function_name, const char* file_name) noexcept;

}  // namespace qx
