// The ground every folder stands on: the module's process-wide state, the
// objects the entry makes and keeps, and the binding to the interpreter that
// owns them. Failing paths record nothing here: each fills a Failure
// (core/failure.h) that its caller passes down and reports through a
// traceback entry once the temporaries are released. AddTraceback then
// copies the reported position into error_file, error_line and
// error_impl_line, which only the C++ tests read.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "core/code_cache.h"
#include "core/failure.h"
#include "core/name_table.h"
#include "core/sync.h"

#if defined(QX_EXPECT_PY_DEBUG) && !defined(Py_DEBUG)
#error "building for a debug interpreter with release headers"
#endif

namespace qx {

// Room for the fallback class's methods (one row each in enums/enum_base.cpp,
// asserted there to fit) and for the locals of each method's code object.
inline constexpr int kMaxFallbackMethods = 4;
inline constexpr int kMaxFallbackLocals = 5;

inline constexpr const char* kModuleDottedName = "quendrix.core.enums.weekdays";
inline constexpr const char* kInitFunctionName = "init quendrix.core.enums.weekdays";
// The pickle checksum stands for the type's list of stored fields, which is
// empty. One literal: the incompatible-checksums message spells it.
inline constexpr int32_t kPickleChecksum = QX_PICKLE_CHECKSUM;

// Guards what traceback entries record in the state below: the code-object
// cache and the last reported position, which failing calls on any thread
// update.
extern Mutex g_traceback_mutex;

// Serialises the replacement of an object field below (ReplaceOwned) with
// readers on other threads that take a reference to it (ReadShared).
extern Mutex g_shared_fields_mutex;

// The right to run the initialisation sequence, and so to write what only
// the sequence writes: held by one thread at a time, from the entry's claim
// (module/init.cpp) to its end. Not a lock: nobody waits on it, and the
// sequence runs Python code while holding it.
class QX_CAPABILITY("initialisation") InitialisationClaim {
 public:
  // Only the entry takes and gives it back, under the lock of its binding.
  // (Left out of the analysis: it is taken on one outcome of the claim and
  // held across routines; the sequence states it with AssertHeld.)
  void Take() noexcept;
  void Give() noexcept;
  bool HeldByAnyThread() const noexcept;
  bool HeldByThisThread() const noexcept;
  // A precondition: this thread runs the sequence (checked with assertions).
  void AssertHeld() const noexcept QX_ASSERT_CAPABILITY(this);

 private:
  std::atomic<unsigned long> holder_{0};  // the thread's ident; 0: none
};

extern InitialisationClaim g_init_claim;

// Every object field is owned and, once set, stays valid for the life of the
// process: a failed or repeated initialisation replaces a field only with
// another valid object, so no path finds one cleared by a failure. Only the
// sequence writes them (holding g_init_claim). Other threads read them in
// one of two ways, named on each field: a field never replaced once set
// (made once per owner, or a static type) is read as it is; a field that a
// retried import replaces is read as a strong reference (ReadShared).
struct ModuleState {
  // The module, owned from creation. Null before the first attempt and after
  // a failed one; complete once the sequence is over. Read by the entry
  // under its binding's lock, and only while no sequence runs.
  PyObject* module;
  PyObject* module_dict;         // replaced by each run: ReadShared
  PyObject* builtins_module;     // replaced by each run: ReadShared
  PyObject* runtime_module;      // "qx_runtime", found in sys.modules; replaced by each run: ReadShared
  PyObject* empty_tuple;         // made once per owner
  PyObject* empty_bytes;         // made once per owner
  PyTypeObject* function_type;   // owned; the registry's function type, a static type, never freed
  NameObjects names;             // made once per owner
  PyObject* checksum_int;        // made once per owner
  PyObject* builtin_ValueError;  // replaced by each run: ReadShared
  // Per method of the fallback class, in the order of its rows
  // (enums/enum_base.cpp): the code object, and the defaults tuple (null:
  // none). Made once per owner.
  PyObject* fallback_code[kMaxFallbackMethods];
  PyObject* fallback_defaults[kMaxFallbackMethods];
  PyTypeObject* enum_meta_type;  // static type; not reference counted
  PyObject* ordered_dict_class;  // replaced by each run: ReadShared
  PyObject* enum_base_class;     // read by the sequence only
  PyObject* globals_dict;        // read by the sequence only
  const char* error_file QX_GUARDED_BY(g_traceback_mutex);
  int32_t error_line QX_GUARDED_BY(g_traceback_mutex);
  int32_t error_impl_line QX_GUARDED_BY(g_traceback_mutex);
  CodeObjectCache code_cache QX_GUARDED_BY(g_traceback_mutex);
  // Beyond the name table: the dotted module name as a str and the keyword
  // "module", used to tell IntEnum which module Weekdays belongs to. The
  // name is also the module table key, so that a failed initialisation can
  // remove its entry without allocating. Made once per owner.
  PyObject* module_name_text;
  PyObject* module_keyword;
};

extern ModuleState g_state;

// Objects made in an interpreter that the state no longer serves (it ended,
// or its import failed and another interpreter took over) are forgotten:
// the fields keep them, so code still running finds no empty field, but
// they are never released, since their runtime may be gone (a deliberate
// leak). The next import makes each of them anew.
void ForgetObjects() noexcept QX_EXCLUDES(g_traceback_mutex);
// Whether *slot, a field of g_state, still holds a forgotten object.
bool IsForgotten(PyObject* const* slot) noexcept;
// Stores value (a reference taken over) in *slot, a field of g_state, and
// releases the object it replaces (after the store, with no lock held)
// unless that one is forgotten; the same object is not stored again. The
// sequence only.
void ReplaceOwned(PyObject** slot, PyObject* value) noexcept QX_EXCLUDES(g_shared_fields_mutex);
// The object in *slot, a field of g_state that a retried import replaces, as
// a strong reference (null if none yet): a borrowed one could be released by
// that import on another thread while it is used.
PyObject* ReadShared(PyObject* const* slot) noexcept QX_EXCLUDES(g_shared_fields_mutex);

}  // namespace qx
