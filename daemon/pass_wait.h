// The daemon's one wait: its thread's run loop, which serves the stop pipe,
// the system power notifications and the time between passes.
#pragma once

// Adds a CFFileDescriptor source for `stopFd` to the current run loop. False
// when it cannot be made.
bool watchStopPipe(int stopFd);
// Takes the source out again and lets go of it.
void unwatchStopPipe();

// Waits `seconds` on the monotonic clock for the next pass. Returns at once
// for a stop request, after a full wake, and when the wait finds it has slept
// (a dark wake sends no message: only the clocks tell).
void waitForNextPass(double seconds);
// True once after a wait that slept.
bool takeSlept();
