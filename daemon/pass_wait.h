// The daemon's one wait: its thread's run loop, which serves the stop pipe,
// the system power notifications and the time between passes.
#pragma once

// Adds a CFFileDescriptor source for `stopFd` to the current run loop. False
// when it cannot be made.
bool watchStopPipe(int stopFd);
// Takes the source out again and lets go of it.
void unwatchStopPipe();

// Waits `seconds` on the monotonic clock for the next pass. Returns at once
// for a stop request and after a wake; while a sleep is under way it does not
// return for the time alone.
void waitForNextPass(double seconds);
