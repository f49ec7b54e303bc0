// The termination handler, the wake pipe, and the clean shutdown.
#include "daemon/shutdown.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <utility>
#include <fcntl.h>
#include <unistd.h>

#include "daemon/pass_wait.h"
#include "daemon/system_power.h"
#include "platform/clock.h"
#include "smc/actuators.h"
#include "smc/magsafe_led.h"
#include "state/globals.h"
#include "store/charge_status.h"
#include "store/log.h"

static volatile sig_atomic_t stopFlag = 0;
static int wakePipe[2] = {-1, -1};

static void markStop() {
  const int savedErrno = errno;
  stopFlag = 1;
  if (wakePipe[1] >= 0) {
    const char byte = 1;
    // A full pipe already wakes the loop; nothing to do about a short write.
    [[maybe_unused]] const ssize_t n = write(wakePipe[1], &byte, 1);
  }
  errno = savedErrno;
}

extern "C" void hestleOnTerminationSignal(int) { markStop(); }

static bool makePipe() {
  if (wakePipe[0] >= 0) return true;
  int fds[2];
  if (pipe(fds) != 0) {
    log(std::string("ERROR: pipe failed: ") + std::strerror(errno));
    return false;
  }
  for (int fd : fds) {
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
  wakePipe[0] = fds[0];
  wakePipe[1] = fds[1];
  return true;
}

bool installTerminationHandlers() {
  if (!makePipe()) return false;
  struct sigaction action {};
  action.sa_handler = hestleOnTerminationSignal;
  sigemptyset(&action.sa_mask);
  // Restart interrupted calls of the main flow (log and status writes); the
  // loop's wait is woken through the pipe instead.
  action.sa_flags = SA_RESTART;
  for (const auto& [number, name] : {std::pair{SIGTERM, "SIGTERM"}, std::pair{SIGINT, "SIGINT"}}) {
    if (sigaction(number, &action, nullptr) != 0) {
      log(std::string("ERROR: sigaction(") + name + ") failed: " + std::strerror(errno));
      return false;
    }
  }
  return true;
}

bool stopRequested() { return stopFlag != 0; }

void requestStop() { markStop(); }

void clearStopRequest() {
  stopFlag = 0;
  const int readEnd = wakePipe[0], writeEnd = wakePipe[1];
  wakePipe[1] = -1;  // the handler stops writing before the descriptors go
  wakePipe[0] = -1;
  if (readEnd >= 0) close(readEnd);
  if (writeEnd >= 0) close(writeEnd);
}

int stopWakeFd() { return wakePipe[0]; }

void cleanShutdown() {
  log("Clean shutdown: restoring all keys");
  if (adapterDisabled) setAdapterEnabled(true);
  if (currentlyInhibited) setChargingEnabled(true);
  resetMagSafeLED();
  // Report what the hardware was left in: a restore that failed leaves
  // charging inhibited, and a front end must not be told otherwise.
  ChargeStatus status;
  status.daemonRunning = false;
  status.chargingInhibited = currentlyInhibited;
  status.calibrationActive = false;
  status.batteryPercent = 0;
  status.lastUpdate = wallClockNow();
  writeStatus(status);
  // Last, so that nothing above changes: the daemon leaves the power
  // notifications and cancels a wake it scheduled.
  deregisterForSystemPower();
  unwatchStopPipe();
}
