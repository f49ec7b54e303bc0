// The wall clock and the monotonic clock on a real system.
#include "platform/clock.h"

#include <ctime>

double wallClockNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// On macOS CLOCK_MONOTONIC counts through sleep (CLOCK_UPTIME_RAW would not).
double monotonicNow() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}
