// The log: "[local time] message" lines to standard error and daemon.log.
#include "store/log.h"

#include <cmath>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "state/globals.h"
#include "platform/clock.h"
#include "store/safe_file.h"
#include "util/posix_io.h"

static constexpr off_t maxLogBytesAtStart = 1000000;
static constexpr mode_t logMode = 0644;

// A log the daemon may keep appending to: a regular file with one link,
// owned by the daemon. Anything else may be a trap another user has set.
static bool isOwnPlainFile(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == geteuid();
}

// Opens the existing log at logPath for appending, or -1 when the entry
// there is missing or not the daemon's own plain file.
static int openExistingLog() {
  struct stat before {};
  if (lstat(logPath.c_str(), &before) != 0 || !isOwnPlainFile(before)) return -1;
  const int fd = openRetrying(logPath.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !isOwnPlainFile(st) || st.st_dev != before.st_dev ||
      st.st_ino != before.st_ino) {
    close(fd);
    return -1;
  }
  // Failures here are ignored: the log then keeps its size or mode.
  if (st.st_size > maxLogBytesAtStart && ftruncate(fd, 0) != 0) {
  }
  if (fchmod(fd, logMode) != 0) {
  }
  return fd;
}

void logInit() {
  int fd = openExistingLog();
  // Missing, or something else in its place (a link, a hard link, a FIFO,
  // another user's file): put a fresh file of our own there. A directory
  // in the way stays, and the log goes to standard error only.
  if (fd < 0) fd = createFileReplacing(logPath, logMode, O_APPEND);
  if (fd >= 0) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  }
  logFile = fd;
}

// The local time of `seconds` through logDateFmt ("yyyy-MM-dd HH:mm:ss").
static std::string formatTimestamp(double seconds) {
  const time_t whole = static_cast<time_t>(std::floor(seconds));
  struct tm local {};
  char text[64] = "";
  if (localtime_r(&whole, &local)) strftime(text, sizeof text, logDateFmt.c_str(), &local);
  return text;
}

void log(std::string_view message) {
  std::string line;
  line.reserve(message.size() + 24);
  line += '[';
  line += formatTimestamp(wallClockNow());
  line += "] ";
  line += message;
  line += '\n';
  // write(2) rather than fputs: a message may hold a NUL byte, and the line
  // goes out whole. O_APPEND puts each line at the file's current end in
  // one step, even after another process has shortened the file. A failed
  // write has nowhere to be reported: the line is lost.
  writeAll(STDERR_FILENO, line);
  if (logFile >= 0) writeAll(logFile, line);
}
