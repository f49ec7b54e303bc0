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

constexpr double kShortestWake = 2 * 60.0;
constexpr double kLongestWake = 12 * 3600.0;
// With nothing else to go by, a charge is taken as fast as any Mac's: 1% a minute.
constexpr double kFastPercentPerSecond = 1.0 / 60.0;
// On battery asleep, the longest the daemon leaves a charger connected
// meanwhile unseen.
constexpr double kLookIn = 2 * 3600.0;
// A battery that could not be read is looked at again this soon.
constexpr double kUnreadLookIn = 15 * 60.0;
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

std::string wakeIn(double seconds, const char* what = "wake") {
  if (!scheduleWakeIn(seconds)) return "no wake could be scheduled";
  return std::string(what) + " scheduled in " + std::to_string(std::llround(seconds / 60.0)) + " min";
}

int64_t belowLimit(int64_t limit) { return limit > std::numeric_limits<int64_t>::min() ? limit - 1 : limit; }

// Percent per second the battery loses, from its own current when it reports
// one; 0 when it does not say.
double drainPerSecond(const BatteryReading& battery) {
  if (battery.amperage >= 0 || battery.rawCapacity <= 0) return 0.0;
  return -static_cast<double>(battery.amperage) * 100.0 / static_cast<double>(battery.rawCapacity) / 3600.0;
}

// A calibration draining the battery. Where charging can be inhibited it
// pauses with the adapter on and charging inhibited; where it cannot, the
// adapter on would charge toward 100%, so the drain goes on asleep (slowly)
// with a wake before it can reach its end. Nothing turns a pause into a charge.
std::string prepareDrain(const ChargeConfig& config, const BatteryReading& battery) {
  const int64_t floor = calPhase == CalibrationPhase::discharging ? calDischargeThreshold : config.chargeLimitPercent;
  if (chargeInhibitUsable && (currentlyInhibited || setChargingEnabled(false))) {
    if (adapterDisabled) setAdapterEnabled(true);
    return "calibration paused at " + percentText(battery.percent) + " — adapter on, charging inhibited until the wake";
  }
  if (battery.percent > floor && (adapterDisabled || setAdapterEnabled(false))) {
    const double rate = drainPerSecond(battery);
    const double left = static_cast<double>(battery.percent - floor) - 1.0;
    const double seconds = rate > 0.0 ? std::clamp(left / rate, kShortestWake, kLookIn) : kLookIn;
    return "calibration drain goes on at " + percentText(battery.percent) + " with the adapter off — " + wakeIn(seconds);
  }
  if (adapterDisabled) setAdapterEnabled(true);
  return "calibration at " + percentText(battery.percent) + " — adapter on until the wake";
}

std::string prepareLimit(int64_t percent, int64_t limit);

std::string prepareCalibration(const ChargeConfig& config, const BatteryReading& battery) {
  // Drained back to the limit: held as the limit is until the pass that completes it.
  if (calPhase == CalibrationPhase::drainingBack && battery.percent <= config.chargeLimitPercent)
    return prepareLimit(battery.percent, config.chargeLimitPercent);
  if (calPhase == CalibrationPhase::discharging || calPhase == CalibrationPhase::drainingBack)
    return prepareDrain(config, battery);
  if (adapterDisabled) setAdapterEnabled(true);
  return "calibration charging to 100% goes on at " + percentText(battery.percent);
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
  // Timed from the battery's own current now that it charges, when it says.
  return "charging at " + where + " — " + wakeIn(secondsToReach(percent, belowLimit(limit), getBatteryPercent()));
}

// On battery: nothing to hold, and no inhibit left behind, or a charger
// connected asleep would not charge. A look-in wake finds one in time to stop
// the charge near the limit (at 1% a minute), at most two hours apart.
std::string prepareOnBattery(int64_t percent, int64_t limit) {
  if (currentlyInhibited) setChargingEnabled(true);
  const double toLimit = (static_cast<double>(belowLimit(limit)) - static_cast<double>(percent)) / kFastPercentPerSecond;
  const double seconds = percent < belowLimit(limit) ? std::clamp(toLimit, kShortestWake, kLookIn) : kLookIn;
  return "on battery at " + percentText(percent) + " — " + wakeIn(seconds, "look-in wake");
}

}  // namespace

std::string applySleepRule(const ChargeConfig& config, const BatteryReading& battery) {
  cancelScheduledWake();
  if (battery.failed) return "battery unreadable, nothing changed — " + wakeIn(kUnreadLookIn, "look-in wake");
  if (calPhase != CalibrationPhase::idle && config.calibrationEnabled && config.chargeLimitEnabled)
    return prepareCalibration(config, battery);
  if (!config.chargeLimitEnabled) {
    if (adapterDisabled) setAdapterEnabled(true);
    if (currentlyInhibited) setChargingEnabled(true);
    return "limit off — nothing to hold";
  }
  if (!battery.pluggedIn && !adapterDisabled) return prepareOnBattery(battery.percent, config.chargeLimitPercent);
  return prepareLimit(battery.percent, config.chargeLimitPercent);
}

void prepareForSleep() { log("Sleep: " + applySleepRule(readConfig(), getBatteryPercent())); }

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

double secondsToReach(int64_t from, int64_t target, const BatteryReading& battery) {
  double perSecond = kFastPercentPerSecond;
  if (battery.amperage > 0 && battery.rawCapacity > 0) {
    perSecond = static_cast<double>(battery.amperage) * 100.0 / static_cast<double>(battery.rawCapacity) / 3600.0;
  } else if (firstTick && lastTick && lastTick->t > firstTick->t && lastTick->percent > firstTick->percent) {
    perSecond = static_cast<double>(lastTick->percent - firstTick->percent) / (lastTick->t - firstTick->t);
  }
  const double seconds = (static_cast<double>(target) - static_cast<double>(from)) / perSecond;
  return std::clamp(seconds, kShortestWake, kLongestWake);
}
