// Start-up of hestled and the whole run of the daemon.
#pragma once

#include <string>

// Where the product keeps its files; the product build uses nothing else.
inline constexpr const char* kDataDirectory = "/Library/Application Support/Hestle";

// The start-up sequence up to and including "Starting main loop" and the
// installation of the termination handlers. False when the SMC cannot be
// opened or the stop handlers cannot be installed: the fatal line has been
// logged, no key has been written, and the caller exits with status 1.
bool startUp(const std::string& dataDir);

// Start-up, then the control loop until a stop request has been served by the
// clean shutdown. Returns the process's exit status (0, or 1 at start-up).
int runDaemon(const std::string& dataDir);
