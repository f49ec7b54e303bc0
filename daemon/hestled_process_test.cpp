// Tests of a real hestled process on the simulated Mac: exit statuses,
// signals at random moments, and what the keys are left at.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <csignal>
#include <fcntl.h>
#include <random>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "store/charge_status.h"
#include "test_support.h"

extern char** environ;

namespace {

struct Exit {
  bool signalled = false;
  int code = -1;  // exit status, or the signal number
};

// posix_spawn resets SIGTERM and SIGINT to their defaults in the child before
// it runs hestled: a fork()ed copy of this test process would otherwise catch
// an early signal with the handler the in-process tests installed.
pid_t spawnHestled(const std::vector<std::string>& args, const std::string& stderrPath) {
  std::string path = HESTLED_PATH;
  std::vector<std::string> copy = args;
  std::vector<char*> argv{path.data()};
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 2, stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&files, 2, 1);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGHUP);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  if (posix_spawn(&pid, path.c_str(), &files, &attr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&files);
  posix_spawnattr_destroy(&attr);
  return pid;
}

Exit waitExit(pid_t pid) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << "hestled did not exit";
      return {};
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (WIFSIGNALED(status)) return {true, WTERMSIG(status)};
  return {false, WEXITSTATUS(status)};
}

std::vector<std::string> messages(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line.size() >= 22 && line[0] == '[' ? line.substr(22) : line);
  return out;
}

// Key values the simulated machine kept, by name ("" when never written).
std::map<std::string, std::string> savedKeys(const std::string& stateFile) {
  std::map<std::string, std::string> keys;
  const std::string text = readWholeFile(stateFile);
  if (text.empty()) return keys;
  const auto j = nlohmann::json::parse(text);
  for (const auto& [name, value] : j.at("keys").items()) keys[name] = value.get<std::string>();
  return keys;
}

bool allZero(const std::string& hex) { return hex.find_first_not_of('0') == std::string::npos; }

class HestledProcessTest : public ::testing::Test {
 protected:
  void writeMachine(const std::string& json) { writeWholeFile(dir.file("machine.json"), json); }
  std::vector<std::string> args(const std::string& speed) const {
    return {"--data-dir", dir.file("data"), "--machine", dir.file("machine.json"), "--state", dir.file("state.json"),
            "--speed", speed};
  }
  TempDir dir;
};

TEST_F(HestledProcessTest, WithoutAppleSmcExitsZeroAfterExactlyFourLines) {
  writeMachine(R"({"firmware":"noSMC"})");
  const pid_t pid = spawnHestled(args("1000"), dir.file("stderr"));
  const Exit exit = waitExit(pid);
  EXPECT_FALSE(exit.signalled);
  EXPECT_EQ(exit.code, 0);
  const auto lines = messages(readWholeFile(dir.file("data/daemon.log")));
  ASSERT_EQ(lines.size(), 4u) << readWholeFile(dir.file("data/daemon.log"));
  EXPECT_EQ(lines[0], "=== hestle_warden starting ===");
  EXPECT_EQ(lines[1], "PID: " + std::to_string(pid) + ", UID: " + std::to_string(getuid()) + ", EUID: " +
                          std::to_string(geteuid()));
  EXPECT_EQ(lines[2], "ERROR: smc_open failed with -1");
  EXPECT_EQ(lines[3], "FATAL: Cannot open AppleSMC. Exiting.");
  EXPECT_EQ(readWholeFile(dir.file("stderr")), "");  // not a terminal, and daemon.log took every line
  EXPECT_EQ(access(dir.file("data/status.json").c_str(), F_OK), -1);
}

TEST_F(HestledProcessTest, AClosedStandardErrorDoesNotKillTheDaemon) {
  writeMachine(R"({"firmware":"noSMC"})");
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  std::string path = HESTLED_PATH;
  std::vector<std::string> copy = args("1000");
  std::vector<char*> argv{path.data()};
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_adddup2(&files, fds[1], 2);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, path.c_str(), &files, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&files);
  close(fds[1]);
  const Exit exit = waitExit(pid);
  EXPECT_FALSE(exit.signalled) << "killed by signal " << exit.code;
  EXPECT_EQ(exit.code, 0);
  const auto lines = messages(readWholeFile(dir.file("data/daemon.log")));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[3], "FATAL: Cannot open AppleSMC. Exiting.");
}

