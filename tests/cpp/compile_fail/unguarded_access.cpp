// Compiled by ctest under clang's thread-safety analysis, never linked: a
// field the module guards is read under its lock; read without it
// (QX_MISUSE=1), the file must fail to compile, naming the lock.
#include "core/sync.h"
#include "runtime/traceback.h"

namespace {

[[maybe_unused]] int32_t GuardedRead() {
  qx::MutexGuard guard(qx::g_traceback_mutex);
  return qx::g_traceback.error_line;
}
#if QX_MISUSE == 1
[[maybe_unused]] int32_t UnguardedRead() { return qx::g_traceback.error_line; }
#endif

}  // namespace
