// The reliability drivers run a short size in CI and a long one for the
// figures of the README (scripts/reliability.sh sets HESTLE_LONG_RUNS=1).
#pragma once

#include <cstdlib>

inline bool longRuns() {
  const char* value = std::getenv("HESTLE_LONG_RUNS");
  return value && *value == '1';
}

template <class T>
T runSize(T ci, T full) {
  return longRuns() ? full : ci;
}
