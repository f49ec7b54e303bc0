// The store's files in the data directory, which every user can write: what
// each writer does with whatever another user planted at its path (reading
// refuses the same: see the control loop's unusable settings). The log's
// lines: to daemon.log byte for byte, stamped with the local time, and to
// standard error only when the file missed them or on a terminal, and to
// the system's log only when the file missed them.
#include "store/safe_file.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

#include "daemon/globals.h"
#include "store/charge_config.h"
#include "store/log.h"
#include "tests/test_support.h"

namespace {

const std::string stamp = "[2026-12-04 20:53:30] ";  // the simulated Mac's boot time, in UTC

class SafeFileTest : public DaemonTest {
 protected:
  void SetUp() override { DaemonTest::SetUp(), setenv("TZ", "UTC0", 1), tzset(), umask(077); }  // no mode may depend on the umask
  void TearDown() override { umask(022), unsetenv("TZ"), tzset(), alarm(0), DaemonTest::TearDown(); }
  const std::string victim = dir.file("victim");
};

// Standard error gets only what the file could not take (before logInit()
// opened it), unless it is a terminal that someone watches; the file every line once.
TEST_F(SafeFileTest, LinesGoToTheFileUnchangedAndToStderrOnlyBeforeItOrOnATerminal) {
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
    for (const std::string& message : {std::string("Limit reached \xE2\x80\x94 inhibited"), std::string(), std::string("first\nsecond"), std::string("  nul\0byte ", 11)})
      log(message), all += stamp + message + "\n";
    dup2(savedStderr, STDERR_FILENO), close(savedStderr), close(writer), close(logFile), logFile = -1;
    char buffer[4096];
    pollfd ready{reader, POLLIN, 0};  // a terminal passes its bytes on a moment later, maybe in pieces
    std::string copied = terminal ? "" : readWholeFile(dir.file("stderr"));
    for (ssize_t n = 1; terminal && n > 0 && copied.find("] Limit reached") == std::string::npos && poll(&ready, 1, 10000) == 1;)
      if ((n = read(reader, buffer, sizeof buffer)) > 0) copied.append(buffer, static_cast<size_t>(n));
    close(reader);
    EXPECT_EQ(terminal ? copied.find("] Limit reached") != std::string::npos : copied == stamp + "before the file\n", true) << copied;
    EXPECT_EQ(readWholeFile(logPath), all);
    EXPECT_EQ(simmac::takeUnifiedLog(), "before the file\n");
  }
}

// Stamped with the local time cut to the second; a line after another process
// truncated the file or appended to it lands at the end, leaving no gap.
TEST_F(SafeFileTest, LinesAreStampedWithLocalTimeAndLandAtTheEnd) {
  const std::tuple<double, const char*, const char*> rows[] = {  // 1830000000 is 2027-12-28 13:20:00 UTC
      {1830000000.999, "UTC0", "[2027-12-28 13:20:00] m\n"}, {1830000001.001, "CET-1", "[2027-12-28 14:20:01] m\n"},
      {1830000001.001, "EST5", "[2027-12-28 08:20:01] m\n"}, {1830381601.0, "CET-1", "[2028-01-02 00:20:01] m\n"}};
  logInit();
  std::string expected;
  for (const auto& [at, tz, line] : rows) setenv("TZ", tz, 1), tzset(), simmac::advance(at - simmac::now()), log("m"), expected += line;
  EXPECT_EQ(readWholeFile(logPath), expected);
  ASSERT_EQ(truncate(logPath.c_str(), 0), 0);
  log("after"), appendToFile(logPath, "other\n"), log("last");
  EXPECT_EQ(readWholeFile(logPath), "[2028-01-02 00:20:01] after\nother\n[2028-01-02 00:20:01] last\n");
}

// Each run starts a fresh log (its own old one moved aside to daemon.log.1);
// the settings and the status replace theirs. Anything else at the
// path is replaced, never followed; a victim beside it stays untouched.
struct Writer { const char* name; std::string* path; std::function<void()> write; std::string bytes; unsigned mode; };
struct Trap { const char* name; std::function<void(const std::string&, const std::string&)> plant; };

class PlantedFileTest : public SafeFileTest, public ::testing::WithParamInterface<std::tuple<Writer, Trap>> {};

TEST_P(PlantedFileTest, IsReplacedByAFreshFileOfItsOwn) {
  const auto& [writer, trap] = GetParam();
  if (std::string(trap.name) == "anotherUsersFile" && geteuid() != 0) GTEST_SKIP() << "needs root to give a file away";
  const std::string victimBytes(1000001, 'v'), path = *writer.path;  // the victim would be emptied if followed
  writeWholeFile(victim, victimBytes), chmod(victim.c_str(), 0600), trap.plant(path, victim);
  alarm(20);  // a FIFO that blocked would end the run instead of hanging it
  writer.write();
  EXPECT_TRUE(readWholeFile(victim) == victimBytes && fileMode(victim) == 0600u);
  unlink(victim.c_str());
  // No temporary left; a log of its own is moved aside to daemon.log.1.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1 + exists(logPath + ".1"));
  struct stat st {};
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  EXPECT_EQ(S_ISDIR(st.st_mode), std::string(trap.name) == "directory");  // a directory stays: nothing is written
  if (S_ISDIR(st.st_mode)) return;
  EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == geteuid());
  EXPECT_EQ(fileMode(path), writer.mode);
  EXPECT_EQ(readWholeFile(path), writer.bytes);  // never a file found here, however it looks
}

const ChargeConfig config{true, 75, true, 14, 1764876810.5};
const ChargeStatus status{true, true, false, std::nullopt, 80, 1764876810.5};

auto oldFile(size_t bytes, mode_t mode, uid_t owner = 0) {  // owner 0: the daemon's own
  return [=](auto& path, auto&) { writeWholeFile(path, std::string(bytes, 'x')), chmod(path.c_str(), mode), (void)(owner && chown(path.c_str(), owner, owner)); };
}

INSTANTIATE_TEST_SUITE_P(
    Store, PlantedFileTest,
    ::testing::Combine(
        ::testing::Values(Writer{"log", &logPath, [] { logInit(), log("line"), close(logFile), logFile = -1; }, stamp + "line\n", 0644},
                          Writer{"config", &configPath, [] { writeConfig(config); }, *encodeChargeConfig(config), 0666},
                          Writer{"status", &statusPath, [] { writeStatus(status); }, *encodeChargeStatus(status), 0644}),
        ::testing::Values(
            Trap{"missing", [](auto&, auto&) {}}, Trap{"mode0600", oldFile(1000000, 0600)}, Trap{"mode0777", oldFile(4, 0777)},
            Trap{"anotherUsersFile", oldFile(4, 0644, 12345)},
            Trap{"symlink", [](auto& path, auto& victim) { ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0); }},
            Trap{"hardLink", [](auto& path, auto& victim) { ASSERT_EQ(link(victim.c_str(), path.c_str()), 0); }},
            Trap{"fifo", [](auto& path, auto&) { ASSERT_EQ(mkfifo(path.c_str(), 0666), 0); }},
            Trap{"directory", [](auto& path, auto&) { ASSERT_EQ(mkdir(path.c_str(), 0755), 0); }})),
    [](const auto& info) { return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name; });

}  // namespace
