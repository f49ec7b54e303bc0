// Tests of the log: line format, start-up handling of daemon.log, traps.
#include "store/log.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "daemon/globals.h"
#include "tests/test_support.h"

namespace {

// Collects what is written to standard error between construction and take().
class StderrCapture {
 public:
  StderrCapture() {
    fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    file_ = tmpfile();
    dup2(fileno(file_), STDERR_FILENO);
  }
  ~StderrCapture() { restore(); }
  std::string take() {
    restore();
    std::string out;
    rewind(file_);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, file_)) > 0) out.append(buf, n);
    return out;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    saved_ = -1;
  }
  int saved_ = -1;
  FILE* file_ = nullptr;
};

std::vector<std::string> entriesOf(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

struct stat lstatOf(const std::string& path) {
  struct stat st {};
  lstat(path.c_str(), &st);
  return st;
}

// Moves the virtual clock forward to `seconds` since 1970.
void advanceTo(double seconds) { simmac::advance(seconds - simmac::now()); }

// "[yyyy-MM-dd HH:mm:ss] " for the virtual clock's present, rendered here
// independently of the log (gmtime: the fixture runs in UTC).
std::string stamp() {
  const time_t whole = static_cast<time_t>(std::floor(simmac::now()));
  struct tm utc {};
  gmtime_r(&whole, &utc);
  char text[96];
  snprintf(text, sizeof text, "[%04d-%02d-%02d %02d:%02d:%02d] ", utc.tm_year + 1900,
           utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
  return text;
}

class LogTest : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    if (const char* tz = std::getenv("TZ")) savedTz_ = tz;
    setenv("TZ", "UTC0", 1);
    tzset();
    savedUmask_ = umask(022);
  }
  void TearDown() override {
    umask(savedUmask_);
    if (savedTz_) setenv("TZ", savedTz_->c_str(), 1);
    else unsetenv("TZ");
    tzset();
    DaemonTest::TearDown();
  }

 private:
  std::optional<std::string> savedTz_;
  mode_t savedUmask_ = 022;
};

TEST_F(LogTest, LineGoesToFileByteForByteAndNotToAStderrThatIsNoTerminal) {
  logInit();
  ASSERT_GE(logFile, 0);
  StderrCapture err;
  log("Limit reached \xE2\x80\x94 charging inhibited");
  const std::string line = stamp() + "Limit reached \xE2\x80\x94 charging inhibited\n";
  EXPECT_EQ(err.take(), "");
  EXPECT_EQ(readWholeFile(logPath), line);
}

TEST_F(LogTest, MessagesAreWrittenUnchanged) {
  struct Case {
    std::string message;
    std::string line;
  };
  const std::vector<Case> cases = {
      {"", stamp() + "\n"},
      {"first\nsecond", stamp() + "first\nsecond\n"},
      {"  spaced  ", stamp() + "  spaced  \n"},
      {std::string("nul\0byte", 8), stamp() + std::string("nul\0byte", 8) + "\n"},
  };
  logInit();
  std::string expected;
  for (const auto& c : cases) {
    StderrCapture err;
    log(c.message);
    EXPECT_EQ(err.take(), "") << c.message;
    expected += c.line;
  }
  EXPECT_EQ(readWholeFile(logPath), expected);
}

TEST_F(LogTest, TimestampIsLocalTimeOfTheVirtualClock) {
  struct Case {
    double at;  // virtual seconds since 1970
    const char* tz;
    const char* line;
  };
  // 1830000000 is 2027-12-28 13:20:00 UTC. Fractions are cut, not rounded.
  const std::vector<Case> cases = {
      {1830000000.25, "UTC0", "[2027-12-28 13:20:00] m\n"},
      {1830000000.999, "UTC0", "[2027-12-28 13:20:00] m\n"},
      {1830000001.001, "UTC0", "[2027-12-28 13:20:01] m\n"},
      {1830000001.001, "CET-1", "[2027-12-28 14:20:01] m\n"},
      {1830000001.001, "EST5", "[2027-12-28 08:20:01] m\n"},
      {1830000001.001 + 4 * 86400 + 10 * 3600, "CET-1", "[2028-01-02 00:20:01] m\n"},
      {1830000001.001 + 4 * 86400 + 10 * 3600, "EST5", "[2028-01-01 18:20:01] m\n"},
  };
  logInit();
  std::string expected;
  for (const auto& c : cases) {
    setenv("TZ", c.tz, 1);
    tzset();
    advanceTo(c.at);
    log("m");
    expected += c.line;
  }
  EXPECT_EQ(readWholeFile(logPath), expected);
}

TEST_F(LogTest, OversizedLogIsEmptiedAtStartOnly) {
  for (const size_t size : {size_t{1000000}, size_t{1000001}, size_t{2000000}}) {
    SCOPED_TRACE(size);
    writeWholeFile(logPath, std::string(size, 'x'));
    logInit();
    log("=== hestle_warden starting ===");
    const std::string line = stamp() + "=== hestle_warden starting ===\n";
    const std::string content = readWholeFile(logPath);
    if (size <= 1000000) {
      EXPECT_EQ(content, std::string(size, 'x') + line);
    } else {
      EXPECT_EQ(content, line);
    }
    close(logFile);
    logFile = -1;
  }
}

