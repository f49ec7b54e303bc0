// The log: every line to standard error and appended to daemon.log.
#pragma once

#include <string_view>

// Opens logPath once at start-up: empties a log over 1,000,000 bytes, creates
// a missing one, sets mode 0644. Never follows a link planted at the path.
void logInit();

// "[yyyy-MM-dd HH:mm:ss] message\n", local time, to stderr and the log.
void log(std::string_view message);
