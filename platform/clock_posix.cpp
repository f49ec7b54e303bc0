// The wall clock and the monotonic clock on a real system.
#include "platform/clock.h"

#include <cerrno>
#include <cmath>
#include <ctime>

#include "util/system_clock.h"

double wallClockNow() { return systemWallSeconds(); }

// CLOCK_MONOTONIC, which on macOS counts through sleep (CLOCK_UPTIME_RAW would not).
double monotonicNow() { return monotonicSeconds(); }

void pauseFor(double seconds) {
  if (!(seconds > 0.0) || !std::isfinite(seconds)) return;
  timespec left{static_cast<time_t>(seconds), static_cast<long>((seconds - std::floor(seconds)) * 1e9)};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}