// Waits until `path` exists, at most `seconds`.
bool waitForFile(const std::string& path, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (access(path.c_str(), F_OK) != 0) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

// SIGTERM and SIGINT at random moments: during start-up, a busy pass or the
// sleep. A process that got past the handler's installation ends cleanly with
// the keys handed back; one stopped before it has written no key at all.
// Half the rounds wait for the first status file (the handler is installed by
// then) before their random delay, so they must all end cleanly.
TEST_F(HestledProcessTest, SignalsAtRandomMomentsAlwaysEndCleanly) {
  std::mt19937 random(20261206);
  for (int round = 0; round < 24; ++round) {
    TempDir run;
    writeWholeFile(run.file("machine.json"),
                   R"({"firmware":")" + std::string(round % 3 == 0 ? "preTahoe" : "tahoe") +
                       R"(","battery":{"percent":95,"pluggedIn":true}})");
    std::filesystem::create_directories(run.file("data"));
    writeWholeFile(run.file("data/config.json"),
                   R"({"chargeLimitEnabled":true,"chargeLimitPercent":80,"calibrationEnabled":false,)"
                   R"("calibrationIntervalDays":30,"lastCalibrationTimestamp":0})");
    // Fast passes make a busy pass likely; slow ones, the sleep.
    const std::string speed = round % 2 == 0 ? "1000" : "100000";
    const pid_t pid = spawnHestled({"--data-dir", run.file("data"), "--machine", run.file("machine.json"), "--state",
                                    run.file("state.json"), "--speed", speed},
                                   run.file("stderr"));
    ASSERT_GT(pid, 0);
    const bool afterFirstPass = round % 4 >= 2;
    if (afterFirstPass) {
      ASSERT_TRUE(waitForFile(run.file("data/status.json"), 30));
    }
    std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 60000)(random)));
    const int sig = round % 2 == 0 ? SIGTERM : SIGINT;
    kill(pid, sig);
    const Exit exit = waitExit(pid);
    const auto keys = savedKeys(run.file("state.json"));
    const auto lines = messages(readWholeFile(run.file("data/daemon.log")));
    if (exit.signalled && !afterFirstPass) {
      EXPECT_EQ(exit.code, sig);
      for (const auto& [name, value] : keys) EXPECT_TRUE(allZero(value)) << name << "=" << value;
      continue;
    }
    EXPECT_FALSE(exit.signalled) << "round " << round;
    EXPECT_EQ(exit.code, 0) << readWholeFile(run.file("stderr"));
    const auto shutdownLine = std::find(lines.begin(), lines.end(), "Clean shutdown: restoring all keys");
    ASSERT_NE(shutdownLine, lines.end()) << readWholeFile(run.file("stderr"));
    // After the clean-up line only the restores' own lines, adapter first.
    for (auto it = shutdownLine + 1; it != lines.end(); ++it) {
      EXPECT_TRUE(it->rfind("setAdapter: ", 0) == 0 || it->rfind("setCharging: ", 0) == 0) << *it;
    }
    if (lines.end() - shutdownLine == 3) {
      EXPECT_EQ(shutdownLine[1].rfind("setAdapter: ", 0), 0u);
      EXPECT_EQ(shutdownLine[2].rfind("setCharging: ", 0), 0u);
    }
    for (const auto& [name, value] : keys) EXPECT_TRUE(allZero(value)) << name << "=" << value;
    const auto status = decodeChargeStatus(readWholeFile(run.file("data/status.json")));
    ASSERT_TRUE(status.has_value());
    EXPECT_FALSE(status->daemonRunning);
    EXPECT_FALSE(status->chargingInhibited);
    EXPECT_EQ(status->batteryPercent, 0);
  }
}

TEST_F(HestledProcessTest, OtherSignalsRunNoCleanUp) {
  writeMachine(R"({"firmware":"tahoe","battery":{"percent":95,"pluggedIn":true}})");
  std::filesystem::create_directories(dir.file("data"));
  writeWholeFile(dir.file("data/config.json"),
                 R"({"chargeLimitEnabled":true,"chargeLimitPercent":80,"calibrationEnabled":false,)"
                 R"("calibrationIntervalDays":30,"lastCalibrationTimestamp":0})");
  const pid_t pid = spawnHestled(args("1000"), dir.file("stderr"));
  // Wait until a pass has disabled the adapter above the limit: the key file
  // shows the write once the controller has taken it.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (savedKeys(dir.file("state.json"))["CHIE"] != "08" && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  kill(pid, SIGHUP);
  const Exit exit = waitExit(pid);
  EXPECT_TRUE(exit.signalled);
  EXPECT_EQ(exit.code, SIGHUP);
  EXPECT_EQ(readWholeFile(dir.file("data/daemon.log")).find("Clean shutdown"), std::string::npos);
  EXPECT_EQ(savedKeys(dir.file("state.json"))["CHIE"], "08");
}

}  // namespace
