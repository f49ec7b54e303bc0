// The log's lines: to standard error and daemon.log, byte for byte, stamped
// with the local time. (What start-up does with daemon.log: safe_file_test.cpp.)
#include "store/log.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "daemon/globals.h"
#include "tests/test_support.h"

namespace {

const std::string stamp = "[2026-12-04 20:53:30] ";  // the simulated Mac's boot time, in UTC

class LogTest : public DaemonTest {
 protected:
  void SetUp() override { DaemonTest::SetUp(), setenv("TZ", "UTC0", 1), tzset(), umask(077); }  // no mode may depend on the umask
  void TearDown() override { umask(022), unsetenv("TZ"), tzset(), alarm(0), DaemonTest::TearDown(); }
};

// Standard error gets only what the file could not take (before logInit()
// opened it), unless it is a terminal that someone watches; the file every line once.
TEST_F(LogTest, LinesGoToTheFileUnchangedAndToStderrOnlyBeforeItOrOnATerminal) {
  for (const bool terminal : {false, true}) {
    SCOPED_TRACE(terminal);
    const int reader = terminal ? posix_openpt(O_RDWR | O_NOCTTY) : open(dir.file("stderr").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_TRUE(reader >= 0 && (!terminal || (grantpt(reader) == 0 && unlockpt(reader) == 0)));
    const int savedStderr = dup(STDERR_FILENO), writer = terminal ? open(ptsname(reader), O_RDWR | O_NOCTTY) : dup(reader);
    dup2(writer, STDERR_FILENO);
    unlink(logPath.c_str());
    log("before the file");
    EXPECT_FALSE(exists(logPath));  // nothing opened or created yet
    logInit();
    std::string all;
    for (const std::string& message : {std::string("Limit reached \xE2\x80\x94 inhibited"), std::string(),
                                       std::string("first\nsecond"), std::string("  nul\0byte ", 11)}) {
      log(message);
      all += stamp + message + "\n";
    }
    dup2(savedStderr, STDERR_FILENO), close(savedStderr), close(writer), close(logFile), logFile = -1;
    char buffer[4096];
    fcntl(reader, F_SETFL, O_NONBLOCK);
    const ssize_t n = terminal ? read(reader, buffer, sizeof buffer) : 0;
    const std::string copied = terminal ? std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0) : readWholeFile(dir.file("stderr"));
    close(reader);
    EXPECT_EQ(terminal ? copied.find("] Limit reached") != std::string::npos : copied == stamp + "before the file\n", true) << copied;
    EXPECT_EQ(readWholeFile(logPath), all);
  }
}

TEST_F(LogTest, TimestampIsLocalTimeCutToTheSecond) {
  const std::tuple<double, const char*, const char*> rows[] = {  // 1830000000 is 2027-12-28 13:20:00 UTC
      {1830000000.999, "UTC0", "[2027-12-28 13:20:00] m\n"}, {1830000001.001, "CET-1", "[2027-12-28 14:20:01] m\n"},
      {1830000001.001, "EST5", "[2027-12-28 08:20:01] m\n"}, {1830381601.0, "CET-1", "[2028-01-02 00:20:01] m\n"}};
  logInit();
  std::string expected;
  for (const auto& [at, tz, line] : rows) {
    setenv("TZ", tz, 1), tzset(), simmac::advance(at - simmac::now());
    log("m");
    expected += line;
  }
  EXPECT_EQ(readWholeFile(logPath), expected);
}

TEST_F(LogTest, LineAfterAnotherProcessTruncatedOrAppendedLandsAtTheEnd) {
  logInit();
  log("before truncation, long enough to leave a gap");
  ASSERT_EQ(truncate(logPath.c_str(), 0), 0);
  log("after");
  appendToFile(logPath, "other\n");
  log("last");
  EXPECT_EQ(readWholeFile(logPath), stamp + "after\nother\n" + stamp + "last\n");
}

}  // namespace
