// The log: every line appended to daemon.log, which is kept under a ceiling.
#pragma once

#include <string_view>

// Opens a fresh log at logPath once at start-up, mode 0644: the last run's
// log, when it is the daemon's own plain file (a regular file with one link,
// owned by the effective user), becomes daemon.log.1; anything else at the
// path is replaced, never followed (a directory stays). logFile is -1 when
// nothing could be opened: standard error is told so once, and log() tries
// again at most once a minute. Notes whether standard error is a terminal.
void logInit();

// "[yyyy-MM-dd HH:mm:ss] message\n", local time, appended at the log's current
// end in one write. The line also goes to standard error when it could not be
// written to the log (before logInit(), no file, a failed write) or when
// standard error is a terminal; a line the log could not take also goes to
// the system's log (platform/system_log.h). Once the file has grown past 1 MiB
// (by whatever hand) it is rotated: it becomes daemon.log.1 (the older daemon.log.1 is emptied and
// replaced) and a fresh daemon.log takes the next line, so the daemon's logs
// never hold much more than 2 MiB together. Allocates: not for use inside a
// signal handler.
void log(std::string_view message);
