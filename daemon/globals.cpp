// The daemon's process-wide state and its start-up values.
#include "daemon/globals.h"

#include "smc/smc_protocol.h"

std::string logPath;
int logFile = -1;
std::string logDateFmt;
std::string configDir;
std::string configPath;
std::string statusPath;
std::string calibrationStatePath;

uint32_t KEY_CH0B = 0;
uint32_t KEY_CH0C = 0;
uint32_t KEY_CHTE = 0;
uint32_t KEY_CH0I = 0;
uint32_t KEY_CH0J = 0;
uint32_t KEY_CHIE = 0;
uint32_t KEY_ACLC = 0;

uint8_t LED_SYSTEM = 0;
uint8_t LED_GREEN = 3;
uint8_t LED_ORANGE = 4;

io_connect_t smcConn = 0;
bool useTahoe = false;
bool chargeInhibitUsable = true;
bool currentlyInhibited = false;
bool adapterDisabled = false;
bool magSafeLEDColoured = false;

CalibrationPhase calPhase = CalibrationPhase::idle;
double calHoldEndTime = 0.0;
int64_t calDischargeThreshold = 15;
double calHoldMinutes = 120.0;
int64_t loopCount = 0;

void initGlobals(const std::string& dataDir) {
  logPath = dataDir + "/daemon.log";
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
  currentlyInhibited = false;
  adapterDisabled = false;
  magSafeLEDColoured = false;
  calPhase = CalibrationPhase::idle;
  calHoldEndTime = 0.0;
  calDischargeThreshold = 15;
  calHoldMinutes = 120.0;
}
