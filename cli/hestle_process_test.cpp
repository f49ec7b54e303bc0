// Tests of the built hestle program: exit statuses and streams, following the
// log, and a real hestled on the simulated Mac acting on what hestle writes.
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "store/charge_status.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;

struct Outcome {
  int status = -1;  // exit status; -1 when it did not exit normally
  std::string out;
  std::string err;
};

// Starts `program` with stdout and stderr going to the given files.
pid_t spawn(const std::string& program, const std::vector<std::string>& args, const std::string& outPath,
            const std::string& errPath) {
  pid_t pid = fork();
  if (pid == 0) {
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0) _exit(126);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<std::string> copy = args;
    std::string path = program;
    std::vector<char*> argv{path.data()};
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(path.c_str(), argv.data());
    _exit(127);
  }
  return pid;
}

// Waits for `pid` up to `limit`, killing it after that. The exit status, or
// -1 after a signal.
int waitFor(pid_t pid, std::chrono::seconds limit = 30s) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << "process " << pid << " did not exit";
      return -1;
    }
    std::this_thread::sleep_for(5ms);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Outcome hestle(const std::vector<std::string>& args) {
  TempDir io;
  pid_t pid = spawn(HESTLE_PATH, args, io.file("out"), io.file("err"));
  Outcome run;
  run.status = waitFor(pid);
  run.out = readWholeFile(io.file("out"));
  run.err = readWholeFile(io.file("err"));
  return run;
}

// Polls `condition` until it holds or `limit` has passed.
bool eventually(const std::function<bool()>& condition, std::chrono::seconds limit = 30s) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

// Ends a child that a failed assertion left behind.
struct ChildGuard {
  pid_t pid = -1;
  ~ChildGuard() {
    if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
};

TEST(HestleProcess, ExitStatusesAndStreams) {
  TempDir dir;
  writeWholeFile(dir.file("config.json"), "{broken");
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string outStart;  // "" means nothing at all on stdout
    std::string errStart;  // "" means nothing at all on stderr
  };
  const std::vector<Case> cases = {
      {{}, 2, "", "hestle: no command given\nTry 'hestle --help'.\n"},
      {{"--help"}, 0, "Usage: hestle [--data-dir DIR] COMMAND", ""},
      {{"help", "calibrate"}, 0, "Usage: hestle calibrate on", ""},
      {{"status", "--help"}, 0, "Usage: hestle status [--json]", ""},
      {{"limit", "--help"}, 0, "Usage: hestle limit PERCENT", ""},
      {{"calibrate", "now", "--help"}, 0, "Usage: hestle calibrate on", ""},
      {{"log", "--help"}, 0, "Usage: hestle log [-n N] [-f]", ""},
      {{"--data-dir", dir.path(), "limit", "15"}, 2, "", "hestle: limit: refusing a charge limit of 15%"},
      {{"--data-dir", dir.path(), "calibrate", "on", "--every", "0"}, 2, "",
       "hestle: calibrate: refusing a calibration interval of 0 days"},
      {{"--data-dir", dir.path(), "limit", "80"}, 1, "", "hestle: " + dir.file("config.json") + " is malformed"},
      {{"--data-dir", dir.path(), "status"}, 0, "hestled:      NOT RUNNING", ""},
      {{"--data-dir", dir.path(), "log"}, 1, "", "hestle: cannot open " + dir.file("daemon.log")},
  };
  for (const auto& c : cases) {
    Outcome run = hestle(c.args);
    std::string what = c.args.empty() ? "(none)" : c.args.back();
    EXPECT_EQ(run.status, c.status) << what << ": " << run.err;
    if (c.outStart.empty()) EXPECT_EQ(run.out, "") << what;
    else EXPECT_EQ(run.out.rfind(c.outStart, 0), 0u) << what << ": " << run.out;
    if (c.errStart.empty()) EXPECT_EQ(run.err, "") << what;
    else EXPECT_EQ(run.err.rfind(c.errStart, 0), 0u) << what << ": " << run.err;
  }
  EXPECT_EQ(readWholeFile(dir.file("config.json")), "{broken");
}

