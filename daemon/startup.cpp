// Start-up of hestled: the data directory, the log, the SMC, the handlers.
#include "daemon/startup.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "battery/calibration_state.h"
#include "daemon/control_loop.h"
#include "daemon/globals.h"
#include "daemon/inhibit_check.h"
#include "daemon/no_inhibit_hold.h"
#include "daemon/pass_wait.h"
#include "daemon/shutdown.h"
#include "daemon/sleep_rule.h"
#include "daemon/system_power.h"
#include "state/globals.h"
#include "smc/actuators.h"
#include "smc/magsafe_led.h"
#include "smc/smc_client.h"
#include "store/log.h"
#include "store/safe_file.h"

// Creates `path` and any missing parents. The data directory itself, when
// created here, gets mode 0777 whatever the umask, so that a front end running
// as another user can write its settings; parents get the usual 0755.
static void createDataDirectory(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    mkdir(path.substr(0, slash).c_str(), 0755);
  }
  if (mkdir(path.c_str(), 0777) != 0) return;  // exists already, or cannot be made
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  fchmod(fd, 0777);
  close(fd);
}

void openUpDataDirectory(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st {};
  if (fstat(fd, &st) == 0 && st.st_uid == 0 && geteuid() == 0 && (st.st_mode & 07777) != 0777) fchmod(fd, 0777);
  close(fd);
}

bool startUp(const std::string& dataDir) {
  initGlobals(dataDir);
  // Every file the daemon makes gets exactly the mode it asks for, with no
  // chmod after each creation.
  umask(0);
  creationMaskCleared = true;
  // Standard error may be a pipe whose reader has gone (a terminal closed, a
  // log collector restarted): a failed copy of a log line must not kill the
  // daemon that keeps the battery safe.
  signal(SIGPIPE, SIG_IGN);
  createDataDirectory(configDir);
  // What an earlier run left when it was killed between creating a
  // temporary and renaming it into place.
  removeLeftoverTemporaries(configDir, {"status.json", "config.json", "daemon.log", "calibration.json"});
  logInit();
  log("=== hestle_warden starting ===");
  log("PID: " + std::to_string(getpid()) + ", UID: " + std::to_string(getuid()) + ", EUID: " +
      std::to_string(geteuid()));
  if (!smcOpen(kSmcLateBootSeconds)) {
    log("FATAL: Cannot open AppleSMC. Exiting.");
    return false;
  }
  log("SMC connection opened (conn=" + std::to_string(smcConn) + ")");
  detectFirmware();
  // Never follows a link planted at the path, and leaves a hard-linked file alone.
  setRegularFileMode(configPath, 0666);
  // A daemon that could not be stopped cleanly would leave the keys it writes
  // behind: give up before writing any. The run loop is its only wait, so the
  // stop pipe must be in it.
  if (!installTerminationHandlers() || !watchStopPipe(stopWakeFd())) {
    log("FATAL: Cannot install the stop handlers. Exiting.");
    return false;
  }
  log("Starting main loop");
  registerForSystemPower();
  cancelLeftoverWakes();
  // The controller keeps key values until it resets: an earlier run that was
  // killed or crashed may have left charging inhibited or the adapter off.
  // Hand the hardware back to the state the flags describe. The first writes
  // of the charge inhibit tell whether the controller takes it at all.
  setAdapterEnabled(true);
  checkChargeInhibitAtStartUp();
  resetMagSafeLED();
  resetChargeProgress();
  resetMacOSHoldWatch();
  resumeCalibration();
  loopCount = 0;
  return true;
}

int runDaemon(const std::string& dataDir) {
  if (!startUp(dataDir)) return 1;
  runControlLoop();
  cleanShutdown();
  return 0;
}
