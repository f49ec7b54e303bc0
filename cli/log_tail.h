// Reading the daemon's log from its end, and following what is appended.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>

// An open log and how far it has been read.
struct OpenLog {
  int fd = -1;
  dev_t device = 0;
  ino_t inode = 0;
  off_t offset = 0;  // bytes before this have been handed out
};

// Opens `path` for reading without following a link or blocking; none, with
// `error` set, unless it is a readable regular file.
std::optional<OpenLog> openLog(const std::string& path, std::string& error);
void closeLog(OpenLog& log);

// The last `count` lines of the file (a final line without a line feed counts
// as one), from its last 2 MiB at most; afterwards `log.offset` is the end of
// what was read.
std::string lastLines(OpenLog& log, int64_t count);

// What was written since `log.offset`, at most its last 2 MiB (what is older
// is skipped). When the file has been truncated, reads
// again from its start; when `path` now names another file (replaced or
// recreated), switches to that file and reads it from its start.
std::string readAppended(OpenLog& log, const std::string& path);
