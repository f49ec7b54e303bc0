// Our programs as real processes: run one to its end with its output
// captured, or start a daemon, signal it and wait for its end.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <csignal>
#include <sys/types.h>

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
struct ProcessGuard {
  pid_t pid = -1;
  ~ProcessGuard();
};

struct Ran {
  ProcessEnd end;
  std::string out;
  std::string err;
};
// Runs `program` to its end (at most 30 s) with both streams captured.
Ran runProgram(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& env = {});

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
