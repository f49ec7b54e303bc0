// The limit where the firmware cannot pause charging: the owner's choice of
// adapter cycling, and deference to macOS's own Charge Limit.
#include "daemon/no_inhibit_hold.h"

#include <string>

#include "daemon/adapter_only_regulation.h"
#include "platform/clock.h"
#include "smc/actuators.h"
#include "smc/magsafe_led.h"
#include "state/globals.h"
#include "store/log.h"

namespace {

// The pause watched: since when the reading has stood still, and at what.
std::optional<double> steadySince;
int64_t steadyPercent = 0;
std::optional<int64_t> heldByMacOS;
bool heldByMacOSLogged = false;
bool notHeld = false;
bool notHeldLogged = false;

std::string percentText(int64_t percent) { return std::to_string(percent) + "%"; }

}  // namespace

void noteMacOSHold(const BatteryReading& battery) {
  const bool paused = battery.pluggedIn && !adapterDisabled && !currentlyInhibited && !battery.charging &&
                      battery.percent < 100;
  if (!paused || !steadySince || battery.percent != steadyPercent) {
    steadySince.reset();
    heldByMacOS.reset();
    if (paused) steadySince = monotonicNow();
    steadyPercent = battery.percent;
    return;
  }
  if (monotonicNow() - *steadySince >= kMacOSHoldAfter) heldByMacOS = battery.percent;
}

void resetMacOSHoldWatch() {
  steadySince.reset();
  heldByMacOS.reset();
  heldByMacOSLogged = notHeld = notHeldLogged = false;
}

std::optional<int64_t> macOSHoldPercent() { return heldByMacOS; }

bool limitNotHeld() { return notHeld; }

void applyNoInhibitRegulation(const ChargeConfig& config, const BatteryReading& battery) {
  const int64_t limit = config.chargeLimitPercent;
  const std::string limitText = percentText(limit);
  notHeld = false;
  if (heldByMacOS && !heldByMacOSLogged) {
    log("Limit: held by macOS's Charge Limit at " + percentText(*heldByMacOS) + " — hestled leaves it in charge");
    heldByMacOSLogged = true;
    notHeldLogged = false;
  } else if (!heldByMacOS) {
    heldByMacOSLogged = false;
  }
  // While macOS holds the charge at or below the limit there is nothing to
  // cut: the adapter stays on and the LED shows the hold.
  if (config.adapterCycling && !(heldByMacOS && *heldByMacOS <= limit)) {
    applyAdapterOnlyRegulation(limit, battery);
    notHeldLogged = false;
    return;
  }
  if (adapterDisabled) setAdapterEnabled(true);
  if (!battery.pluggedIn) return;
  setMagSafeLED(!heldByMacOS && battery.percent < 100);
  notHeld = !heldByMacOS && battery.percent > limit;
  if (notHeld && !notHeldLogged) {
    log("Limit: nothing holds " + limitText + " — this firmware cannot pause charging and adapter cycling is off, "
        "so the adapter stays on; set macOS's Charge Limit at " + percentText(macOSChargeLimitFor(limit)) +
        " or more, or choose "
        "hestle limit " + std::to_string(limit) + " --cycle");
    notHeldLogged = true;
  }
}
