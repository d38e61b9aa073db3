// Compiled by ctest, never linked: a failure result converts to the null
// object, and gives the status -1 only when asked (Status()). Returned as
// it is from a routine that returns bool (QX_MISUSE=1) or int (QX_MISUSE=2),
// it must fail to compile, naming the deleted conversion.
#include "core/failure.h"

namespace {

constexpr qx::Position kPoint{3, 4};

[[maybe_unused]] PyObject* ObjectRoutine(qx::Failure* fail) { return fail->At(kPoint); }
[[maybe_unused]] int StatusRoutine(qx::Failure* fail) { return fail->At(kPoint).Status(); }
#if QX_MISUSE == 1
[[maybe_unused]] bool BoolRoutine(qx::Failure* fail) { return fail->At(kPoint); }
#elif QX_MISUSE == 2
[[maybe_unused]] int CountRoutine(qx::Failure* fail) { return fail->At(kPoint); }
#endif

}  // namespace
