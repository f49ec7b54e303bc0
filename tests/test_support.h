// What the tests share: a private directory, file helpers, the messages of a
// log, settings files, and one fixture for "a simulated Mac with this
// firmware, this battery and these settings" with the daemon's globals
// pointed at a private data directory; and our programs as real processes:
// run one to its end with its output captured, or start a daemon, signal it
// and wait for its end.
#pragma once

#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include <gtest/gtest.h>

#include "daemon/globals.h"
#include "sim/simulated_mac.h"
#include "store/charge_status.h"

// A fresh directory, removed with everything in it by the destructor. On a
// memory file system when there is one ("/dev/shm"), else under $TMPDIR or
// /tmp: the daemon replaces "status.json" by rename every pass, and on ext4 a
// rename over an existing file waits for the new file's data to be flushed.
class TempDir {
  const std::string path_;

 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;  // one owner removes it
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
};

// The bytes of the file; "" when it cannot be read (a directory included).
inline std::string readWholeFile(const std::string& path) {
  std::ostringstream out;
  out << std::ifstream(path, std::ios::binary).rdbuf();
  return out.str();
}
inline void writeWholeFile(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }
inline void appendToFile(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::app) << bytes; }
// The permission bits of the path itself (lstat), e.g. 0644; 0 when there is nothing.
inline unsigned fileMode(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}
inline bool exists(const std::string& path) {  // lstat succeeds
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

// The messages of a log text: each line with its "[yyyy-MM-dd HH:mm:ss] "
// prefix removed (a line without one is kept whole).
std::vector<std::string> logLines(const std::string& text);
inline size_t countLines(const std::vector<std::string>& lines, const std::string& prefix) {
  return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
}

// A settings file ("config.json") in the daemon's form.
struct Settings { bool limitEnabled = true; long limit = 80; bool calibration = false; long intervalDays = 30; double lastCalibration = 0; bool cycling = false; };
std::string settingsJson(const Settings& settings);
// Same, the limit on at `limit` percent.
inline std::string limitConfig(int limit, bool calibration = false, int intervalDays = 30, double lastCalibration = 0) {
  return settingsJson({true, limit, calibration, intervalDays, lastCalibration});
}

// A machine with this firmware and this battery.
simmac::MachineSpec machineWith(simmac::Firmware firmware, double percent = 80, bool pluggedIn = true);

// Boots machine() and calls initGlobals() on the private data directory `dir`.
// Nothing is opened: bringUp() opens the log and the SMC and probes the
// firmware as start-up does. TearDown closes the log and forgets stop requests,
// scheduled events, the wait hook and injected SMC failures.
class DaemonTest : public ::testing::Test {
  size_t logMark_ = 0;

 protected:
  void SetUp() override { boot(machine()); }
  void TearDown() override;
  virtual simmac::MachineSpec machine() const { return {}; }

  // Boots `spec` instead (a test that tries several machines) and calls
  // initGlobals() again; an open log stays open.
  void boot(const simmac::MachineSpec& spec);
  // logInit(), openSmc(), detectFirmware(); the exchange record cleared, the log marked.
  void bringUp();
  // smcOpen() must succeed; the exchange record is cleared afterwards.
  void openSmc();
  void writeSettings(const Settings& settings) const { writeWholeFile(configPath, settingsJson(settings)); }
  // The decoded "status.json"; a failed expectation when there is none.
  ChargeStatus publishedStatus() const;

  // The messages of daemon.log (logLines); since markLog() for newLogMessages().
  std::vector<std::string> logMessages() const { return logLines(readWholeFile(logPath)); }
  std::vector<std::string> newLogMessages() const {
    const auto all = logMessages();
    return {all.begin() + static_cast<std::ptrdiff_t>(std::min(logMark_, all.size())), all.end()};
  }
  void markLog() { logMark_ = logMessages().size(); }

  TempDir dir;
};

// Our programs as real processes.
struct Launch {
  std::string program;
  std::vector<std::string> args;
  std::string output;            // file for standard output and error; "" = /dev/null
  std::string errors;            // a separate file for standard error; "" = with the output
  int errorFd = -1;              // standard error becomes this descriptor instead, when >= 0
  std::vector<std::string> env;  // "NAME=value" added to this process's environment
};

// Starts the program with SIGTERM, SIGINT, SIGHUP and SIGPIPE at their default
// dispositions and no signal blocked, whatever the calling process has
// installed. Returns -1 when it cannot be started.
pid_t startProgram(const Launch& launch);

struct ProcessEnd {
  bool finished = false;   // false: still running at the deadline, then killed
  bool signalled = false;  // ended by a signal
  int code = -1;           // exit status, or the signal number
  // The exit status of a normal end, else -1.
  int status() const { return finished && !signalled ? code : -1; }
};

// Waits for `pid` up to `limit`; kills it with SIGKILL after that.
ProcessEnd waitForEnd(pid_t pid, std::chrono::milliseconds limit = std::chrono::seconds(30));
// Sends `sig` and waits as waitForEnd does.
inline ProcessEnd stopProcess(pid_t pid, int sig, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
  kill(pid, sig);
  return waitForEnd(pid, limit);
}

// Kills and reaps the process, if it still runs, when it goes out of scope.
struct ProcessGuard { pid_t pid = -1; ~ProcessGuard(); };

struct Ran { ProcessEnd end; std::string out, err; };
// Runs `program` to its end (at most 30 s) with both streams captured.
Ran runProgram(const std::string& program, const std::vector<std::string>& args, const std::vector<std::string>& env = {});

// Polls `condition` until it holds or `limit` has passed.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(30));

// hestled on the simulated Mac (HESTLED_PATH), with these arguments.
struct HestledRun {
  std::string dataDir;
  std::string machineFile;  // the scenario's "machine" object; "" = the default machine
  std::string stateFile;    // key values the simulated SMC keeps across processes; "" = none
  std::string outputFile;   // standard output and error of the process
  std::string speed = "1000";
};
pid_t spawnHestled(const HestledRun& run);

// The key values saved in a state file, name to lowercase hex ("" if none).
std::map<std::string, std::string> savedKeys(const std::string& stateFile);
inline bool allZeroHex(const std::string& hex) { return hex.find_first_not_of('0') == std::string::npos; }
// The saved keys that are not zero, as "NAME=hex " each: "" when every key was handed back.
std::string heldKeys(const std::string& stateFile);
