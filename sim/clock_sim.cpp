// The simulated Mac's clocks: the timeline that tests and the harness move on,
// scheduled events, the wall clock that can be set, the monotonic clock, and
// the wait of a blocked thread over them.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>
#include <poll.h>
#include <stdexcept>

#include "platform/clock.h"
#include "sim/machine_state.h"
#include "util/posix_io.h"
#include "util/system_clock.h"

namespace simmac {

namespace {

bool readable(int fd) {
  pollfd pfd{fd, POLLIN, 0};
  const int n = retryOnInterrupt([&] { return poll(&pfd, 1, 0); });
  return n > 0 && (pfd.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

// Moves the clock to `t` (not earlier than now), the battery following.
void moveTo(double t) {
  Machine& m = machine();
  if (t <= m.now) return;
  runBattery(t - m.now);
  m.now = t;
}

// Runs the earliest event due at or before `limit`, moving the clock to it.
// False when there is none.
bool runNextEventBy(double limit) {
  Machine& m = machine();
  if (m.events.empty() || m.events.begin()->first > limit) return false;
  auto node = m.events.extract(m.events.begin());
  moveTo(node.key());
  node.mapped()();
  return true;
}

// Real time: poll() the descriptors (none while asleep) until `until` comes
// in virtual time, the clock moving on by the real time elapsed times the
// speed; events due by then run.
void passReally(double until, const std::vector<int>& fds) {
  Machine& m = machine();
  const double realLeft = std::max(0.0, until - m.now) / m.realTimeSpeed;
  const int timeoutMs = static_cast<int>(std::ceil(std::min(realLeft, 3600.0) * 1000.0));
  std::vector<pollfd> pfds;
  for (int fd : fds) pfds.push_back({fd, POLLIN, 0});
  const double started = monotonicSeconds();
  poll(pfds.data(), pfds.size(), timeoutMs);
  const double reached = std::min(until, m.now + (monotonicSeconds() - started) * m.realTimeSpeed);
  while (runNextEventBy(reached)) {
  }
  moveTo(reached);
}

}  // namespace

bool waitUntilReady(double seconds, const std::function<bool()>& ready,
                    const std::function<std::vector<int>()>& fds) {
  Machine& m = machine();
  // The time limit counts awake time only: the clock it runs on stops while
  // the machine sleeps.
  double left = seconds;
  for (;;) {
    const bool awake = m.powerState != PowerState::asleep;
    if (awake && ready()) return true;
    // A remainder too small to move the clock at this date counts as none.
    if (awake && (left <= 0.0 || m.now + left == m.now)) return false;
    double until = awake ? m.now + left : std::numeric_limits<double>::infinity();
    if (!m.events.empty()) until = std::min(until, m.events.begin()->first);
    if (!std::isfinite(until)) {
      // Asleep with nothing left to wake it: the lid opens now.
      openLid();
      continue;
    }
    const double from = m.now;
    if (m.realTimeSpeed > 0.0) {
      passReally(until, awake ? fds() : std::vector<int>{});
    } else if (!runNextEventBy(until)) {
      moveTo(until);
    }
    if (awake) left -= m.now - from;
  }
}

double now() { return machine().now; }

double wallClock() { return machine().now + machine().wallOffset; }

void jumpWallClock(double seconds) {
  if (!std::isfinite(seconds)) throw std::invalid_argument("jumpWallClock: seconds must be finite");
  machine().wallOffset += seconds;
}

void advance(double seconds) {
  if (!(seconds >= 0.0) || !std::isfinite(seconds)) throw std::invalid_argument("advance: seconds must be finite and >= 0");
  const double end = machine().now + seconds;
  while (runNextEventBy(end)) {
  }
  moveTo(end);
}

void setRealTimeSpeed(double speed) {
  if (!(speed >= 0.0) || !std::isfinite(speed)) throw std::invalid_argument("setRealTimeSpeed: speed must be finite and >= 0");
  machine().realTimeSpeed = speed;
}

void setWaitHook(std::function<void(double)> hook) { machine().waitHook = std::move(hook); }

void schedule(double at, std::function<void()> action) { machine().events.emplace(at, std::move(action)); }

void clearSchedule() { machine().events.clear(); }

}  // namespace simmac

double wallClockNow() { return simmac::wallClock(); }

// Counts from boot, through sleep, and never jumps: the timeline since boot
// plus a day, so that it is never mistaken for a wall-clock time.
double monotonicNow() {
  const simmac::Machine& m = simmac::machine();
  return m.now - m.spec.startTime + 86400.0;
}

void pauseFor(double seconds) {
  if (!(seconds > 0.0) || !std::isfinite(seconds)) return;
  simmac::waitUntilReady(seconds, [] { return false; }, [] { return std::vector<int>{}; });
}

extern "C" {

const CFTimeInterval kCFAbsoluteTimeIntervalSince1970 = 978307200.0;

CFAbsoluteTime CFAbsoluteTimeGetCurrent(void) { return simmac::wallClock() - kCFAbsoluteTimeIntervalSince1970; }

}  // extern "C"

bool waitForWake(int fd, double seconds) {
  simmac::Machine& m = simmac::machine();
  if (m.waitHook) m.waitHook(m.now);
  if (!std::isfinite(seconds)) seconds = 1e12;
  if (!(seconds > 0.0)) return simmac::readable(fd);
  return simmac::waitUntilReady(
      seconds, [fd] { return simmac::readable(fd); }, [fd] { return std::vector<int>{fd}; });
}
