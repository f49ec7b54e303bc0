// Stop requests (SIGTERM, SIGINT) and the clean shutdown.
#pragma once

// Hands back the adapter, charging and the LED and writes the final status.
void cleanShutdown();

// Creates the wake pipe and installs the handler for SIGTERM, then SIGINT.
// The handler only records the request and wakes the loop.
void installTerminationHandlers();

// True once a stop has been requested.
bool stopRequested();

// Requests a stop as the handler does (for in-process callers).
void requestStop();

// The descriptor that becomes readable when a stop is requested; -1 before
// installTerminationHandlers().
int stopWakeFd();
