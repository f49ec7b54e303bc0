// The simulated Mac's clock: virtual time that tests and the harness move on,
// scheduled events, and the daemon's wait (platform/clock.h) over it.
#include <cerrno>
#include <cmath>
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

// The virtual wait: stops at every scheduled event and notices the fd there.
bool waitVirtually(int fd, double seconds) {
  Machine& m = machine();
  const double end = m.now + seconds;
  while (runNextEventBy(end))
    if (readable(fd)) return true;
  moveTo(end);
  return readable(fd);
}

// The real-time wait: poll() for the real time, the virtual clock moving on
// by the real time elapsed times the speed.
bool waitReally(int fd, double seconds) {
  Machine& m = machine();
  const double end = m.now + seconds;
  while (m.now < end) {
    const double speed = m.realTimeSpeed;
    double until = end;
    if (!m.events.empty() && m.events.begin()->first < until) until = std::max(m.now, m.events.begin()->first);
    const double realLeft = (until - m.now) / speed;
    const int timeoutMs = static_cast<int>(std::ceil(std::min(realLeft, 3600.0) * 1000.0));
    const double started = monotonicSeconds();
    pollfd pfd{fd, POLLIN, 0};
    const int n = poll(&pfd, 1, timeoutMs);
    const double reached = std::min(end, m.now + (monotonicSeconds() - started) * speed);
    while (runNextEventBy(reached)) {
    }
    moveTo(reached);
    if (n > 0 || readable(fd)) return true;
    if (n < 0 && errno != EINTR) return false;
  }
  return readable(fd);
}

}  // namespace

double now() { return machine().now; }

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

double wallClockNow() { return simmac::now(); }

bool waitForWake(int wakeFd, double seconds) {
  simmac::Machine& m = simmac::machine();
  if (m.waitHook) m.waitHook(m.now);
  // As poll() does, a wake already pending ends the wait at once.
  if (simmac::readable(wakeFd)) return true;
  if (!(seconds > 0.0)) return false;
  if (!std::isfinite(seconds)) seconds = 1e12;
  return m.realTimeSpeed > 0.0 ? simmac::waitReally(wakeFd, seconds) : simmac::waitVirtually(wakeFd, seconds);
}
