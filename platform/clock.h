// The daemon's only contact with time: the wall clock and the one place it waits.
// On a Mac, clock_posix.cpp implements these with the system clock and poll();
// the simulated Mac implements them over its virtual clock.
#pragma once

// Wall-clock time in seconds since 1970-01-01 00:00 UTC, with its fraction.
double wallClockNow();

// Waits up to `seconds`, or until `wakeFd` is readable. Returns true when
// woken through `wakeFd` (the byte is left for the caller to drain), false
// when the time ran out. Interrupted waits resume for the rest of the time.
bool waitForWake(int wakeFd, double seconds);