TEST(HestleProcess, LogFollowPrintsWhatIsAppended) {
  TempDir dir;
  TempDir io;
  writeWholeFile(dir.file("daemon.log"), "[t] one\n[t] two\n");
  ChildGuard child{spawn(HESTLE_PATH, {"--data-dir", dir.path(), "log", "-n", "1", "-f"}, io.file("out"),
                         io.file("err"))};
  EXPECT_TRUE(eventually([&] { return readWholeFile(io.file("out")) == "[t] two\n"; }));
  {
    std::ofstream log(dir.file("daemon.log"), std::ios::app);
    log << "[t] three\n";
  }
  EXPECT_TRUE(eventually([&] { return readWholeFile(io.file("out")) == "[t] two\n[t] three\n"; }))
      << readWholeFile(io.file("out"));
  kill(child.pid, SIGTERM);
  int status = 0;
  waitpid(child.pid, &status, 0);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  EXPECT_EQ(readWholeFile(io.file("err")), "");
}

#ifdef HESTLED_PATH
std::optional<ChargeStatus> publishedStatus(const TempDir& data) {
  return decodeChargeStatus(readWholeFile(data.file("status.json")));
}

// A real hestled, 20 times faster than real time: hestle's settings reach it
// within one pass, and hestle reads back what it did.
TEST(HestleProcess, RealDaemonActsOnALimitWithinOnePass) {
  TempDir data;
  TempDir io;
  writeWholeFile(io.file("machine.json"), R"({"firmware":"tahoe","battery":{"percent":95,"pluggedIn":true}})");
  ChildGuard daemon{spawn(HESTLED_PATH,
                          {"--data-dir", data.path(), "--machine", io.file("machine.json"), "--speed", "20"},
                          io.file("hestled.out"), io.file("hestled.err"))};
  ASSERT_TRUE(eventually([&] {
    auto status = publishedStatus(data);
    return status && status->daemonRunning;
  })) << readWholeFile(io.file("hestled.err"));
  EXPECT_FALSE(publishedStatus(data)->chargingInhibited);  // no config: the limit is off

  Outcome run = hestle({"--data-dir", data.path(), "limit", "80"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "Charge limit set to 80%.\nhestled applies it within about ten seconds.\n");
  EXPECT_EQ(fileMode(data.file("config.json")), 0666u);

  // The pass after the one that published `seen` started after the write.
  auto seen = publishedStatus(data);
  ASSERT_TRUE(seen.has_value());
  std::optional<ChargeStatus> next;
  ASSERT_TRUE(eventually([&] {
    next = publishedStatus(data);
    return next && next->lastUpdate > seen->lastUpdate;
  }));
  EXPECT_TRUE(next->chargingInhibited);
  EXPECT_GT(next->batteryPercent, 80);
  EXPECT_TRUE(std::regex_search(readWholeFile(data.file("daemon.log")),
                                std::regex("\\] ACTION: Battery 9[0-9]% > 80% \xE2\x80\x94 disabling adapter\n")))
      << readWholeFile(data.file("daemon.log"));

  run = hestle({"--data-dir", data.path(), "status"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.rfind("hestled:      running (last update ", 0), 0u) << run.out;
  EXPECT_TRUE(std::regex_search(run.out, std::regex("\nBattery:      9[0-9]%\n"))) << run.out;
  EXPECT_NE(run.out.find("\nCharging:     held off: running on battery above the limit\n"), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("\nCharge limit: 80%\n"), std::string::npos) << run.out;

  kill(daemon.pid, SIGTERM);
  EXPECT_EQ(waitFor(daemon.pid), 0);
  run = hestle({"--data-dir", data.path(), "status", "--json"});
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("\"daemon\":\"stopped\",\"daemonAlive\":false"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\"chargeLimitEnabled\":true,\"chargeLimitPercent\":80"), std::string::npos) << run.out;
}
#endif

}  // namespace
