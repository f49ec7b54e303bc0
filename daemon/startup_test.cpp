// Start-up and the clean shutdown, in-process against the simulated Mac.
#include "daemon/startup.h"

#include <cerrno>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

#include "daemon/globals.h"
#include "daemon/shutdown.h"
#include "smc/actuators.h"
#include "test_support.h"

// hestle_tests is linked with --wrap=pipe and --wrap=sigaction: these fail
// the call named by failingCall (-1 for pipe, or a signal number).
static int failingCall = 0;
extern "C" int __real_pipe(int fds[2]);
extern "C" int __real_sigaction(int signal, const struct sigaction* action, struct sigaction* old);
extern "C" int __wrap_pipe(int fds[2]) {
  if (failingCall != -1) return __real_pipe(fds);
  errno = EMFILE;
  return -1;
}
extern "C" int __wrap_sigaction(int signal, const struct sigaction* action, struct sigaction* old) {
  if (failingCall != signal || action == nullptr) return __real_sigaction(signal, action, old);
  errno = EINVAL;
  return -1;
}

using Lines = std::vector<std::string>;
using StartUpTest = DaemonTest;

TEST_F(StartUpTest, LogsTheSequenceAndHandsBackWhatAKilledRunLeftHeld) {
  simmac::setSmcKeyValue("CHTE", {1, 0, 0, 0}), simmac::setSmcKeyValue("CHIE", {8}), simmac::setSmcKeyValue("ACLC", {3});
  ASSERT_TRUE(startUp(dir.path()));
  EXPECT_EQ(logMessages(), (Lines{"=== hestle_warden starting ===", "PID: " + std::to_string(getpid()) + ", UID: " + std::to_string(getuid()) + ", EUID: " + std::to_string(geteuid()),
                                  "SMC connection opened (conn=" + std::to_string(smcConn) + ")", "SMCParamStruct C size: 80 bytes", "Key CH0B: NOT FOUND",
                                  "Key CH0C: NOT FOUND", "Key CHTE: EXISTS value=0x01", "Key CH0I: NOT FOUND", "Key CH0J: NOT FOUND", "Key CHIE: EXISTS value=0x08",
                                  "Key ACLC: EXISTS value=0x03", "Firmware: Tahoe (CHTE)", "Starting main loop", "setAdapter: CHIE=0x00 (enable) -> true",
                                  "setCharging: CHTE=0 (enable) -> true"}));
  EXPECT_TRUE(smcConn != 0 && loopCount == 0 && stopWakeFd() >= 0 && simmac::ledValue() == 0);
  // A burst of stop signals, more than the wake pipe holds, never blocks the handler.
  for (int i = 0; i < 70000; ++i) raise(SIGTERM);
  clearStopRequest();
  EXPECT_FALSE(currentlyInhibited || adapterDisabled || simmac::chargeInhibited() || simmac::adapterDisabled());
  EXPECT_FALSE(exists(dir.file("config.json")) || exists(dir.file("status.json")));
}

// A daemon that could not be stopped cleanly says so and exits before it
// writes a key: what a killed run left stays as it was.
TEST_F(StartUpTest, WithoutAWayToStopCleanlyItExitsBeforeWritingAKey) {
  const std::pair<int, const char*> rows[] = {{-1, "ERROR: pipe failed: Too many open files"},
                                              {SIGTERM, "ERROR: sigaction(SIGTERM) failed: Invalid argument"},
                                              {SIGINT, "ERROR: sigaction(SIGINT) failed: Invalid argument"}};
  for (const auto& [call, error] : rows) {
    TempDir data;
    boot({}), simmac::setSmcKeyValue("CHIE", {8});
    clearStopRequest();  // a pipe kept from an earlier run would hide a failing pipe()
    failingCall = call;
    EXPECT_FALSE(startUp(data.path())) << error;  // runDaemon() then returns 1
    failingCall = 0;
    const Lines lines = logMessages();
    ASSERT_EQ(lines.size(), 14u) << error;
    EXPECT_EQ(Lines(lines.end() - 2, lines.end()), (Lines{error, "FATAL: Cannot install the stop handlers. Exiting."}));
    EXPECT_TRUE(simmac::adapterDisabled());
    close(logFile), logFile = -1;
  }
}

TEST_F(StartUpTest, ModesOfTheDataDirectoryAndTheSettingsFile) {
  const mode_t old = umask(077);  // a strict umask does not matter
  ASSERT_TRUE(startUp(dir.file("a/b/Hestle")));
  umask(old);
  EXPECT_TRUE(fileMode(dir.file("a/b/Hestle")) == 0777u && fileMode(dir.file("a/b/Hestle/daemon.log")) == 0644u);
  ASSERT_EQ(mkdir(dir.file("kept").c_str(), 0750), 0);
  writeWholeFile(dir.file("kept/config.json"), "{}"), chmod(dir.file("kept/config.json").c_str(), 0600);
  ASSERT_TRUE(startUp(dir.file("kept")));
  EXPECT_TRUE(fileMode(dir.file("kept")) == 0750u && fileMode(dir.file("kept/config.json")) == 0666u);
  openUpDataDirectory(dir.file("kept"));  // the Mac's, when root's
  EXPECT_EQ(fileMode(dir.file("kept")), 0777u);
  EXPECT_EQ(readWholeFile(dir.file("kept/config.json")), "{}");
}

