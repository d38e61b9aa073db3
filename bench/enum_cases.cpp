// The fallback enumeration (a class on __Qx_EnumBase) against IntEnum, both
// looked up from Python code.
#include "bench/bench.h"

#include <cmath>

namespace qxbench {

bool Bench::EnumCases() {
  const double kNoGoal = std::nan("");
  if (!AddTimed(
          {"enum K[name] vs E[name], Python code",
           {"__Qx_EnumBase K", PythonLoop(fx.Fn("by_name"), {fallback_enum.get(), wednesday.get()}), kUnroll},
           {"IntEnum E", PythonLoop(fx.Fn("by_name"), {int_enum.get(), wednesday.get()}), kUnroll},
           1.0})) {
    return false;
  }
  if (!AddTimed(
          {"enum K(value) vs E(value), Python code",
           {"__Qx_EnumBase K", PythonLoop(fx.Fn("by_value"), {fallback_enum.get(), four.get()}), kUnroll},
           {"IntEnum E", PythonLoop(fx.Fn("by_value"), {int_enum.get(), four.get()}), kUnroll},
           kNoGoal})) {
    return false;
  }
  return true;
}

}  // namespace qxbench
