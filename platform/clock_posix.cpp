// The wall clock and the woken wait on a real system.
#include "platform/clock.h"

#include <cerrno>
#include <cmath>
#include <poll.h>

#include "util/system_clock.h"

double wallClockNow() { return systemWallSeconds(); }

bool waitForWake(int wakeFd, double seconds) {
  const double deadline = monotonicSeconds() + seconds;
  for (;;) {
    const double left = deadline - monotonicSeconds();
    const int timeoutMs = left > 0 ? static_cast<int>(std::ceil(left * 1000.0)) : 0;
    pollfd pfd{wakeFd, POLLIN, 0};
    const int n = poll(&pfd, 1, timeoutMs);
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) return false;
  }
}
