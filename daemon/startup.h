// Start-up of hestled and the whole run of the daemon.
#pragma once

#include <string>

// Where the product keeps its files; the product build uses nothing else.
inline constexpr const char* kDataDirectory = "/Library/Application Support/Hestle";

// How long start-up tries to open the SMC before it gives up: the AppleSMC
// service can come late at boot.
inline constexpr double kSmcLateBootSeconds = 30.0;

// The product's data directory, when it is root's directory, gets mode 0777
// (an earlier installation may have left it 0700): the settings must be
// writable by every user. Never through a link. The Mac's main calls it
// before start-up; the Linux build, pointed at any directory, leaves its
// mode alone.
void openUpDataDirectory(const std::string& path);

// The start-up sequence up to and including "Starting main loop" and the
// installation of the termination handlers. False when the SMC cannot be
// opened within kSmcLateBootSeconds or the stop handlers cannot be installed:
// the fatal line has been logged, no key has been written, and the caller
// exits.
bool startUp(const std::string& dataDir);

// Start-up, then the control loop until a stop request has been served by the
// clean shutdown. Returns the process's exit status: 0 after the clean
// shutdown, 1 after a fatal start-up ("FATAL: Cannot open AppleSMC. Exiting."
// or the stop handlers). launchd restarts the job after any end but a
// successful exit (KeepAlive with SuccessfulExit false), at most every
// ThrottleInterval (300 s): after a crash or a kill it comes back and hands
// the hardware back, and on a Mac where it cannot run it logs its lines every
// five minutes rather than every ten seconds.
int runDaemon(const std::string& dataDir);
