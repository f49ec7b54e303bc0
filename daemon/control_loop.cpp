// The control loop: one pass every ten seconds, and the charge-limit regulation.
#include "daemon/control_loop.h"

#include <cstdint>
#include <limits>
#include <string>

#include "battery/calibration.h"
#include "daemon/no_inhibit_hold.h"
#include "daemon/pass_wait.h"
#include "daemon/shutdown.h"
#include "daemon/sleep_rule.h"
#include "platform/clock.h"
#include "smc/actuators.h"
#include "smc/magsafe_led.h"
#include "state/globals.h"
#include "store/charge_status.h"
#include "store/log.h"
#include "util/text.h"

static constexpr double kPassInterval = 10.0;

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
    applyNoInhibitRegulation(config, battery);
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

  if (percent > limit) {
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

void runControlLoopPass() {
  const ConfigReading reading = readConfigFile();
  logConfigUsability(reading);
  ChargeConfig config = reading.config;
  const BatteryReading battery = getBatteryPercent();
  noteChargeProgress(battery);
  noteMacOSHold(battery);
  if (loopCount % 30 == 0) logStateLine(config, battery);
  const bool calibrationActive = handleCalibration(battery, config);
  if (!calibrationActive) applyRegulation(config, battery);

  ChargeStatus status;
  status.daemonRunning = true;
  status.chargingInhibited = currentlyInhibited;
  status.calibrationActive = calibrationActive;
  if (calibrationActive) status.calibrationPhase = std::string(rawValue(calPhase));
  status.batteryPercent = battery.percent;
  status.lastUpdate = wallClockNow();
  status.heldByMacOSAt = macOSHoldPercent();
  status.limitNotHeld = !calibrationActive && config.chargeLimitEnabled && !chargeInhibitUsable && limitNotHeld();
  writeStatus(status);
  loopCount += 1;
}

void runControlLoop() {
  while (!stopRequested()) {
    runControlLoopPass();
    if (stopRequested()) return;
    waitForNextPass(kPassInterval);
  }
}
