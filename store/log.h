// The log: every line to standard error and appended to daemon.log.
#pragma once

#include <string_view>

// Opens logPath once at start-up: empties a log over 1,000,000 bytes, creates
// a missing one, sets mode 0644. Never follows a link planted at the path:
// only a regular file with one link, owned by the effective user, is kept;
// anything else is replaced by a fresh file (a directory stays, and the log
// then goes to standard error only). logFile is -1 when nothing could be opened.
void logInit();

// "[yyyy-MM-dd HH:mm:ss] message\n", local time, to stderr and the log, in
// one write each; appended at the file's current end. Allocates: not for use
// inside a signal handler.
void log(std::string_view message);
