// The daemon's process-wide state, declared once here, below every layer that
// uses it. daemon/globals.h gives each its start-up value (initGlobals); until
// then each holds the value defined in state/globals.cpp. They live until the
// process ends.
#pragma once

#include <cstdint>
#include <string>

#include <IOKit/IOKitLib.h>

#include "state/calibration_phase.h"

extern std::string logPath;     // the log file
extern int logFile;             // open descriptor of the log, -1 while there is none
extern int previousLogFile;     // the log moved aside to daemon.log.1 by the last rotation, -1 if none
extern double logReopenTime;    // when a log that could not be opened is tried again (monotonicNow); infinity: never
extern bool creationMaskCleared;  // the umask is 0 (start-up sets it): files are created with their mode
extern bool logToTerminal;      // standard error is a terminal: every line is copied there too
extern std::string logDateFmt;  // strftime pattern of a log line's local timestamp
extern std::string configDir;   // the data directory
extern std::string configPath;  // the settings file
extern std::string statusPath;  // the status file
extern std::string calibrationStatePath;  // the daemon's own record of a calibration under way

extern uint32_t KEY_CH0B;  // charge inhibit, pre-Tahoe family, first key
extern uint32_t KEY_CH0C;  // charge inhibit, pre-Tahoe family, second key
extern uint32_t KEY_CHTE;  // charge inhibit, Tahoe family
extern uint32_t KEY_CH0I;  // adapter disable, pre-Tahoe family, first key
extern uint32_t KEY_CH0J;  // adapter disable, pre-Tahoe family, second key
extern uint32_t KEY_CHIE;  // adapter disable, Tahoe family
extern uint32_t KEY_ACLC;  // MagSafe LED colour

extern uint8_t LED_SYSTEM;  // the system drives the LED
extern uint8_t LED_GREEN;
extern uint8_t LED_ORANGE;

extern io_connect_t smcConn;    // AppleSMC user-client connection, 0 until opened
extern bool useTahoe;           // the controller knows CHTE: Tahoe key family
extern bool chargeInhibitUsable;  // the family's charge inhibit takes writes (else the adapter alone holds the limit)
extern bool chargeInhibitRefused; // judged unusable by refusals, not by stub keys: tried again now and then
extern int64_t inhibitRefusals;   // refused writes of the charge inhibit (disable) in a row, 0 after one accepted
extern bool currentlyInhibited; // the daemon holds charging inhibited
extern bool adapterDisabled;    // the daemon holds the adapter disabled
extern bool magSafeLEDColoured; // the daemon has coloured the LED since it last handed it back
extern bool configUnusable;     // the last pass found config.json present but unusable (logged once)
extern int64_t unplugRestoreRefusals; // refused attempts to re-enable charging since the unplug, 0 when none

extern CalibrationPhase calPhase;
extern double calHoldEndTime;          // end of the hold at 100%, on the monotonic clock (monotonicNow)
extern int64_t calDischargeThreshold;  // 15
extern double calHoldMinutes;          // 120.0
extern int64_t loopCount;              // finished control-loop passes
