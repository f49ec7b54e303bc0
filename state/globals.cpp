// The storage of the daemon's process-wide state and the values it holds
// before initGlobals() runs.
#include "state/globals.h"

#include <limits>

std::string logPath;
int logFile = -1;
int previousLogFile = -1;
double logReopenTime = std::numeric_limits<double>::infinity();
bool creationMaskCleared = false;
bool logToTerminal = false;
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
bool chargeInhibitRefused = false;
int64_t inhibitRefusals = 0;
bool currentlyInhibited = false;
bool adapterDisabled = false;
bool magSafeLEDColoured = false;
bool configUnusable = false;
int64_t unplugRestoreRefusals = 0;

CalibrationPhase calPhase = CalibrationPhase::idle;
double calHoldEndTime = 0.0;
int64_t calDischargeThreshold = 15;
double calHoldMinutes = 120.0;
int64_t loopCount = 0;
