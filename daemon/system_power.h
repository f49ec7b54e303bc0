// Sleep and wake: the daemon's registration for system power notifications,
// whose callback runs on the daemon's one thread inside its run-loop wait,
// and the wakes it schedules.
#pragma once

// Registers with the root power domain and adds the notification port's
// source to the current run loop. On failure logs a warning and returns
// false: the daemon then runs as if the Mac never slept.
bool registerForSystemPower();

// Cancels a wake the daemon scheduled, takes the source out of the run loop,
// deregisters, closes the connection and destroys the port.
void deregisterForSystemPower();

// From kIOMessageSystemWillSleep until kIOMessageSystemHasPoweredOn the Mac
// counts as asleep: a pass then (in a dark wake, which sends neither message)
// applies the sleep rule, never the awake rows.
bool inSleepSpan();

// True once after each wake: a pass is due at once.
bool takeWakePass();

// Schedules a wake (kIOPMAutoWake) `seconds` from now, replacing one the
// daemon scheduled before; false when the system refused.
bool scheduleWakeIn(double seconds);
// Cancels the wake the daemon scheduled, if any.
void cancelScheduledWake();
// Start-up: cancels every wake scheduled under the daemon's name, which an
// earlier run (killed before it could cancel them) left with the system;
// logs how many when there were any.
void cancelLeftoverWakes();
