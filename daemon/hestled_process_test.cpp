// A real hestled process on the simulated Mac: exit statuses, standard
// error, signals, and what the keys are left at.
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

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

// Its lines are those of start-up (and of the shipped no-smc scenarios).
TEST(HestledProcess, WithoutAppleSmcItExitsOneAndSaysSoInTheLogAlone) {
  for (const bool closed : {false, true}) {
    SCOPED_TRACE(closed);
    Site run(R"({"firmware":"noSMC"})");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);  // a reader that has gone: writes to standard error fail with EPIPE
    if (closed) mkdir(run.dir.file("data/daemon.log").c_str(), 0755);  // so every line goes to standard error
    const pid_t pid = startProgram({HESTLED_PATH, {"--data-dir", run.args.dataDir, "--machine", run.args.machineFile, "--speed", "1e6"},
                                    run.args.outputFile, "", closed ? fds[1] : -1, {}});  // its 30 s of retries in 30 µs
    close(fds[1]);
    EXPECT_EQ(waitForEnd(pid).status(), 1);
    EXPECT_EQ(run.log().size(), closed ? 0u : 4u);
    EXPECT_EQ(countLines(run.log(), "PID: " + std::to_string(pid) + ","), closed ? 0u : 1u);
    EXPECT_EQ(readWholeFile(run.args.outputFile), "");  // daemon.log took every line; no terminal
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
    const Lines log = run.log();
    if (sig == SIGHUP) {
      EXPECT_TRUE(end.signalled && end.code == SIGHUP && countLines(log, "Clean shutdown") == 0 && keys.at("CH0I") == "01");
      continue;
    }
    EXPECT_EQ(end.status(), 0);
    EXPECT_EQ(Lines(log.end() - 3, log.end()), (Lines{"Clean shutdown: restoring all keys", "setAdapter: CH0I=true CH0J=true val=0x00",
                                                      "setCharging: CH0B=true CH0C=true val=0x00"}));
    for (const auto& [name, value] : keys) EXPECT_TRUE(allZeroHex(value)) << name << "=" << value;
  }
}

}  // namespace
