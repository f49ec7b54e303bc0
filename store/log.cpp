// The log: "[local time] message" lines in daemon.log, rotated past 1 MiB.
#include "store/log.h"

#include <cmath>
#include <limits>
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

static constexpr off_t maxLogBytes = 1024 * 1024;  // rotated once a line takes it past this
static constexpr mode_t logMode = 0644;
static constexpr double logReopenSeconds = 60;  // a log that could not be opened is tried again after this

// A log the daemon wrote itself: a regular file with one link, owned by the
// daemon. Anything else may be a trap another user has set.
static bool isOwnPlainFile(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == geteuid();
}

static off_t sizeOfOpenFile(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 ? st.st_size : 0;
}

static std::string stampedLine(std::string_view message);

// A fresh daemon.log in logFile. When none can be made (a directory in the
// way, a temporary taken away), the lines go to standard error, which is told
// so once, and a later line tries again after logReopenSeconds.
static void openFreshLog() {
  logFile = createFileReplacing(logPath, logMode, O_APPEND);
  if (logFile >= 0) {
    logReopenTime = std::numeric_limits<double>::infinity();
    return;
  }
  if (logReopenTime == std::numeric_limits<double>::infinity())
    writeAll(STDERR_FILENO, stampedLine("Cannot open " + logPath + "; the log goes to standard error until it can be"));
  logReopenTime = monotonicNow() + logReopenSeconds;
}

// daemon.log becomes daemon.log.1 and a fresh daemon.log is opened in logFile.
// The file rotated the time before is emptied through its own descriptor
// first, so that no second name given to it keeps its bytes; the rename never
// follows a link and moves the log only while logPath still names it. A log
// that lost its name is emptied.
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
  openFreshLog();
}

void logInit() {
  logToTerminal = isatty(STDERR_FILENO) == 1;
  if (previousLogFile >= 0) close(previousLogFile);  // left by an earlier run in this process
  previousLogFile = -1;
  logReopenTime = std::numeric_limits<double>::infinity();
  // Every run starts a fresh log and never appends to the one it finds: a
  // file the daemon once wrote may have been within another user's reach
  // since (a root file of mode 0666 renamed here, still held open for
  // writing). The last run's log, when it is the daemon's own plain file, is
  // kept as daemon.log.1; anything else there (a link, a FIFO, another
  // user's file) is replaced, never followed. A directory in the way stays.
  struct stat st {};
  if (lstat(logPath.c_str(), &st) == 0 && isOwnPlainFile(st)) rename(logPath.c_str(), (logPath + ".1").c_str());
  openFreshLog();
}

// The local time of `seconds` through logDateFmt ("yyyy-MM-dd HH:mm:ss").
static std::string formatTimestamp(double seconds) {
  const time_t whole = static_cast<time_t>(std::floor(seconds));
  struct tm local {};
  char text[64] = "";
  if (localtime_r(&whole, &local)) strftime(text, sizeof text, logDateFmt.c_str(), &local);
  return text;
}

static std::string stampedLine(std::string_view message) {
  std::string line;
  line.reserve(message.size() + 24);
  line += '[';
  line += formatTimestamp(wallClockNow());
  line += "] ";
  line += message;
  line += '\n';
  return line;
}

void log(std::string_view message) {
  const std::string line = stampedLine(message);
  if (logFile < 0 && monotonicNow() >= logReopenTime) openFreshLog();
  // write(2) rather than fputs: a message may hold a NUL byte, and the line
  // goes out whole. O_APPEND puts each line at the file's current end in
  // one step, even after another process has shortened the file.
  const bool written = logFile >= 0 && writeAll(logFile, line);
  if (!written || logToTerminal) writeAll(STDERR_FILENO, line);  // a failure here has nowhere to go
  if (!written) {
    systemLog(message);  // launchd sends hestled's standard error nowhere
    return;
  }
  // The file's own size, not a count of the daemon's bytes: it may have
  // grown by another hand.
  if (sizeOfOpenFile(logFile) > maxLogBytes) rotateLog();
}
