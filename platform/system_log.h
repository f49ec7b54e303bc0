// The system's log, for what the daemon's own log cannot take. On a Mac,
// system_log_posix.cpp hands it to syslog(3), which macOS keeps in the
// unified log (`log show`, Console); the simulated Mac keeps it for the tests.
#pragma once

#include <string_view>

// One line, without its line feed.
void systemLog(std::string_view message);
