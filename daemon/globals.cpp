// The start-up values of the daemon's process-wide state.
#include "daemon/globals.h"

#include <limits>

#include "smc/smc_protocol.h"

void initGlobals(const std::string& dataDir) {
  logPath = dataDir + "/daemon.log";
  logToTerminal = false;
  logReopenTime = std::numeric_limits<double>::infinity();
  creationMaskCleared = false;
  logDateFmt = "%Y-%m-%d %H:%M:%S";
  configDir = dataDir;
  configPath = configDir + "/config.json";
  statusPath = configDir + "/status.json";
  calibrationStatePath = configDir + "/calibration.json";
  KEY_CH0B = smc_fourcc("CH0B");
  KEY_CH0C = smc_fourcc("CH0C");
  KEY_CHTE = smc_fourcc("CHTE");
  KEY_CH0I = smc_fourcc("CH0I");
  KEY_CH0J = smc_fourcc("CH0J");
  KEY_CHIE = smc_fourcc("CHIE");
  KEY_ACLC = smc_fourcc("ACLC");
  LED_SYSTEM = 0;
  LED_GREEN = 3;
  LED_ORANGE = 4;
  smcConn = 0;
  useTahoe = false;
  chargeInhibitUsable = true;
  chargeInhibitRefused = false;
  inhibitRefusals = 0;
  currentlyInhibited = false;
  adapterDisabled = false;
  magSafeLEDColoured = false;
  configUnusable = false;
  unplugRestoreRefusals = 0;
  calPhase = CalibrationPhase::idle;
  calHoldEndTime = 0.0;
  calDischargeThreshold = 15;
  calHoldMinutes = 120.0;
}
