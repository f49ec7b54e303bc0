// The log: every line appended to daemon.log, which is kept under a ceiling.
#pragma once

#include <string_view>

// Opens logPath once at start-up: moves a log over 1,000,000 bytes aside to
// daemon.log.1 and starts a fresh one, creates a missing one, sets mode 0644.
// Never follows a link planted at the path: only a regular file with one
// link, owned by the effective user, is kept; anything else is replaced by a
// fresh file (a directory stays, and the log then goes to standard error
// only). logFile is -1 when nothing could be opened. Notes whether standard
// error is a terminal.
void logInit();

// "[yyyy-MM-dd HH:mm:ss] message\n", local time, appended at the log's current
// end in one write. The line also goes to standard error when it could not be
// written to the log (before logInit(), no file, a failed write) or when
// standard error is a terminal; a line the log could not take also goes to
// the system's log (platform/system_log.h). Once the log has grown past 1 MiB it is
// rotated: it becomes daemon.log.1 (the older daemon.log.1 is emptied and
// replaced) and a fresh daemon.log takes the next line, so the daemon's logs
// never hold much more than 2 MiB together. Allocates: not for use inside a
// signal handler.
void log(std::string_view message);
