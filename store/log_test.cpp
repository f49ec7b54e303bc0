// Tests of the log: line format, start-up handling of daemon.log, traps.
#include "store/log.h"

#include <algorithm>
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

// The machine boots at 1796417610.0, 2026-12-04 20:53:30 UTC.
constexpr const char* bootStamp = "[2026-12-04 20:53:30] ";

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

TEST_F(LogTest, LineGoesToFileAndStderrByteForByte) {
  logInit();
  ASSERT_GE(logFile, 0);
  StderrCapture err;
  log("Limit reached \xE2\x80\x94 charging inhibited");
  const std::string line = std::string(bootStamp) + "Limit reached \xE2\x80\x94 charging inhibited\n";
  EXPECT_EQ(err.take(), line);
  EXPECT_EQ(readWholeFile(logPath), line);
}

TEST_F(LogTest, MessagesAreWrittenUnchanged) {
  struct Case {
    std::string message;
    std::string line;
  };
  const std::vector<Case> cases = {
      {"", std::string(bootStamp) + "\n"},
      {"first\nsecond", std::string(bootStamp) + "first\nsecond\n"},
      {"  spaced  ", std::string(bootStamp) + "  spaced  \n"},
      {std::string("nul\0byte", 8), std::string(bootStamp) + std::string("nul\0byte", 8) + "\n"},
  };
  logInit();
  std::string expected;
  for (const auto& c : cases) {
    StderrCapture err;
    log(c.message);
    EXPECT_EQ(err.take(), c.line) << c.message;
    expected += c.line;
  }
  EXPECT_EQ(readWholeFile(logPath), expected);
}

TEST_F(LogTest, TimestampIsLocalTimeOfTheVirtualClock) {
  setenv("TZ", "CET-1", 1);
  tzset();
  logInit();
  log("a");
  simmac::advance(0.999);  // fractions are cut, not rounded
  log("b");
  simmac::advance(3600.0 * 24 * 30);
  log("c");
  EXPECT_EQ(readWholeFile(logPath),
            "[2026-12-04 21:53:30] a\n[2026-12-04 21:53:30] b\n[2027-01-03 21:53:30] c\n");
}

TEST_F(LogTest, OversizedLogIsEmptiedAtStartOnly) {
  for (const size_t size : {size_t{1000000}, size_t{1000001}, size_t{2000000}}) {
    SCOPED_TRACE(size);
    writeWholeFile(logPath, std::string(size, 'x'));
    logInit();
    log("=== hestle_warden starting ===");
    const std::string line = std::string(bootStamp) + "=== hestle_warden starting ===\n";
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
    EXPECT_EQ(readWholeFile(logPath), "old\n" + std::string(bootStamp) + "new\n");
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
  EXPECT_EQ(readWholeFile(logPath), std::string(bootStamp) + "hello\n");
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
    EXPECT_EQ(readWholeFile(logPath), std::string(bootStamp) + "line\n");
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
  EXPECT_EQ(readWholeFile(logPath), std::string(bootStamp) + "ours\n");
}

TEST_F(LogTest, FifoAtLogPathDoesNotHangStartUp) {
  ASSERT_EQ(mkfifo(logPath.c_str(), 0666), 0);
  alarm(20);  // a hang ends the test run instead of blocking it forever
  logInit();
  log("after fifo");
  alarm(0);
  EXPECT_TRUE(S_ISREG(lstatOf(logPath).st_mode));
  EXPECT_EQ(readWholeFile(logPath), std::string(bootStamp) + "after fifo\n");
}

TEST_F(LogTest, DirectoryInTheWayLeavesStderrOnly) {
  ASSERT_EQ(mkdir(logPath.c_str(), 0755), 0);
  logInit();
  EXPECT_EQ(logFile, -1);
  StderrCapture err;
  log("still visible");
  EXPECT_EQ(err.take(), std::string(bootStamp) + "still visible\n");
  EXPECT_TRUE(S_ISDIR(lstatOf(logPath).st_mode));
  EXPECT_EQ(entriesOf(dir.path()), std::vector<std::string>{"daemon.log"});  // no temporary left
}

TEST_F(LogTest, NoFileMeansStderrOnly) {
  // Before logInit() nothing is opened or created.
  StderrCapture early;
  log("early");
  EXPECT_EQ(early.take(), std::string(bootStamp) + "early\n");
  EXPECT_TRUE(entriesOf(dir.path()).empty());

  // A data directory that does not exist: the file cannot be made.
  logPath = dir.file("missing/daemon.log");
  logInit();
  EXPECT_EQ(logFile, -1);
  StderrCapture late;
  log("late");
  EXPECT_EQ(late.take(), std::string(bootStamp) + "late\n");
}

TEST_F(LogTest, LineAfterTruncationByAnotherProcessLandsAtNewEnd) {
  logInit();
  log("before truncation, long enough to leave a gap");
  ASSERT_EQ(truncate(logPath.c_str(), 0), 0);
  log("after");
  EXPECT_EQ(readWholeFile(logPath), std::string(bootStamp) + "after\n");
  // And after something else appended in between, too.
  const int other = open(logPath.c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(other, 0);
  ASSERT_EQ(write(other, "other\n", 6), 6);
  close(other);
  log("last");
  EXPECT_EQ(readWholeFile(logPath),
            std::string(bootStamp) + "after\nother\n" + bootStamp + "last\n");
}

}  // namespace