TEST_F(LogTest, ModeIs0644AfterStart) {
  for (const mode_t before : {0600, 0666, 0777, 0000}) {
    SCOPED_TRACE(before);
    writeWholeFile(logPath, "old\n");
    chmod(logPath.c_str(), before);
    logInit();
    EXPECT_EQ(fileMode(logPath), 0644u);
    log("new");
    EXPECT_EQ(readWholeFile(logPath), "old\n" + stamp() + "new\n");
    close(logFile);
    logFile = -1;
  }
}

TEST_F(LogTest, MissingLogIsCreatedWith0644WhateverTheUmask) {
  umask(077);
  logInit();
  ASSERT_GE(logFile, 0);
  EXPECT_TRUE(S_ISREG(lstatOf(logPath).st_mode));
  EXPECT_EQ(fileMode(logPath), 0644u);
  log("hello");
  EXPECT_EQ(readWholeFile(logPath), stamp() + "hello\n");
  EXPECT_EQ(entriesOf(dir.path()), std::vector<std::string>{"daemon.log"});
}

// Another user plants something at daemon.log; the victim must come out
// untouched and the daemon must log into a fresh file of its own.
TEST_F(LogTest, PlantedLinksAreReplacedNotFollowed) {
  enum class Trap { symlink, hardLink };
  for (const Trap trap : {Trap::symlink, Trap::hardLink}) {
    SCOPED_TRACE(trap == Trap::symlink ? "symbolic link" : "hard link");
    TempDir elsewhere;
    const std::string victim = elsewhere.file("victim");
    const std::string victimBytes(1000001, 'v');  // big enough to be emptied
    writeWholeFile(victim, victimBytes);
    chmod(victim.c_str(), 0600);
    unlink(logPath.c_str());
    if (trap == Trap::symlink) {
      ASSERT_EQ(symlink(victim.c_str(), logPath.c_str()), 0);
    } else {
      // Hard links need one file system: plant the victim in the data dir.
      const std::string local = dir.file("victim");
      rename(victim.c_str(), local.c_str());
      ASSERT_EQ(link(local.c_str(), logPath.c_str()), 0);
    }
    const std::string victimPath = trap == Trap::symlink ? victim : dir.file("victim");
    logInit();
    log("line");
    EXPECT_EQ(readWholeFile(victimPath), victimBytes);
    EXPECT_EQ(fileMode(victimPath), 0600u);
    EXPECT_EQ(lstatOf(victimPath).st_nlink, 1u);
    const struct stat st = lstatOf(logPath);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_nlink, 1u);
    EXPECT_EQ(fileMode(logPath), 0644u);
    EXPECT_EQ(readWholeFile(logPath), stamp() + "line\n");
    unlink(dir.file("victim").c_str());
    close(logFile);
    logFile = -1;
  }
}

TEST_F(LogTest, AnotherUsersFileIsReplaced) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a file away";
  writeWholeFile(logPath, "theirs\n");
  ASSERT_EQ(chown(logPath.c_str(), 12345, 12345), 0);
  logInit();
  log("ours");
  const struct stat st = lstatOf(logPath);
  EXPECT_EQ(st.st_uid, geteuid());
  EXPECT_EQ(fileMode(logPath), 0644u);
  EXPECT_EQ(readWholeFile(logPath), stamp() + "ours\n");
}

TEST_F(LogTest, FifoAtLogPathDoesNotHangStartUp) {
  ASSERT_EQ(mkfifo(logPath.c_str(), 0666), 0);
  alarm(20);  // a hang ends the test run instead of blocking it forever
  logInit();
  log("after fifo");
  alarm(0);
  EXPECT_TRUE(S_ISREG(lstatOf(logPath).st_mode));
  EXPECT_EQ(readWholeFile(logPath), stamp() + "after fifo\n");
}

TEST_F(LogTest, DirectoryInTheWayLeavesStderrOnly) {
  ASSERT_EQ(mkdir(logPath.c_str(), 0755), 0);
  logInit();
  EXPECT_EQ(logFile, -1);
  StderrCapture err;
  log("still visible");
  EXPECT_EQ(err.take(), stamp() + "still visible\n");
  EXPECT_TRUE(S_ISDIR(lstatOf(logPath).st_mode));
  EXPECT_EQ(entriesOf(dir.path()), std::vector<std::string>{"daemon.log"});  // no temporary left
}

TEST_F(LogTest, NoFileMeansStderrOnly) {
  // Before logInit() nothing is opened or created.
  StderrCapture early;
  log("early");
  EXPECT_EQ(early.take(), stamp() + "early\n");
  EXPECT_TRUE(entriesOf(dir.path()).empty());

  // A data directory that does not exist: the file cannot be made.
  logPath = dir.file("missing/daemon.log");
  logInit();
  EXPECT_EQ(logFile, -1);
  StderrCapture late;
  log("late");
  EXPECT_EQ(late.take(), stamp() + "late\n");
}

TEST_F(LogTest, LineAfterTruncationByAnotherProcessLandsAtNewEnd) {
  logInit();
  log("before truncation, long enough to leave a gap");
  ASSERT_EQ(truncate(logPath.c_str(), 0), 0);
  log("after");
  EXPECT_EQ(readWholeFile(logPath), stamp() + "after\n");
  // And after something else appended in between, too.
  const int other = open(logPath.c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(other, 0);
  ASSERT_EQ(write(other, "other\n", 6), 6);
  close(other);
  log("last");
  EXPECT_EQ(readWholeFile(logPath),
            stamp() + "after\nother\n" + stamp() + "last\n");
}

}  // namespace
