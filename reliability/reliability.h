// What the reliability drivers share: their two sizes, CI's and the long one
// behind the README's figures (scripts/reliability.sh sets HESTLE_LONG_RUNS=1),
// the real daemon run in this process for a number of passes, and what each
// pass found wrong.
#pragma once

#include <csignal>
#include <functional>
#include <unistd.h>

#include "daemon/globals.h"
#include "daemon/shutdown.h"
#include "daemon/startup.h"
#include "test_support.h"

inline bool longRuns() { return std::getenv("HESTLE_LONG_RUNS") && std::getenv("HESTLE_LONG_RUNS")[0] == '1'; }
template <class T> T runSize(T ci, T full) { return longRuns() ? full : ci; }

// Memory figures mean little under AddressSanitizer (quarantine, shadow); the build says whether it is on.
inline constexpr bool kUnderSanitizer = HESTLE_UNDER_SANITIZER;

// runDaemon(dataDir) on the booted machine, `each` called at the end of every
// pass, stopped by a real SIGTERM after `passes`; -1 when it stopped early.
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

// What the passes of a run found wrong, each with its pass; the first few only.
struct Problems {
  std::string text;
  void check(bool holds, int64_t pass, const std::string& what) {
    if (!holds && text.size() < 400) text += "pass " + std::to_string(pass) + ": " + what + "\n";
  }
};
