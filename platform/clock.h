// The daemon's clocks. On a Mac, clock_posix.cpp reads the system's; the
// simulated Mac implements them over its virtual time. The daemon's wait
// between passes is its run loop (CFRunLoopRunInMode); pauseFor() serves the
// short waits before the run loop has a source or inside a pass.
#pragma once

// Wall-clock time in seconds since 1970-01-01 00:00 UTC, with its fraction.
// It jumps when the clock is set.
double wallClockNow();

// Seconds on a clock that never jumps and keeps counting while the Mac
// sleeps (CLOCK_MONOTONIC on a Mac); only differences mean anything.
double monotonicNow();

// Waits `seconds` (nothing for zero, a negative or a non-finite number): a
// start-up waiting for a late service, or a short wait for a lock. The
// simulated Mac waits on its virtual clock.
void pauseFor(double seconds);
