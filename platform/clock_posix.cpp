// The wall clock and the monotonic clock on a real system.
#include "platform/clock.h"

#include "util/system_clock.h"

double wallClockNow() { return systemWallSeconds(); }

// CLOCK_MONOTONIC, which on macOS counts through sleep (CLOCK_UPTIME_RAW would not).
double monotonicNow() { return monotonicSeconds(); }
