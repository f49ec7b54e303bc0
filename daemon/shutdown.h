// Stop requests (SIGTERM, SIGINT) and the clean shutdown.
//
// The signal handler does only what is async-signal-safe: it records the
// request and writes one byte to a pipe, which wakes the control loop's wait.
// The loop notices the request between passes and runs cleanShutdown() in the
// main flow, so the clean-up never interleaves with an SMC exchange, a log
// write or a status write, and no pass runs after it.
#pragma once

// Hands back the adapter and charging where the daemon holds them, hands the
// LED back and writes the final status; then deregisters from the system
// power notifications (a wake it scheduled cancelled) and stops watching the
// stop pipe.
void cleanShutdown();

// Creates the wake pipe and installs the handler for SIGTERM, then SIGINT.
// False, with an "ERROR: " line logged, when either cannot be done: the
// daemon could then not be stopped cleanly.
bool installTerminationHandlers();

// True once a stop has been requested.
bool stopRequested();

// Requests a stop as the handler does (for in-process callers such as the
// simulation harness).
void requestStop();

// Forgets a served stop request and closes the wake pipe, so that one process
// can run the daemon again (tests, the harness); the next
// installTerminationHandlers() makes a fresh pipe.
void clearStopRequest();

// The descriptor that becomes readable when a stop is requested; -1 before
// installTerminationHandlers().
int stopWakeFd();
