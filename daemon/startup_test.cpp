// Tests of the start-up sequence, in-process against the simulated Mac.
#include "daemon/startup.h"

#include <cerrno>
#include <csignal>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "daemon/globals.h"
#include "daemon/shutdown.h"
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

namespace {

class StartUpTest : public DaemonTest {
 protected:
  void TearDown() override {
    clearStopRequest();
    DaemonTest::TearDown();
  }
  std::string dataDir() const { return dir.path(); }
};

const std::vector<std::string> kTahoeProbe = {
    "SMCParamStruct C size: 80 bytes", "Key CH0B: NOT FOUND",        "Key CH0C: NOT FOUND",
    "Key CHTE: EXISTS value=0x00",     "Key CH0I: NOT FOUND",        "Key CH0J: NOT FOUND",
    "Key CHIE: EXISTS value=0x00",     "Key ACLC: EXISTS value=0x00", "Firmware: Tahoe (CHTE)"};

TEST_F(StartUpTest, LogsTheSequenceAndHandsTheHardwareBack) {
  // A run that was killed left charging inhibited and the adapter off.
  simmac::setSmcKeyValue("CHTE", {1, 0, 0, 0});
  simmac::setSmcKeyValue("CHIE", {8});
  simmac::setSmcKeyValue("ACLC", {3});
  ASSERT_TRUE(startUp(dataDir()));

  const auto lines = logMessages();
  ASSERT_EQ(lines.size(), 15u);
  EXPECT_EQ(lines[0], "=== hestle_warden starting ===");
  EXPECT_TRUE(std::regex_match(lines[1], std::regex("PID: " + std::to_string(getpid()) + ", UID: " +
                                                    std::to_string(getuid()) + ", EUID: " +
                                                    std::to_string(geteuid()))))
      << lines[1];
  EXPECT_TRUE(std::regex_match(lines[2], std::regex(R"(SMC connection opened \(conn=[1-9][0-9]*\))"))) << lines[2];
  EXPECT_EQ(lines[2], "SMC connection opened (conn=" + std::to_string(smcConn) + ")");
  std::vector<std::string> probe(lines.begin() + 3, lines.begin() + 12);
  std::vector<std::string> expectedProbe = kTahoeProbe;
  expectedProbe[3] = "Key CHTE: EXISTS value=0x01";
  expectedProbe[6] = "Key CHIE: EXISTS value=0x08";
  expectedProbe[7] = "Key ACLC: EXISTS value=0x03";
  EXPECT_EQ(probe, expectedProbe);
  EXPECT_EQ(lines[12], "Starting main loop");
  EXPECT_EQ(lines[13], "setAdapter: CHIE=0x00 (enable) -> true");
  EXPECT_EQ(lines[14], "setCharging: CHTE=0 (enable) -> true");

  EXPECT_FALSE(currentlyInhibited);
  EXPECT_FALSE(adapterDisabled);
  EXPECT_FALSE(simmac::chargeInhibited());
  EXPECT_FALSE(simmac::adapterDisabled());
  EXPECT_EQ(simmac::ledValue(), 0);
  EXPECT_EQ(loopCount, 0);
  EXPECT_GE(stopWakeFd(), 0);
}

TEST_F(StartUpTest, CreatesTheDataDirectoryWith0777WhateverTheUmask) {
  for (mode_t mask : {mode_t(022), mode_t(077)}) {
    const std::string data = dir.file("a") + std::to_string(mask) + "/b/Hestle";
    const mode_t old = umask(mask);
    ASSERT_TRUE(startUp(data));
    umask(old);
    EXPECT_EQ(fileMode(data), 0777u);
    EXPECT_EQ(fileMode(data + "/daemon.log"), 0644u);
    close(logFile);
    logFile = -1;
  }
}

TEST_F(StartUpTest, LeavesTheModeOfAnExistingDataDirectory) {
  const std::string data = dir.file("existing");
  ASSERT_EQ(mkdir(data.c_str(), 0750), 0);
  chmod(data.c_str(), 0750);
  ASSERT_TRUE(startUp(data));
  EXPECT_EQ(fileMode(data), 0750u);
}

TEST_F(StartUpTest, SetsAnExistingSettingsFileTo0666AndCreatesNone) {
  writeWholeFile(dir.file("config.json"), "{}");
  chmod(dir.file("config.json").c_str(), 0600);
  ASSERT_TRUE(startUp(dataDir()));
  EXPECT_EQ(fileMode(dir.file("config.json")), 0666u);
  EXPECT_EQ(readWholeFile(dir.file("config.json")), "{}");

  TempDir other;
  ASSERT_TRUE(startUp(other.path()));
  EXPECT_EQ(access(other.file("config.json").c_str(), F_OK), -1);
  EXPECT_EQ(access(other.file("status.json").c_str(), F_OK), -1);
}

TEST_F(StartUpTest, NeverChangesTheModeOfAFileLinkedAtTheSettingsPath) {
  TempDir outside;
  const std::string victim = outside.file("victim");
  writeWholeFile(victim, "secret");
  chmod(victim.c_str(), 0600);
  ASSERT_EQ(symlink(victim.c_str(), dir.file("config.json").c_str()), 0);
  ASSERT_TRUE(startUp(dataDir()));
  EXPECT_EQ(fileMode(victim), 0600u);

  TempDir second;
  ASSERT_EQ(link(victim.c_str(), second.file("config.json").c_str()), 0);
  ASSERT_TRUE(startUp(second.path()));
  EXPECT_EQ(fileMode(victim), 0600u);
  EXPECT_EQ(readWholeFile(victim), "secret");
}

struct NoSmcCase {
  const char* name;
  bool service;
  kern_return_t openStatus;
  const char* errorLine;
};

class StartUpWithoutSmcTest : public StartUpTest, public ::testing::WithParamInterface<NoSmcCase> {
 protected:
  simmac::MachineSpec machine() const override {
    simmac::MachineSpec spec;
    spec.smcService = GetParam().service;
    spec.openStatus = GetParam().openStatus;
    return spec;
  }
};

TEST_P(StartUpWithoutSmcTest, LogsTheErrorAndTheFatalLineAndStops) {
  EXPECT_FALSE(startUp(dataDir()));
  const auto lines = logMessages();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "=== hestle_warden starting ===");
  EXPECT_EQ(lines[1].rfind("PID: ", 0), 0u);
  EXPECT_EQ(lines[2], GetParam().errorLine);
  EXPECT_EQ(lines[3], "FATAL: Cannot open AppleSMC. Exiting.");
  EXPECT_TRUE(simmac::smcExchanges().empty());
  EXPECT_EQ(simmac::objectCounts().ioLive, 0);
  EXPECT_EQ(simmac::objectCounts().cfLive, 0);
  EXPECT_EQ(access(dir.file("status.json").c_str(), F_OK), -1);
  EXPECT_EQ(runDaemon(dataDir()), 1);
}