TEST_F(StartUpTest, CleanShutdownHandsBackAdapterThenChargingThenLed) {
  // Inhibited, adapter off, CHTE refuses; the lines after the first. Both held: a stop, below.
  const std::tuple<bool, bool, bool, Lines> rows[] = {
      {false, false, false, {}},
      {true, false, true, {"setCharging: CHTE=0 (enable) -> false", "WARNING: Failed to enable charging!"}}};
  for (const auto& [inhibited, adapterOff, refused, lines] : rows) {
    boot({}), bringUp();
    ASSERT_TRUE((!inhibited || setChargingEnabled(false)) && (!adapterOff || setAdapterEnabled(false)));
    simmac::rejectSmcKey("CHTE", false, refused), simmac::setSmcKeyValue("ACLC", {4}), simmac::advance(12.25);
    markLog(), simmac::clearSmcExchanges(), cleanShutdown();
    Lines expected = lines;
    expected.insert(expected.begin(), "Clean shutdown: restoring all keys");
    EXPECT_EQ(newLogMessages(), expected);
    EXPECT_TRUE(!lines.empty() || simmac::smcExchanges().size() == 2u);  // key info and write of the LED only
    EXPECT_TRUE(simmac::ledValue() == 0 && !simmac::adapterDisabled() && simmac::chargeInhibited() == refused);
    EXPECT_EQ(publishedStatus(), (ChargeStatus{false, refused, false, std::nullopt, 0, simmac::now()}));
  }
}

TEST_F(StartUpTest, AStopEndsTheWaitAtOnceAndNoPassRunsAfterIt) {
  const std::tuple<double, std::function<void()>, int> rows[] = {{35.0, [] { raise(SIGTERM); }, 4}, {5.0, [] { raise(SIGINT); }, 1}, {0.0, [] { requestStop(); }, 1}};
  for (const auto& [at, deliver, passes] : rows) {
    TempDir data;
    boot(machineWith(simmac::Firmware::tahoe, 90)), writeWholeFile(data.file("config.json"), settingsJson({}));
    const double start = simmac::now();
    simmac::schedule(start + at, deliver);
    EXPECT_EQ(runDaemon(data.path()), 0);
    EXPECT_TRUE(loopCount == passes && simmac::now() == start + at) << loopCount;
    const Lines lines = logMessages();
    EXPECT_EQ(Lines(lines.end() - 3, lines.end()), (Lines{"Clean shutdown: restoring all keys", "setAdapter: CHIE=0x00 (enable) -> true", "setCharging: CHTE=0 (enable) -> true"}));
    EXPECT_FALSE(simmac::chargeInhibited() || simmac::adapterDisabled());
    EXPECT_EQ(publishedStatus().lastUpdate, start + at);
    clearStopRequest();
    close(logFile), logFile = -1;
  }
}

// Start-up removes the temporaries a killed run left behind: its own regular
// files of its naming pattern, and nothing else a user may have put there.
TEST_F(StartUpTest, RemovesOnlyItsOwnLeftoverTemporaries) {
  enum Entry { own, link, directory, fifo, othersFile, hardLink };
  const std::vector<std::pair<const char*, Entry>> removed = {{".status.json.tmp-AbC123", own}, {".config.json.tmp-x1Y2z3", own}, {".daemon.log.tmp-000000", own}};
  const std::vector<std::pair<const char*, Entry>> kept = {
      {".status.json.tmp-AbC12", own}, {".status.json.tmp-AbC1234", own}, {"status.json.tmp-AbC123", own}, {".other.json.tmp-AbC123", own},
      {".status.json.tmp-AbC-23", own}, {".status.json.tmp-LnK123", link}, {".config.json.tmp-DiR123", directory},
      {".status.json.tmp-FiF123", fifo}, {".status.json.tmp-UsR123", othersFile}, {".status.json.tmp-HrD123", hardLink}};
  TempDir elsewhere;
  writeWholeFile(elsewhere.file("victim"), "root's");
  writeWholeFile(dir.file("kept"), "a file of root's with a second name");
  for (const auto* rows : {&removed, &kept})
    for (const auto& [name, entry] : *rows) {
      const std::string path = dir.file(name);
      if (entry == own || entry == othersFile) writeWholeFile(path, "{\"daemonRunning\":tr");
      if (entry == othersFile && chown(path.c_str(), 65534, 65534) != 0) GTEST_SKIP() << "needs root to give a file away";
      ASSERT_EQ(entry == link ? symlink(elsewhere.file("victim").c_str(), path.c_str()) : entry == directory ? mkdir(path.c_str(), 0777)
                : entry == fifo ? mkfifo(path.c_str(), 0666) : entry == hardLink ? ::link(dir.file("kept").c_str(), path.c_str()) : 0, 0);
    }
  ASSERT_TRUE(startUp(dir.path()));
  for (const auto& [name, entry] : removed) EXPECT_FALSE(exists(dir.file(name))) << name;
  for (const auto& [name, entry] : kept) EXPECT_TRUE(exists(dir.file(name))) << name;
  EXPECT_EQ(readWholeFile(elsewhere.file("victim")), "root's");
}
