// Traceback entries: a failure repeated at one site (the code object comes
// from the cache) against a first failure at a new site (it is built).
#include "bench/bench.h"

#include <cstdint>

#include "bench/failure_report.h"

namespace qxbench {

bool Bench::TracebackCases() {
  Failure failure{exc_value.get()};
  if (!failure.Report(kHitSourceLine, kHitImplLine)) return Fail("traceback warm-up");
  Runner hit = [failure](long n) {
    const auto t0 = Clock::now();
    for (long i = 0; i < n; ++i) {
      if (!failure.Report(kHitSourceLine, kHitImplLine)) return -1.0;
    }
    return Seconds(t0, Clock::now());
  };
  Runner miss = [failure](long n) {
    ScratchCache scratch;  // released outside the timed part
    const auto t0 = Clock::now();
    for (long i = 0; i < n; ++i) {
      if (!failure.Report(static_cast<int32_t>(i + 1), kMissImplLine)) return -1.0;
    }
    return Seconds(t0, Clock::now());
  };
  TimedCase c{"traceback entry, hit vs miss",
              {"repeat at one site (hit)", hit},
              {"first at a new site (miss)", miss},
              0.5,
              4096};
  return AddTimed(c);
}

}  // namespace qxbench
