// What the reliability drivers share: their two sizes (CI, and the long runs
// behind the README's figures, which scripts/reliability.sh selects with
// HESTLE_LONG_RUNS=1), the daemon run in this process for a number of passes,
// and what the process holds.
#pragma once

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

#include "daemon/globals.h"
#include "daemon/shutdown.h"
#include "daemon/startup.h"
#include "sim/simulated_mac.h"

inline bool longRuns() { return std::getenv("HESTLE_LONG_RUNS") && std::getenv("HESTLE_LONG_RUNS")[0] == '1'; }
template <class T>
T runSize(T ci, T full) { return longRuns() ? full : ci; }

// runDaemon(dataDir) on the booted machine for `passes` passes, `each` called
// at the end of every one, then a real SIGTERM; -1 when it stopped early.
inline int runPasses(const std::string& dataDir, int64_t passes, const std::function<void(int64_t, double)>& each) {
  int64_t done = 0;
  clearStopRequest();
  simmac::setWaitHook([&](double now) {
    each(++done, now);
    if (done == passes) raise(SIGTERM);
  });
  const int status = runDaemon(dataDir);
  simmac::setWaitHook(nullptr);
  simmac::clearSchedule();
  close(logFile);  // as the process's exit would
  logFile = -1;
  return done == passes ? status : -1;
}

struct ProcessStats {
  int64_t rssKiB = 0, peakRssKiB = 0;  // VmRSS; getrusage's ru_maxrss
  int openFds = 0;
};
inline ProcessStats currentProcessStats() {
  ProcessStats stats;
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) stats.rssKiB = std::stoll(line.substr(6));
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  stats.peakRssKiB = usage.ru_maxrss;
  for ([[maybe_unused]] const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) ++stats.openFds;
  return stats;
}

// Memory figures mean little under AddressSanitizer (quarantine, shadow).
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kUnderSanitizer = true;
#elif defined(__has_feature)
inline constexpr bool kUnderSanitizer = __has_feature(address_sanitizer);
#else
inline constexpr bool kUnderSanitizer = false;
#endif
