// The built hestle program: its streams and exit statuses, following the log,
// and a real hestled on the simulated Mac acting on what hestle writes.
#include <csignal>

#include "test_support.h"

// hestled 20 times faster than real time: hestle's settings reach it within
// one pass, and hestle reads back what it did; `hestle log -f` prints the
// log's last line and then what the daemon appends, until it is stopped.
TEST(HestleProcess, ARealDaemonActsOnALimitWithinOnePass) {
  TempDir dir;
  writeWholeFile(dir.file("machine.json"), R"({"firmware":"tahoe","battery":{"percent":95,"pluggedIn":true}})");
  const pid_t pid = spawnHestled({dir.file("data"), dir.file("machine.json"), "", dir.file("output"), "20"});
  ProcessGuard guard{pid};
  auto status = [&] { return decodeChargeStatus(readWholeFile(dir.file("data/status.json"))); };
  ASSERT_TRUE(eventually([&] { return status().has_value(); })) << readWholeFile(dir.file("output"));
  EXPECT_FALSE(status()->chargingInhibited);  // no settings: the limit is off
  const std::string log = dir.file("data/daemon.log"), followed = dir.file("followed");
  const pid_t follower = startProgram({HESTLE_PATH, {"--data-dir", dir.file("data"), "log", "-n", "1", "-f"}, followed, dir.file("err"), -1, {}});
  ProcessGuard followerGuard{follower};
  Ran ran = runProgram(HESTLE_PATH, {"--data-dir", dir.file("data"), "limit", "80"});
  EXPECT_EQ(ran.out, "Charge limit set to 80%.\nhestled applies it within about ten seconds.\n");
  EXPECT_TRUE(ran.err.empty() && ran.end.status() == 0);
  const double written = status()->lastUpdate;
  ASSERT_TRUE(eventually([&] { return status()->lastUpdate > written; }));
  EXPECT_TRUE(status()->chargingInhibited);
  EXPECT_EQ(countLines(logLines(readWholeFile(log)), "ACTION: Battery 9"), 1u);
  ran = runProgram(HESTLE_PATH, {"--data-dir", dir.file("data"), "status"});
  EXPECT_TRUE(ran.out.starts_with("hestled:      running (last update ") &&
              ran.out.find("%\nCharging:     held off: running on battery above the limit\nCycle:        none in progress\n"
                           "Charge limit: 80%\nCalibration:  off\n") != std::string::npos) << ran.out;
  EXPECT_EQ(ran.end.status(), 0);
  EXPECT_EQ(stopProcess(pid, SIGTERM).status(), 0);
  EXPECT_TRUE(eventually([&] { return readWholeFile(followed).ends_with("] setCharging: CHTE=0 (enable) -> true\n"); }));
  const ProcessEnd end = stopProcess(follower, SIGTERM);
  EXPECT_TRUE(end.signalled && end.code == SIGTERM && readWholeFile(dir.file("err")).empty());
  const std::string tail = readWholeFile(followed);  // from the last line before it started
  EXPECT_TRUE(readWholeFile(log).ends_with(tail) && tail.find("hestle_warden starting") == std::string::npos &&
              countLines(logLines(tail), "ACTION: Battery 9") == 1) << tail;
  ran = runProgram(HESTLE_PATH, {"--data-dir", dir.file("data"), "status", "--json"});
  EXPECT_NE(ran.out.find(R"("daemon":"stopped","daemonAlive":false)"), std::string::npos) << ran.out;
  EXPECT_EQ(ran.end.status(), 3) << "not running";
}
