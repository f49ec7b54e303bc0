// The log: "[local time] message" lines in daemon.log, rotated past 1 MiB.
#include "store/log.h"

#include <cmath>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "state/globals.h"
#include "platform/clock.h"
#include "platform/system_log.h"
#include "store/safe_file.h"
#include "util/posix_io.h"

static constexpr off_t maxLogBytesAtStart = 1000000;
static constexpr off_t maxLogBytes = 1024 * 1024;  // rotated once a line takes it past this
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
  // A failure here is ignored: the log then keeps its mode.
  if (fchmod(fd, logMode) != 0) {
  }
  return fd;
}

static off_t sizeOfOpenFile(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 ? st.st_size : 0;
}

// daemon.log becomes daemon.log.1 and a fresh daemon.log is opened in logFile
// (-1 if none can be made: standard error then). The file rotated the time
// before is emptied through its own descriptor first, so that no second name
// given to it keeps its bytes; the rename never follows a link and moves the
// log only while logPath still names it. A log that lost its name is emptied.
static void rotateLog() {
  if (previousLogFile >= 0) {
    if (ftruncate(previousLogFile, 0) != 0) {
    }
    close(previousLogFile);
    previousLogFile = -1;
  }
  struct stat named {}, own {};
  const bool stillNamed = lstat(logPath.c_str(), &named) == 0 && fstat(logFile, &own) == 0 &&
                          named.st_dev == own.st_dev && named.st_ino == own.st_ino;
  if (stillNamed && rename(logPath.c_str(), (logPath + ".1").c_str()) == 0) {
    previousLogFile = logFile;
  } else {
    if (ftruncate(logFile, 0) != 0) {
    }
    close(logFile);
  }
  logFile = createFileReplacing(logPath, logMode, O_APPEND);
  logBytes = 0;
}

void logInit() {
  logToTerminal = isatty(STDERR_FILENO) == 1;
  if (previousLogFile >= 0) close(previousLogFile);  // left by an earlier run in this process
  previousLogFile = -1;
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
  logBytes = logFile >= 0 ? sizeOfOpenFile(logFile) : 0;
  if (logBytes > maxLogBytesAtStart) rotateLog();
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
  // one step, even after another process has shortened the file.
  const bool written = logFile >= 0 && writeAll(logFile, line);
  if (!written || logToTerminal) writeAll(STDERR_FILENO, line);  // a failure here has nowhere to go
  if (!written) {
    systemLog(message);  // launchd sends hestled's standard error nowhere
    return;
  }
  // The size is counted, not asked for after every line; only a count past
  // the ceiling is checked against the file (another process may have
  // shortened it) before the log rotates.
  logBytes += static_cast<int64_t>(line.size());
  if (logBytes > maxLogBytes && (logBytes = sizeOfOpenFile(logFile)) > maxLogBytes) rotateLog();
}
