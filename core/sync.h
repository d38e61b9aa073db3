// The module's one lock type and its one guard, annotated for clang's
// thread-safety analysis (-Wthread-safety, an error in the clang tree): a
// field declared QX_GUARDED_BY(lock) cannot be touched where the analysis
// cannot see that lock held.
//
// The rules every lock of the module keeps:
// - it is held only around plain C steps: nothing under it may run Python
//   code (no call, no release of an object, no allocation of one the
//   collector tracks), since that code may block on another thread or come
//   back here on this one;
// - so it never nests in itself, and a thread never waits on it for long.
// Python code that must run while a structure is guarded runs under a
// critical section of the object instead, which the interpreter suspends
// whenever the thread blocks.
#pragma once

#include <Python.h>

#include <cstdint>

#if defined(__clang__)
#define QX_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QX_THREAD_ANNOTATION(x)
#endif

#define QX_CAPABILITY(x) QX_THREAD_ANNOTATION(capability(x))
#define QX_SCOPED_CAPABILITY QX_THREAD_ANNOTATION(scoped_lockable)
#define QX_GUARDED_BY(x) QX_THREAD_ANNOTATION(guarded_by(x))
#define QX_REQUIRES(...) QX_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define QX_ACQUIRE(...) QX_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define QX_RELEASE(...) QX_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define QX_EXCLUDES(...) QX_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define QX_ASSERT_CAPABILITY(x) QX_THREAD_ANNOTATION(assert_capability(x))

namespace qx {

// Without the GIL a PyMutex, which lets the thread state go while it waits
// (a waiting thread never holds up a stop-the-world pause). With the GIL,
// nothing: plain C steps cannot interleave there.
class QX_CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

#ifdef Py_GIL_DISABLED
  void Lock() noexcept QX_ACQUIRE() { PyMutex_Lock(&mutex_); }
  void Unlock() noexcept QX_RELEASE() { PyMutex_Unlock(&mutex_); }

 private:
  PyMutex mutex_{};
#else
  void Lock() noexcept QX_ACQUIRE() {}
  void Unlock() noexcept QX_RELEASE() {}
#endif
};

class QX_SCOPED_CAPABILITY MutexGuard {
 public:
  explicit MutexGuard(Mutex& mutex) noexcept QX_ACQUIRE(mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~MutexGuard() QX_RELEASE() { mutex_.Unlock(); }
  MutexGuard(const MutexGuard&) = delete;
  MutexGuard& operator=(const MutexGuard&) = delete;

 private:
  Mutex& mutex_;
};

// A critical section for a structure that Python code may change while it
// is guarded, and whose own object lock does not serve: free-threaded 3.13's
// OrderedDict takes its own lock again inside its operations, and a section
// on the same object is suspended for that inner step, letting another
// thread in half-way through. So the section is on one of a fixed set of
// lock objects chosen by the structure's address (structures that share one
// only wait for each other). Like any critical section it is suspended
// while the thread blocks (in Python code, or on another lock), so no
// thread waits on another in a cycle; exclusion holds between such points.
// Nothing with the GIL.
class StripedSection {
 public:
  explicit StripedSection([[maybe_unused]] const void* key) noexcept {
#ifdef Py_GIL_DISABLED
    PyCriticalSection_Begin(&section_, &stripes_[(reinterpret_cast<std::uintptr_t>(key) >> 4) % kStripes]);
#endif
  }
  ~StripedSection() {
#ifdef Py_GIL_DISABLED
    PyCriticalSection_End(&section_);
#endif
  }
  StripedSection(const StripedSection&) = delete;
  StripedSection& operator=(const StripedSection&) = delete;

 private:
#ifdef Py_GIL_DISABLED
  static constexpr std::uintptr_t kStripes = 64;
  // Object headers used only for their lock (ob_mutex, which the section
  // takes): never given to Python code, never reference counted.
  static inline PyObject stripes_[kStripes]{};
  PyCriticalSection section_;
#endif
};

}  // namespace qx
