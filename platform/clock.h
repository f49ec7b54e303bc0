// The daemon's clocks. On a Mac, clock_posix.cpp reads the system's; the
// simulated Mac implements them over its virtual time. The daemon's one wait
// is its run loop (CFRunLoopRunInMode), not a function here.
#pragma once

// Wall-clock time in seconds since 1970-01-01 00:00 UTC, with its fraction.
// It jumps when the clock is set.
double wallClockNow();

// Seconds on a clock that never jumps and keeps counting while the Mac
// sleeps (CLOCK_MONOTONIC on a Mac); only differences mean anything.
double monotonicNow();