INSTANTIATE_TEST_SUITE_P(Failures, StartUpWithoutSmcTest,
                         ::testing::Values(NoSmcCase{"NoService", false, 0, "ERROR: smc_open failed with -1"},
                                           NoSmcCase{"Refused", true, kIOReturnNotPrivileged,
                                                     "ERROR: smc_open failed with -536870207"}),
                         [](const ::testing::TestParamInfo<NoSmcCase>& info) { return std::string(info.param.name); });

struct StopSetupFailure {
  const char* name;
  int failingCall;
  const char* errorLine;
};

class StartUpWithoutStopHandlersTest : public StartUpTest, public ::testing::WithParamInterface<StopSetupFailure> {};

// A daemon that could not be stopped cleanly says so and exits before it
// writes a key: what an earlier run left stays as it was.
TEST_P(StartUpWithoutStopHandlersTest, LogsTheErrorAndTheFatalLineBeforeAnyKeyWrite) {
  simmac::setSmcKeyValue("CHIE", {8});
  simmac::setSmcKeyValue("ACLC", {3});
  clearStopRequest();  // a pipe kept from an earlier test would hide a failing pipe()
  failingCall = GetParam().failingCall;
  const bool started = startUp(dataDir());
  const int status = runDaemon(dataDir());
  failingCall = 0;
  EXPECT_FALSE(started);
  EXPECT_EQ(status, 1);
  const auto lines = logMessages();
  ASSERT_EQ(lines.size(), 28u);
  EXPECT_EQ(lines[12], GetParam().errorLine);
  EXPECT_EQ(lines[13], "FATAL: Cannot install the stop handlers. Exiting.");
  EXPECT_TRUE(simmac::adapterDisabled());
  EXPECT_EQ(simmac::ledValue(), 3);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, StartUpWithoutStopHandlersTest,
    ::testing::Values(StopSetupFailure{"Pipe", -1, "ERROR: pipe failed: Too many open files"},
                      StopSetupFailure{"Sigterm", SIGTERM, "ERROR: sigaction(SIGTERM) failed: Invalid argument"},
                      StopSetupFailure{"Sigint", SIGINT, "ERROR: sigaction(SIGINT) failed: Invalid argument"}),
    [](const ::testing::TestParamInfo<StopSetupFailure>& info) { return std::string(info.param.name); });

}  // namespace
