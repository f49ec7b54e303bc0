// The control loop: one pass every ten seconds, and the charge-limit regulation.
#include "daemon/control_loop.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "battery/calibration.h"
#include "daemon/clamshell.h"
#include "daemon/inhibit_check.h"
#include "daemon/no_inhibit_hold.h"
#include "daemon/pass_wait.h"
#include "daemon/shutdown.h"
#include "daemon/sleep_rule.h"
#include "daemon/system_power.h"
#include "platform/clock.h"
#include "smc/actuators.h"
#include "smc/magsafe_led.h"
#include "state/globals.h"
#include "store/charge_status.h"
#include "store/log.h"
#include "util/text.h"

static constexpr double kPassInterval = 10.0;

// The lid closed while the Mac is awake: clamshell mode, in which the adapter
// is never switched off (the Mac would sleep at once). Read every awake pass.
static bool clamshellMode = false;
// The calibration waits for the lid to open (said once per clamshell span).
static bool calibrationWaitLogged = false;

int64_t lowerBandEdge(int64_t limit) {
  return limit < std::numeric_limits<int64_t>::min() + 2 ? std::numeric_limits<int64_t>::min() : limit - 2;
}

static void logStateLine(const ChargeConfig& config, const BatteryReading& battery) {
  std::string line = "State: battery=";
  line += std::to_string(battery.percent);
  line += "% plugged=";
  line += boolText(battery.pluggedIn);
  line += " charging=";
  line += boolText(battery.charging);
  line += " | limit: enabled=";
  line += boolText(config.chargeLimitEnabled);
  line += " target=";
  line += std::to_string(config.chargeLimitPercent);
  line += "% | inhibited=";
  line += boolText(currentlyInhibited);
  line += " adapterOff=";
  line += boolText(adapterDisabled);
  line += " | cal=";
  line += rawValue(calPhase);
  log(line);
}

// Limit off: undo what the daemon holds. The LED is handed back when the
// daemon had coloured it or a restore failed; once handed back, a pass with
// the limit off writes nothing at all.
static void releaseLimit() {
  if (adapterDisabled) setAdapterEnabled(true);
  if (currentlyInhibited) setChargingEnabled(true);
  if (magSafeLEDColoured || adapterDisabled || currentlyInhibited) resetMagSafeLED();
}

void applyRegulation(const ChargeConfig& config, const BatteryReading& battery) {
  if (!config.chargeLimitEnabled) {
    unplugRestoreRefusals = 0;
    releaseLimit();
    return;
  }
  if (!chargeInhibitUsable) {
    // In clamshell mode the adapter-only hold waits for the lid to open.
    if (clamshellMode && adapterDisabled) setAdapterEnabled(true);
    if (!clamshellMode) applyNoInhibitRegulation(config, battery);
    return;
  }
  const int64_t percent = battery.percent;
  const int64_t limit = config.chargeLimitPercent;
  // With the adapter disabled the battery reports no adapter; it still counts as plugged.
  const bool plugged = battery.pluggedIn || adapterDisabled;

  if (plugged || !currentlyInhibited) unplugRestoreRefusals = 0;
  if (!plugged && currentlyInhibited) {
    // The inhibit key persists in the controller: re-enable charging for real,
    // or the Mac would not charge when plugged in again below the limit. A
    // restore the controller refused keeps the flag, so the next pass tries
    // again; clearing it would leave charging inhibited with nothing to undo it.
    // Only the first attempt and the eventual success are logged, not each
    // refused retry.
    if (unplugRestoreRefusals == 0) {
      log("Unplugged — clearing states");
      if (!setChargingEnabled(true)) unplugRestoreRefusals = 1;
    } else if (retryChargingEnabled(true)) {
      log("Unplugged — charging re-enabled after " + std::to_string(unplugRestoreRefusals) + " refused attempts");
      unplugRestoreRefusals = 0;
    } else {
      ++unplugRestoreRefusals;
    }
    adapterDisabled = false;
    resetMagSafeLED();
    return;
  }
  if (!plugged) return;

  if (percent > limit && clamshellMode) {
    // Above the limit with the lid closed: held where it is, charging inhibited.
    if (adapterDisabled) setAdapterEnabled(true);
    if (!currentlyInhibited) setChargingEnabled(false);
    setMagSafeLED(false);
  } else if (percent > limit) {
    if (!adapterDisabled) {
      log("ACTION: Battery " + std::to_string(percent) + "% > " + std::to_string(limit) + "% — disabling adapter");
      setAdapterEnabled(false);
    }
    if (!currentlyInhibited) setChargingEnabled(false);
    setMagSafeLED(false);
  } else if (percent == limit) {
    if (adapterDisabled) {
      log("ACTION: At target " + std::to_string(limit) + "% — re-enabling adapter");
      setAdapterEnabled(true);
    }
    if (!currentlyInhibited) setChargingEnabled(false);
    setMagSafeLED(false);
  } else if (percent >= lowerBandEdge(limit)) {
    if (adapterDisabled) setAdapterEnabled(true);
    setMagSafeLED(!currentlyInhibited);
  } else {
    if (adapterDisabled) setAdapterEnabled(true);
    if (currentlyInhibited) {
      log("ACTION: Battery " + std::to_string(percent) + "% < " + std::to_string(limit - 2) + "% — enabling charging");
      setChargingEnabled(true);
    }
    setMagSafeLED(true);
  }
}

