// Seconds of a clock that never goes back, for the deadlines and the
// timings of tests and benchmarks.
#ifndef KT_TEST_SECONDS_H
#define KT_TEST_SECONDS_H

#include <time.h>

namespace kt {
namespace test {

inline double seconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

}  // namespace test
}  // namespace kt

#endif
