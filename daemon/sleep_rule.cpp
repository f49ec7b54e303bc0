// Before the Mac sleeps: the rule for the hours nobody watches, and the charge
// rate that times the wake when the battery is still charging toward the limit.
#include "daemon/sleep_rule.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "daemon/control_loop.h"
#include "daemon/no_inhibit_hold.h"
#include "daemon/system_power.h"
#include "platform/clock.h"
#include "smc/actuators.h"
#include "smc/magsafe_led.h"
#include "state/globals.h"
#include "store/charge_config.h"
#include "store/log.h"

namespace {

constexpr double kShortestWake = 5 * 60.0;
constexpr double kLongestWake = 12 * 3600.0;
constexpr double kWakeWithoutEstimate = 3600.0;
// Firmware without a charge inhibit: how long the adapter stays off asleep
// before the daemon looks again (the battery loses about 1% an hour asleep).
constexpr double kDrainCheck = 3600.0;

// The reading's climbs while charging: the first and the latest of the
// current stretch, on the monotonic clock.
struct Tick {
  double t = 0.0;
  int64_t percent = 0;
};
std::optional<Tick> firstTick, lastTick;
std::optional<int64_t> previousPercent;

std::string percentText(int64_t percent) { return std::to_string(percent) + "%"; }

std::string wakeIn(double seconds) {
  if (!scheduleWakeIn(seconds)) return "no wake could be scheduled";
  return "wake scheduled in " + std::to_string(std::llround(seconds / 60.0)) + " min";
}

std::string prepareCalibration(int64_t percent) {
  if (adapterDisabled) setAdapterEnabled(true);
  if (calPhase == CalibrationPhase::discharging || calPhase == CalibrationPhase::drainingBack)
    return "calibration paused at " + percentText(percent) + " — adapter on until the wake";
  return "calibration charging to 100% goes on at " + percentText(percent);
}

// The limit on, plugged in, no calibration running.
std::string prepareLimit(int64_t percent, int64_t limit) {
  const std::string where = percentText(percent) + " (limit " + percentText(limit) + ")";
  const bool nearLimit = percent >= lowerBandEdge(limit);
  const std::optional<int64_t> heldByMacOS = macOSHoldPercent();
  if (!chargeInhibitUsable && heldByMacOS && *heldByMacOS <= limit) {
    // macOS's own Charge Limit holds the charge asleep too: leave it in charge.
    if (adapterDisabled) setAdapterEnabled(true);
    setMagSafeLED(false);
    return "held by macOS's Charge Limit at " + percentText(*heldByMacOS) + " (limit " + percentText(limit) + ")";
  }
  if (!chargeInhibitUsable && percent > lowerBandEdge(limit)) {
    // No inhibit: charging on would run to 100%, so the adapter stays off and
    // a wake an hour later looks again. The drain is attended, not open-ended.
    if (!adapterDisabled) setAdapterEnabled(false);
    if (adapterDisabled) {
      setMagSafeLED(false);
      return "adapter off at " + where + ", no charge inhibit on this firmware — " + wakeIn(kDrainCheck);
    }
  }
  if (adapterDisabled) setAdapterEnabled(true);
  if (nearLimit && chargeInhibitUsable && !currentlyInhibited) setChargingEnabled(false);
  if (!nearLimit && currentlyInhibited) setChargingEnabled(true);
  if (currentlyInhibited) {
    setMagSafeLED(false);
    return "adapter on, charging inhibited at " + where;
  }
  setMagSafeLED(true);
  const int64_t target = limit > std::numeric_limits<int64_t>::min() ? limit - 1 : limit;
  return "charging at " + where + " — " + wakeIn(secondsToReach(percent, target));
}

}  // namespace

void prepareForSleep() {
  const ChargeConfig config = readConfig();
  const BatteryReading battery = getBatteryPercent();
  cancelScheduledWake();
  std::string what;
  if (calPhase != CalibrationPhase::idle && config.calibrationEnabled && config.chargeLimitEnabled) {
    what = prepareCalibration(battery.percent);
  } else if (!config.chargeLimitEnabled) {
    if (adapterDisabled) setAdapterEnabled(true);
    what = "limit off — nothing to hold";
  } else if (!battery.pluggedIn && !adapterDisabled) {
    what = "on battery at " + percentText(battery.percent) + " — nothing to hold";
  } else {
    what = prepareLimit(battery.percent, config.chargeLimitPercent);
  }
  log("Sleep: " + what);
}

void noteChargeProgress(const BatteryReading& battery) {
  const bool climbing = previousPercent && battery.percent > *previousPercent;
  if (!(battery.pluggedIn && battery.charging) || (previousPercent && battery.percent < *previousPercent)) {
    firstTick.reset();
    lastTick.reset();
  } else if (climbing) {
    const Tick tick{monotonicNow(), battery.percent};
    if (!firstTick) firstTick = tick;
    else lastTick = tick;
  }
  previousPercent = battery.percent;
}

void resetChargeProgress() {
  firstTick.reset();
  lastTick.reset();
  previousPercent.reset();
}

double secondsToReach(int64_t from, int64_t target) {
  if (!firstTick || !lastTick || lastTick->t <= firstTick->t || lastTick->percent <= firstTick->percent)
    return kWakeWithoutEstimate;
  const double perSecond =
      static_cast<double>(lastTick->percent - firstTick->percent) / (lastTick->t - firstTick->t);
  const double seconds = (static_cast<double>(target) - static_cast<double>(from)) / perSecond;
  return std::clamp(seconds, kShortestWake, kLongestWake);
}