// Settings that cannot be used fall back to the defaults, which switch the
// limit off: said once when that starts and once when it ends, not every pass.
static void logConfigUsability(const ConfigReading& reading) {
  const bool unusable = reading.problem.fault != ConfigFault::none;
  if (unusable == configUnusable) return;
  configUnusable = unusable;
  if (unusable) {
    log("Settings: config.json is not valid (" + describeConfigProblem(reading.problem) +
        ") — limit off until it is fixed");
  } else if (reading.present) {
    log("Settings: config.json is usable again");
  } else {
    log("Settings: config.json removed — running with the defaults (limit off)");
  }
}

static void publishStatus(const ChargeConfig& config, bool calibrationActive, int64_t percent) {
  ChargeStatus status;
  status.daemonRunning = true;
  status.chargingInhibited = currentlyInhibited;
  status.calibrationActive = calibrationActive;
  if (calibrationActive) status.calibrationPhase = std::string(rawValue(calPhase));
  status.batteryPercent = percent;
  status.lastUpdate = wallClockNow();
  status.clamshellMode = clamshellMode;
  status.heldByMacOSAt = macOSHoldPercent();
  status.limitNotHeld = !calibrationActive && config.chargeLimitEnabled && !chargeInhibitUsable && limitNotHeld();
  writeStatus(status);
  loopCount += 1;
}

// Clamshell mode begun or ended: one line each way.
static void noteClamshellMode(bool closed) {
  if (closed == clamshellMode) return;
  clamshellMode = closed;
  calibrationWaitLogged = false;
  log(closed ? "Clamshell: lid closed on an external display — the adapter stays on until the lid opens"
             : "Clamshell: lid open — holding the limit as usual");
}

// In clamshell mode a calibration may not switch the adapter off: it neither
// starts nor drains, and a hold at 100% that is over waits to drain back.
static bool calibrationWaitsForLid(const ChargeConfig& config) {
  if (!clamshellMode || !config.calibrationEnabled || !config.chargeLimitEnabled) return false;
  switch (calPhase) {
    case CalibrationPhase::idle: {
      const double last = config.lastCalibrationTimestamp;
      const double interval = static_cast<double>(config.calibrationIntervalDays) * 86400.0;
      return last == 0.0 || std::isnan(last) || wallClockNow() - last >= interval;
    }
    case CalibrationPhase::charging: return false;
    case CalibrationPhase::holding: return !(calHoldEndTime > monotonicNow());
    default: return true;
  }
}

void runControlLoopPass() {
  const bool slept = takeSlept();
  const ConfigReading reading = readConfigFile();
  logConfigUsability(reading);
  ChargeConfig config = reading.config;
  const BatteryReading battery = getBatteryPercent();
  if (inSleepSpan()) {
    // Asleep as far as the daemon knows: a dark wake, which ends with a sleep
    // nobody announces. The sleep rule again, the next wake armed again.
    clamshellMode = false;
    const std::string what = applySleepRule(config, battery);
    if (slept) log("Dark wake: " + what);
    judgeChargeInhibit(false);
    publishStatus(config, calPhase != CalibrationPhase::idle && config.calibrationEnabled && config.chargeLimitEnabled,
                  battery.percent);
    return;
  }
  noteChargeProgress(battery);
  noteMacOSHold(battery);
  noteClamshellMode(inClamshellMode());
  if (loopCount % 30 == 0) logStateLine(config, battery);
  bool calibrationActive = false;
  if (calibrationWaitsForLid(config)) {
    if (!calibrationWaitLogged) log("Calibration: waiting for the lid to open — the adapter stays on in clamshell mode");
    calibrationWaitLogged = true;
    calibrationActive = calPhase != CalibrationPhase::idle;
    if (calibrationActive) {
      // A paused drain: held where it is.
      if (adapterDisabled) setAdapterEnabled(true);
      if (!currentlyInhibited) setChargingEnabled(false);
      setMagSafeLED(false);
    } else {
      applyRegulation(config, battery);
    }
  } else {
    calibrationActive = handleCalibration(battery, config);
    if (!calibrationActive) applyRegulation(config, battery);
  }
  judgeChargeInhibit(slept);
  publishStatus(config, calibrationActive, battery.percent);
}

void runControlLoop() {
  while (!stopRequested()) {
    runControlLoopPass();
    if (stopRequested()) return;
    waitForNextPass(kPassInterval);
  }
}
