// A real hestled process on the simulated Mac: exit statuses, standard
// error, signals, and what the keys are left at.
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using Lines = std::vector<std::string>;

struct Site {
  TempDir dir;
  HestledRun args{dir.file("data"), dir.file("machine.json"), dir.file("state.json"), dir.file("output")};
  explicit Site(const std::string& machine) {
    writeWholeFile(args.machineFile, machine);
    mkdir(args.dataDir.c_str(), 0755);
    writeWholeFile(dir.file("data/config.json"), limitConfig(80));
  }
  Lines log() const { return logLines(readWholeFile(dir.file("data/daemon.log"))); }
};

TEST(HestledProcess, WithoutAppleSmcItExitsOneAfterFourLines) {
  for (const char* firmware : {"noSMC", "refused", "closed stderr"}) {
    SCOPED_TRACE(firmware);
    const bool closed = std::string(firmware) == "closed stderr";
    Site run(R"({"firmware":")" + std::string(closed ? "noSMC" : firmware) + "\"}");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);  // a reader that has gone: writes to standard error fail with EPIPE
    const std::vector<std::string> args = {"--data-dir", run.args.dataDir, "--machine", run.args.machineFile};
    const pid_t pid = startProgram({HESTLED_PATH, args, run.args.outputFile, "", closed ? fds[1] : -1, {}});
    close(fds[1]);
    EXPECT_EQ(waitForEnd(pid).status(), 1);
    EXPECT_EQ(run.log(),
              (Lines{"=== hestle_warden starting ===",
                     "PID: " + std::to_string(pid) + ", UID: " + std::to_string(getuid()) +
                         ", EUID: " + std::to_string(geteuid()),
                     std::string("ERROR: smc_open failed with ") + (closed || firmware[0] == 'n' ? "-1" : "-536870207"),
                     "FATAL: Cannot open AppleSMC. Exiting."}));
    EXPECT_EQ(readWholeFile(run.args.outputFile), closed ? "" : readWholeFile(run.dir.file("data/daemon.log")));
    EXPECT_FALSE(exists(run.dir.file("data/status.json")));
    EXPECT_TRUE(savedKeys(run.args.stateFile).empty()) << "no key written";
  }
}

// SIGTERM and SIGINT end a running daemon cleanly with the keys handed back;
// other signals run no clean-up. Signals at random moments: reliability/.
TEST(HestledProcess, SignalsOnARunningDaemon) {
  for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(sig);
    Site run(R"({"firmware":"preTahoe","battery":{"percent":95,"pluggedIn":true}})");
    const pid_t pid = spawnHestled(run.args);
    ProcessGuard guard{pid};
    ASSERT_TRUE(eventually([&] { return savedKeys(run.args.stateFile)["CH0I"] == "01"; }));
    const ProcessEnd end = stopProcess(pid, sig);
    const auto keys = savedKeys(run.args.stateFile);
    if (sig == SIGHUP) {
      EXPECT_TRUE(end.signalled && end.code == SIGHUP);
      EXPECT_EQ(countLines(run.log(), "Clean shutdown"), 0u);
      EXPECT_EQ(keys.at("CH0I"), "01");
      continue;
    }
    EXPECT_EQ(end.status(), 0);
    const Lines log = run.log();
    EXPECT_EQ(Lines(log.end() - 3, log.end()),
              (Lines{"Clean shutdown: restoring all keys", "setAdapter: CH0I=true CH0J=true val=0x00",
                     "setCharging: CH0B=true CH0C=true val=0x00"}));
    for (const auto& [name, value] : keys) EXPECT_TRUE(allZeroHex(value)) << name << "=" << value;
    const auto status = decodeChargeStatus(readWholeFile(run.dir.file("data/status.json")));
    ASSERT_TRUE(status.has_value());
    EXPECT_FALSE(status->daemonRunning || status->chargingInhibited);
  }
}

}  // namespace
