// Traceback entries for failures inside the module.
#pragma once

#include <Python.h>

#include <cstdint>

namespace qx {

// Appends an entry naming function_name to the pending exception, at the
// error position's file (g_state.error_file) and source_line.
void AppendTracebackEntry(const char* function_name, int32_t impl_line, int32_t source_line) noexcept;

// Records the position and appends the entry in one step.
void AddTraceback(const char* function_name, int file, int32_t source_line, int32_t impl_line) noexcept;

int32_t ResolveImplementationLine(PyThreadState* tstate, int32_t line) noexcept;
PyObject* MakeTracebackCode(const char* function_name, int32_t impl_line, int32_t source_line,
                            const char* file_name) noexcept;

struct CodeObjectCacheEntry;
int32_t CodeCacheSearch(const CodeObjectCacheEntry* entries, int32_t count, int32_t key) noexcept;
// Returns a new reference, or null (no error) when no entry for this key
// was made for the same function and file.
PyObject* CodeCacheFind(int32_t key, const char* function_name, const char* file_name) noexcept;
void CodeCacheInsert(int32_t key, PyObject* code, const char* function_name, const char* file_name) noexcept;

}  // namespace qx
