// Compiled by ctest, never linked: a failure result converts to the null
// object and to the status -1, and a routine that returns bool cannot
// return one (QX_MISUSE must fail to compile, naming the deleted conversion).
#include "core/failure.h"

namespace {

[[maybe_unused]] PyObject* ObjectRoutine(qx::Failure* fail) { return fail->At(3, 4); }
[[maybe_unused]] int StatusRoutine(qx::Failure* fail) { return fail->At(3, 4); }
#ifdef QX_MISUSE
[[maybe_unused]] bool BoolRoutine(qx::Failure* fail) { return fail->At(3, 4); }
#endif

}  // namespace
