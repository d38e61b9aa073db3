#include "runtime/traceback.h"

#include <frameobject.h>

#include <algorithm>
#include <cassert>
#include <cstring>
#include <utility>

#include "core/names.h"
#include "core/owned_state.h"
#include "runtime/bindings.h"
#include "runtime/compat.h"
#include "runtime/exceptions.h"
#include "runtime/internal.h"
#include "runtime/lookups.h"
#include "runtime/ref.h"

namespace qx {

Mutex g_traceback_mutex;
TracebackState g_traceback;

void ForgetCodeCache() noexcept {
  MutexGuard guard(g_traceback_mutex);
  // The array (and through it the code objects) stays reachable: leaked on
  // purpose, not lost.
  if (g_traceback.code_cache.entries != nullptr) KeepForever(g_traceback.code_cache.entries);
  g_traceback.code_cache = CodeObjectCache{};
}

namespace {

// The implementation file named when implementation-file lines are shown.
constexpr const char* kImplementationFileName = "quendrix/core/enums/weekdays";

// The cache's lock (g_traceback_mutex) is held only around plain C steps:
// making a code object or releasing one may run Python code, which may fail
// here again.
void SetErrorPosition(const Position& pos) noexcept {
  MutexGuard guard(g_traceback_mutex);
  g_traceback.error_file = FileName(pos.file);
  g_traceback.error_line = pos.source_line;
  g_traceback.error_impl_line = pos.impl_line;
}

bool SameSite(const CodeObjectCacheEntry& e, const char* function_name, const char* file_name) noexcept {
  return (e.function_name == function_name || std::strcmp(e.function_name, function_name) == 0) &&
         (e.file_name == file_name || std::strcmp(e.file_name, file_name) == 0);
}

// The cache grows by this many entries at a time.
constexpr int32_t kCacheGrowth = 64;

// Where key is, or where it goes to keep the entries sorted.
int32_t CacheSearch(const CodeObjectCache& cache, int32_t key) noexcept {
  const CodeObjectCacheEntry* begin = cache.entries;
  const CodeObjectCacheEntry* found = std::lower_bound(
      begin, begin + cache.count, key, [](const CodeObjectCacheEntry& e, int32_t k) { return e.key < k; });
  return static_cast<int32_t>(found - begin);
}

// The entry's name when implementation lines are shown:
// "<function> (<implementation file>:<line>)", cut to fit.
constexpr size_t kEntryNameSize = 512;

}  // namespace

PyObject* CodeCacheFind(int32_t key, const char* function_name, const char* file_name) noexcept {
  MutexGuard guard(g_traceback_mutex);
  CodeObjectCache& cache = g_traceback.code_cache;
  if (key == 0 || cache.entries == nullptr) return nullptr;
  const int32_t pos = CacheSearch(cache, key);
  if (pos < cache.count && cache.entries[pos].key == key &&
      SameSite(cache.entries[pos], function_name, file_name)) {
    return Py_NewRef(cache.entries[pos].code_object);
  }
  return nullptr;
}

void CodeCacheInsert(int32_t key, PyObject* code, const char* function_name, const char* file_name) noexcept {
  assert(code != nullptr && function_name != nullptr && file_name != nullptr);
  Ref replaced;  // released after the lock
  MutexGuard guard(g_traceback_mutex);
  CodeObjectCache& cache = g_traceback.code_cache;
  if (key == 0) return;
  if (cache.entries == nullptr) {
    auto* entries =
        static_cast<CodeObjectCacheEntry*>(PyMem_Malloc(kCacheGrowth * sizeof(CodeObjectCacheEntry)));
    if (entries == nullptr) return;
    entries[0] = {Py_NewRef(code), key, function_name, file_name};
    cache.entries = entries;
    cache.capacity = kCacheGrowth;
    cache.count = 1;
    return;
  }
  const int32_t pos = CacheSearch(cache, key);
  if (pos < cache.count && cache.entries[pos].key == key) {
    // Another site shares this key: the newest one takes the entry.
    replaced = Ref::steal(cache.entries[pos].code_object);
    cache.entries[pos] = {Py_NewRef(code), key, function_name, file_name};
    return;
  }
  if (cache.count == cache.capacity) {
    const int32_t capacity = cache.capacity + kCacheGrowth;
    auto* entries = static_cast<CodeObjectCacheEntry*>(
        PyMem_Realloc(cache.entries, static_cast<size_t>(capacity) * sizeof(CodeObjectCacheEntry)));
    if (entries == nullptr) return;
    cache.entries = entries;
    cache.capacity = capacity;
  }
  std::copy_backward(cache.entries + pos, cache.entries + cache.count, cache.entries + cache.count + 1);
  cache.entries[pos] = {Py_NewRef(code), key, function_name, file_name};
  ++cache.count;
}

int32_t ResolveImplementationLine(PyThreadState* tstate, int32_t line) noexcept {
  Ref runtime = Ref::steal(ReadShared(&g_bindings.runtime_module));
  if (!runtime) return 0;
  // The switch is whatever Python code made it: its truth test (or a key's
  // __eq__ in the module's dictionary) may call a function of this module
  // that fails, and that entry would read the switch again, and so on for
  // every level of a deep failure. Entries made while the switch is being
  // read show no implementation line and run no Python code.
  thread_local bool resolving = false;
  if (resolving) return 0;
  resolving = true;
  SavedError pending = SaveErrorState(tstate);

  PyObject* name = g_names.impl_line_in_traceback;
  Ref flag;
  PyObject* dict = PyModule_Check(runtime.get()) ? PyModule_GetDict(runtime.get()) : nullptr;
  if (dict != nullptr) {
    PyObject* item = nullptr;
    // A lookup that raised (a key's __eq__) counts as absence; its error must
    // not stay pending while the switch is created, which may run Python code.
    if (compat::DictGetItemRef(dict, name, &item) < 0) PyErr_Clear();
    flag = Ref::steal(item);
  } else {
    Ref value = Ref::steal(GetAttrByStr(runtime.get(), name));
    if (value) {
      flag = Ref::borrow(PyObject_Not(value.get()) ? Py_False : Py_True);
    } else {
      PyErr_Clear();
    }
  }
  if (!flag) {
    line = 0;
    (void)PyObject_SetAttr(runtime.get(), name, Py_False);
  } else if (PyObject_Not(flag.get())) {
    // False, or a truth test that raised: either way the line stays hidden.
    line = 0;
  }
  RestoreErrorState(tstate, std::move(pending));
  resolving = false;
  return line;
}

PyObject* MakeTracebackCode(const char* function_name, int32_t impl_line, int32_t source_line,
                            const char* file_name) noexcept {
  // The interpreter's own empty code object for a line: every instruction of
  // it maps to that line, whichever one a new frame reports as current (that
  // differs between interpreter versions).
  if (impl_line == 0)
    return reinterpret_cast<PyObject*>(PyCode_NewEmpty(file_name, function_name, source_line));
  char name[kEntryNameSize];
  PyOS_snprintf(name, sizeof(name), "%s (%s:%d)", function_name, kImplementationFileName, impl_line);
  return reinterpret_cast<PyObject*>(PyCode_NewEmpty(file_name, name, source_line));
}

void AddTraceback(const char* function_name, const Position& pos) noexcept {
  SetErrorPosition(pos);
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
  // Read once, here: Python code run below may record other positions.
  const char* file_name = FileName(pos.file);
  int32_t impl_line = pos.impl_line;
  const int32_t source_line = pos.source_line;
  PyThreadState* tstate = PyThreadState_Get();
  if (impl_line != 0) impl_line = ResolveImplementationLine(tstate, impl_line);
  const int32_t key = impl_line != 0 ? -impl_line : source_line;
  // The frame looks __builtins__ up in the module's dictionary, whose keys
  // Python code may have made anything (an __eq__ of its own): no Python
  // code may run with an exception set, so the pending one is put aside.
  SavedError pending = SaveErrorState(tstate);
  Ref code = Ref::steal(CodeCacheFind(key, function_name, file_name));
  if (!code) {
    code = Ref::steal(MakeTracebackCode(function_name, impl_line, source_line, file_name));
    if (code) CodeCacheInsert(key, code.get(), function_name, file_name);
  }
  Ref frame;
  Ref globals = Ref::steal(ReadShared(&g_bindings.module_dict));
  if (code && globals) {
    frame = Ref::steal(reinterpret_cast<PyObject*>(
        PyFrame_New(tstate, reinterpret_cast<PyCodeObject*>(code.get()), globals.get(), nullptr)));
  }
  if (!frame && PyErr_Occurred()) {
    // No entry: the error of the failed call takes the pending one's place.
    return;
  }
  RestoreErrorState(tstate, std::move(pending));
  if (frame) (void)PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace qx
