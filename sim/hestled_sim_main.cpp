// hestled on Linux: the daemon against the simulated Mac, told by its
// arguments where its data directory is and which machine it runs on.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "daemon/startup.h"
#include "sim/simulated_mac.h"
#include "util/system_clock.h"

static constexpr const char* kUsage =
    "usage: hestled --data-dir DIR [--machine FILE.json] [--state FILE] [--speed N]\n";

static constexpr const char* kHelp =
    "\n"
    "Runs the charge-limit daemon against a simulated Mac (a Linux build; on a\n"
    "Mac, hestled takes no arguments). It stops cleanly on SIGTERM or SIGINT.\n"
    "\n"
    "  --data-dir DIR      where config.json, status.json and daemon.log live\n"
    "                      (created if missing; a link or another user's\n"
    "                      directory is refused)\n"
    "  --machine FILE.json the simulated Mac: a scenario's \"machine\" object, e.g.\n"
    "                      scenarios/machines/tahoe.json (default: Tahoe firmware,\n"
    "                      a battery at 80%, plugged in)\n"
    "  --state FILE        keeps the simulated SMC's key values in FILE, so that a\n"
    "                      later hestled on the same machine finds what this one\n"
    "                      wrote, as a real Mac keeps them until it restarts\n"
    "                      (default: every start is a freshly booted Mac)\n"
    "  --speed N           simulated seconds per real second, up to 1e9 (default 1):\n"
    "                      with 60 a pass comes every 1/6 s and the battery charges\n"
    "                      and drains 60 times faster; the daemon's clock then runs\n"
    "                      ahead of the real one\n"
    "  --help              this text\n";

static int usage(const char* why) {
  std::fprintf(stderr, "hestled: %s\n%sTry 'hestled --help'.\n", why, kUsage);
  return 2;
}

int main(int argc, char** argv) {
  std::string dataDir, machineFile, stateFile;
  double speed = 1.0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::fputs(kHelp, stdout);
      return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (arg != "--data-dir" && arg != "--machine" && arg != "--state" && arg != "--speed")
      return usage(("unknown argument " + arg).c_str());
    if (i + 1 >= argc) return usage((arg + " needs a value").c_str());
    const std::string value = argv[++i];
    if (arg == "--data-dir") {
      dataDir = value;
    } else if (arg == "--machine") {
      machineFile = value;
    } else if (arg == "--state") {
      stateFile = value;
    } else {
      char* end = nullptr;
      speed = std::strtod(value.c_str(), &end);
      if (value.empty() || *end != '\0' || !(speed > 0.0) || speed > 1e9)
        return usage("--speed needs a positive number");
    }
  }
  if (dataDir.empty()) return usage("--data-dir is required");
  // The daemon sets modes and replaces files in its data directory: one that
  // another user could have planted (a link to a directory of root's, a
  // directory of theirs) is refused. A missing one is created as the user's.
  const std::string named = dataDir.substr(0, std::max<size_t>(1, dataDir.find_last_not_of('/') + 1));
  struct stat st {};
  if (lstat(named.c_str(), &st) == 0 && (!S_ISDIR(st.st_mode) || st.st_uid != geteuid())) {
    std::fprintf(stderr, "hestled: %s is %s; it cannot be the data directory\n", dataDir.c_str(),
                 S_ISLNK(st.st_mode) ? "a symbolic link" : !S_ISDIR(st.st_mode) ? "not a directory" : "another user's");
    return 1;
  }

  simmac::MachineSpec spec;
  spec.startTime = systemWallSeconds();  // a live daemon, unless the machine says when it starts
  if (!machineFile.empty()) {
    std::ifstream in(machineFile, std::ios::binary);
    if (!in) return usage(("cannot read " + machineFile).c_str());
    std::ostringstream text;
    text << in.rdbuf();
    try {
      const auto j = nlohmann::json::parse(text.str());
      const double start = spec.startTime;
      spec = simmac::machineSpecFromJson(j);
      if (!j.contains("start")) spec.startTime = start;
    } catch (const std::exception& e) {
      return usage((machineFile + ": " + e.what()).c_str());
    }
  }
  simmac::boot(spec);
  // Nothing reads a separate process's exchange record; kept, it would grow
  // by two exchanges a pass for as long as the daemon runs.
  simmac::setRecordSmcExchanges(false);
  try {
    if (!stateFile.empty()) simmac::persistKeysTo(stateFile);
  } catch (const std::exception& e) {
    return usage(e.what());
  }
  simmac::setRealTimeSpeed(speed);
  return runDaemon(dataDir);
}
