// The system's own clocks, read directly.
#include "util/system_clock.h"

#include <ctime>

static double secondsOf(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double systemWallSeconds() { return secondsOf(CLOCK_REALTIME); }

double monotonicSeconds() { return secondsOf(CLOCK_MONOTONIC); }
