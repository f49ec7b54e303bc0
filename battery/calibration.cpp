// The calibration cycle's state machine.
#include "battery/calibration.h"

#include <cmath>
#include <limits>
#include <string>

#include "battery/calibration_state.h"
#include "platform/clock.h"
#include "smc/actuators.h"
#include "smc/magsafe_led.h"
#include "state/globals.h"
#include "store/config_rewrite.h"
#include "store/log.h"

namespace {

constexpr double kSecondsPerDay = 86400.0;

// Adapter off, charging inhibited, LED green; each actuator only while its
// flag shows it is not yet so, which retries a write that failed.
void drainBattery() {
  if (!adapterDisabled) setAdapterEnabled(false);
  if (!currentlyInhibited) setChargingEnabled(false);
  setMagSafeLED(false);
}

// Adapter on, charging allowed, LED orange; retried like drainBattery().
void chargeBattery() {
  if (adapterDisabled) setAdapterEnabled(true);
  if (currentlyInhibited) setChargingEnabled(true);
  setMagSafeLED(true);
}

std::string describeLastCalibration(double lastTimestamp, double elapsed) {
  if (lastTimestamp == 0.0 || std::isnan(lastTimestamp)) return "never";
  return std::to_string(truncateToInt64(elapsed / kSecondsPerDay)) + " days ago";
}

// The start test of an idle cycle; false when it stays idle.
bool startIfDue(BatteryReading battery, const ChargeConfig& config, double now) {
  double last = config.lastCalibrationTimestamp;
  double elapsed = now - last;
  double interval = static_cast<double>(config.calibrationIntervalDays) * kSecondsPerDay;
  bool never = last == 0.0 || std::isnan(last);
  // A time ahead of the clock (one set back) is not due until the clock
  // passes it again; taking it as now would start a cycle nobody asked for
  // once the clock is set right.
  const bool ahead = last > now;
  bool due = never || (!ahead && elapsed >= interval);
  if (!due || !battery.pluggedIn) return false;
  log("Calibration: STARTING — last calibration was " + describeLastCalibration(last, elapsed));
  calPhase = CalibrationPhase::discharging;
  return true;
}

void discharge(BatteryReading battery) {
  if (battery.percent <= calDischargeThreshold) {
    log("Calibration: Reached " + std::to_string(battery.percent) + "% <= " + std::to_string(calDischargeThreshold) +
        "% — switching to charge phase");
    setAdapterEnabled(true);
    setChargingEnabled(true);
    setMagSafeLED(true);
    calPhase = CalibrationPhase::charging;
    return;
  }
  drainBattery();
}

// The hold is timed on the monotonic clock: setting the wall clock neither
// stretches nor cuts it, and it runs on while the Mac sleeps.
void charge(BatteryReading battery, double monotonic) {
  if (battery.percent >= 100) {
    log("Calibration: Reached 100% — holding for " + std::to_string(truncateToInt64(calHoldMinutes)) +
        " minutes");
    calHoldEndTime = monotonic + calHoldMinutes * 60.0;
    calPhase = CalibrationPhase::holding;
    return;
  }
  chargeBattery();
}

void hold(const ChargeConfig& config, double monotonic) {
  // Written as "not after now" so that an end time that is not a number
  // ends the hold instead of holding for ever.
  if (!(calHoldEndTime > monotonic)) {
    log("Calibration: Hold complete — draining back to " + std::to_string(config.chargeLimitPercent) + "%");
    setAdapterEnabled(false);
    setChargingEnabled(false);
    calPhase = CalibrationPhase::drainingBack;
    return;
  }
  int64_t remaining = truncateToInt64((calHoldEndTime - monotonic) / 60.0);
  if (remaining >= 1 && remaining % 10 == 0)
    log("Calibration: Holding at 100%, " + std::to_string(remaining) + " minutes remaining");
  chargeBattery();
}

void drainBack(BatteryReading battery, ChargeConfig& config, double now) {
  if (battery.percent > config.chargeLimitPercent) {
    drainBattery();
    return;
  }
  log("Calibration: COMPLETE — reached " + std::to_string(battery.percent) + "% (target " +
      std::to_string(config.chargeLimitPercent) + "%)");
  setAdapterEnabled(true);
  setChargingEnabled(false);
  setMagSafeLED(false);
  config.lastCalibrationTimestamp = now;
  recordCalibrationTime(now);
  calPhase = CalibrationPhase::idle;
}

}  // namespace

int64_t truncateToInt64(double value) {
  if (std::isnan(value)) return 0;
  if (value >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
  if (value < -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(value);
}

namespace {

bool stepCalibration(BatteryReading battery, ChargeConfig& config) {
  if (!(config.calibrationEnabled && config.chargeLimitEnabled)) {
    if (calPhase != CalibrationPhase::idle) {
      log("Calibration: config changed, cancelling");
      calPhase = CalibrationPhase::idle;
    }
    return false;
  }
  double now = wallClockNow();
  double monotonic = monotonicNow();
  switch (calPhase) {
    case CalibrationPhase::idle:
      if (!startIfDue(battery, config, now)) return false;
      discharge(battery);
      return true;
    case CalibrationPhase::discharging:
      discharge(battery);
      return true;
    case CalibrationPhase::charging:
      charge(battery, monotonic);
      return true;
    case CalibrationPhase::holding:
      hold(config, monotonic);
      return true;
    case CalibrationPhase::drainingBack:
      drainBack(battery, config, now);
      return true;
  }
  // A phase outside the enumeration: forget it rather than act on it.
  calPhase = CalibrationPhase::idle;
  return false;
}

}  // namespace

bool handleCalibration(BatteryReading battery, ChargeConfig& config) {
  const bool active = stepCalibration(battery, config);
  keepCalibrationState();
  return active;
}
