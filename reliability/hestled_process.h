// Real hestled processes for the reliability tests: spawning one on a
// simulated machine, waiting for its end, and reading what it left behind.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include <sys/types.h>

struct HestledRun {
  std::string dataDir;
  std::string machineFile;  // the scenario's "machine" object
  std::string stateFile;    // key values the simulated SMC keeps across processes
  std::string outputFile;   // standard output and error of the process
  std::string speed = "1000";
};

// Starts hestled with the default dispositions of SIGTERM and SIGINT and no
// signal blocked, whatever the calling process has installed.
pid_t spawnHestled(const HestledRun& run);

struct ProcessEnd {
  bool finished = false;   // false: still running at the deadline, then killed
  bool signalled = false;  // ended by a signal
  int code = -1;           // exit status, or the signal number
};

// Waits for `pid` up to `limit`; kills it with SIGKILL after that.
ProcessEnd waitForEnd(pid_t pid, std::chrono::milliseconds limit);
// Non-blocking: whether `pid` has ended, filling `end` if so.
bool pollEnd(pid_t pid, ProcessEnd& end);

// The key values saved in a state file, name to lowercase hex ("" if none).
std::map<std::string, std::string> savedKeys(const std::string& stateFile);
bool allZeroHex(const std::string& hex);

// The messages of a log text, the "[yyyy-MM-dd HH:mm:ss] " prefix removed.
std::vector<std::string> logLines(const std::string& text);
size_t countLines(const std::vector<std::string>& lines, const std::string& prefix);

// A settings file that turns the limit on at `limit` percent.
std::string limitConfig(int limit, bool calibration = false, int intervalDays = 30, double lastCalibration = 0.0);
