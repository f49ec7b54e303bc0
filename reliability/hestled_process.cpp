// Spawning and watching real hestled processes for the reliability tests.
#include "reliability/hestled_process.h"

#include <csignal>
#include <fcntl.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "test_support.h"

pid_t spawnHestled(const HestledRun& run) {
  std::vector<std::string> args = {HESTLED_PATH, "--data-dir", run.dataDir, "--machine", run.machineFile,
                                   "--state",    run.stateFile, "--speed", run.speed};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  // Block the stop signals across fork so that one aimed at the child before
  // it has reset its dispositions cannot run a handler this process installed.
  sigset_t stops, saved;
  sigemptyset(&stops);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGINT);
  sigprocmask(SIG_BLOCK, &stops, &saved);
  const pid_t pid = fork();
  if (pid == 0) {
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const int fd = open(run.outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  sigprocmask(SIG_SETMASK, &saved, nullptr);
  return pid;
}

static ProcessEnd endFromStatus(int status) {
  ProcessEnd end;
  end.finished = true;
  if (WIFSIGNALED(status)) {
    end.signalled = true;
    end.code = WTERMSIG(status);
  } else {
    end.code = WEXITSTATUS(status);
  }
  return end;
}

bool pollEnd(pid_t pid, ProcessEnd& end) {
  int status = 0;
  const pid_t r = waitpid(pid, &status, WNOHANG);
  if (r != pid) return false;
  end = endFromStatus(status);
  return true;
}

ProcessEnd waitForEnd(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  ProcessEnd end;
  while (!pollEnd(pid, end)) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      int status = 0;
      waitpid(pid, &status, 0);
      return {};
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return end;
}

std::map<std::string, std::string> savedKeys(const std::string& stateFile) {
  std::map<std::string, std::string> keys;
  const std::string text = readWholeFile(stateFile);
  if (text.empty()) return keys;
  const auto j = nlohmann::json::parse(text, nullptr, false);
  if (!j.is_object() || !j.contains("keys") || !j["keys"].is_object()) return keys;
  for (const auto& [name, value] : j["keys"].items()) keys[name] = value.is_string() ? value.get<std::string>() : "?";
  return keys;
}

bool allZeroHex(const std::string& hex) { return hex.find_first_not_of('0') == std::string::npos; }

std::vector<std::string> logLines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    const bool stamped = line.size() >= 22 && line[0] == '[' && line[20] == ']';
    out.push_back(stamped ? line.substr(22) : line);
  }
  return out;
}

size_t countLines(const std::vector<std::string>& lines, const std::string& prefix) {
  size_t n = 0;
  for (const auto& line : lines) n += line.rfind(prefix, 0) == 0 ? 1 : 0;
  return n;
}

std::string limitConfig(int limit, bool calibration, int intervalDays, double lastCalibration) {
  nlohmann::json j = {{"chargeLimitEnabled", true},
                      {"chargeLimitPercent", limit},
                      {"calibrationEnabled", calibration},
                      {"calibrationIntervalDays", intervalDays},
                      {"lastCalibrationTimestamp", lastCalibration}};
  return j.dump();
}
