// The wall clock and the woken wait on a real system.
#include "platform/clock.h"

#include <cerrno>
#include <cmath>
#include <ctime>
#include <poll.h>

double wallClockNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

static double monotonicNow() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

bool waitForWake(int wakeFd, double seconds) {
  const double deadline = monotonicNow() + seconds;
  for (;;) {
    const double left = deadline - monotonicNow();
    const int timeoutMs = left > 0 ? static_cast<int>(std::ceil(left * 1000.0)) : 0;
    pollfd pfd{wakeFd, POLLIN, 0};
    const int n = poll(&pfd, 1, timeoutMs);
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) return false;
  }
}
