// What the tests share.
#include "test_support.h"

#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "daemon/shutdown.h"
#include "smc/smc_client.h"
#include "store/log.h"

static std::string freshDirectory() {
  const char* base = access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
  std::string path = std::string(base && *base ? base : "/tmp") + "/hestle-test-XXXXXX";
  if (!mkdtemp(path.data())) throw std::runtime_error("mkdtemp failed");
  return path;
}

TempDir::TempDir() : path_(freshDirectory()) {}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::vector<std::string> logLines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const bool stamped = line.size() >= 22 && line[0] == '[' && line[20] == ']' && line[21] == ' ';
    out.push_back(stamped ? line.substr(22) : line);
  }
  return out;
}

std::string settingsJson(const Settings& s) {
  std::ostringstream out;
  out.precision(17);
  out << std::boolalpha << R"({"chargeLimitEnabled":)" << s.limitEnabled << R"(,"chargeLimitPercent":)" << s.limit
      << R"(,"calibrationEnabled":)" << s.calibration << R"(,"calibrationIntervalDays":)" << s.intervalDays
      << R"(,"lastCalibrationTimestamp":)" << s.lastCalibration << (s.cycling ? R"(,"adapterCycling":true})" : "}");
  return out.str();
}

simmac::MachineSpec machineWith(simmac::Firmware firmware, double percent, bool pluggedIn) {
  simmac::MachineSpec spec;
  spec.firmware = firmware;
  spec.battery->percent = percent;
  spec.battery->pluggedIn = pluggedIn;
  return spec;
}

void DaemonTest::boot(const simmac::MachineSpec& spec) {
  simmac::boot(spec);
  initGlobals(dir.path());
}

void DaemonTest::TearDown() {
  for (int* fd : {&logFile, &previousLogFile})
    if (*fd >= 0) close(std::exchange(*fd, -1));
  clearStopRequest();
  creationMaskCleared = false;  // start-up cleared the umask for its own files only; a later test may set another
  simmac::clearSchedule();
  simmac::setWaitHook(nullptr);
  simmac::setSmcCallFailure(std::nullopt);
}

void DaemonTest::bringUp() {
  if (logFile >= 0) close(logFile);
  logInit();
  openSmc();
  detectFirmware();
  simmac::clearSmcExchanges();
  markLog();
}

void DaemonTest::openSmc() {
  ASSERT_TRUE(smcOpen());
  simmac::clearSmcExchanges();
}

ChargeStatus DaemonTest::publishedStatus() const {
  auto decoded = decodeChargeStatus(readWholeFile(statusPath));
  EXPECT_TRUE(decoded.has_value()) << readWholeFile(statusPath);
  return decoded.value_or(ChargeStatus{});
}

extern char** environ;

pid_t startProgram(const Launch& launch) {
  std::vector<std::string> args = launch.args, env = launch.env;
  args.insert(args.begin(), launch.program);
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  for (auto& e : env) envp.push_back(e.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);

  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  const int create = O_WRONLY | O_CREAT | O_TRUNC;
  posix_spawn_file_actions_addopen(&files, 1, launch.output.empty() ? "/dev/null" : launch.output.c_str(), create, 0644);
  if (launch.errorFd < 0 && !launch.errors.empty())
    posix_spawn_file_actions_addopen(&files, 2, launch.errors.c_str(), create, 0644);
  else posix_spawn_file_actions_adddup2(&files, launch.errorFd >= 0 ? launch.errorFd : 1, 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults, none;
  sigemptyset(&defaults);
  sigemptyset(&none);
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) sigaddset(&defaults, sig);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0].c_str(), &files, &attr, argv.data(), envp.data()) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&files);
  posix_spawnattr_destroy(&attr);
  return pid;
}

ProcessEnd waitForEnd(pid_t pid, std::chrono::milliseconds limit) {
  int status = 0;
  if (eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, limit))
    return {true, WIFSIGNALED(status), WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status)};
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return {};
}

ProcessGuard::~ProcessGuard() {
  if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
}

Ran runProgram(const std::string& program, const std::vector<std::string>& args, const std::vector<std::string>& env) {
  TempDir io;
  const pid_t pid = startProgram({program, args, io.file("out"), io.file("err"), -1, env});
  return {pid > 0 ? waitForEnd(pid) : ProcessEnd{}, readWholeFile(io.file("out")), readWholeFile(io.file("err"))};
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (; !condition(); std::this_thread::sleep_for(std::chrono::milliseconds(1)))
    if (std::chrono::steady_clock::now() > deadline) return false;
  return true;
}

pid_t spawnHestled(const HestledRun& run) {
  std::vector<std::string> args = {"--data-dir", run.dataDir, "--speed", run.speed};
  if (!run.machineFile.empty()) args.insert(args.end(), {"--machine", run.machineFile});
  if (!run.stateFile.empty()) args.insert(args.end(), {"--state", run.stateFile});
  return startProgram({HESTLED_PATH, args, run.outputFile, "", -1, {}});
}

std::map<std::string, std::string> savedKeys(const std::string& stateFile) {
  std::map<std::string, std::string> keys;
  const auto j = nlohmann::json::parse(readWholeFile(stateFile), nullptr, false);
  if (!j.is_object() || !j.contains("keys") || !j["keys"].is_object()) return keys;
  for (const auto& [name, value] : j["keys"].items()) keys[name] = value.is_string() ? value.get<std::string>() : "?";
  return keys;
}

std::string heldKeys(const std::string& stateFile) {
  std::string held;
  for (const auto& [name, value] : savedKeys(stateFile)) held += allZeroHex(value) ? "" : name + "=" + value + " ";
  return held;
}
