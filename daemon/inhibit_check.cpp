// The charge inhibit judged usable or not by repeated evidence, and tried
// again after the controller refused it.
#include "daemon/inhibit_check.h"

#include <cstdint>
#include <string>

#include "platform/clock.h"
#include "smc/actuators.h"
#include "smc/smc_client.h"
#include "state/globals.h"
#include "store/log.h"

namespace {

// Refused inhibit writes in a row (one a pass) that make the daemon give up on it.
constexpr int64_t kRefusalRun = 3;
constexpr double kRetryEvery = 3600.0;
double nextTry = 0.0;  // monotonic

std::string inhibitKeys() { return useTahoe ? "CHTE" : "CH0B/CH0C"; }

}  // namespace

void checkChargeInhibitAtStartUp() {
  nextTry = monotonicNow() + kRetryEvery;
  if (!chargeInhibitUsable || setChargingEnabled(true) || retryChargingEnabled(true)) return;
  chargeInhibitRefused = true;
  markChargeInhibitUnusable(inhibitKeys() + " refused its first two writes");
}

void judgeChargeInhibit(bool afterSleep) {
  if (chargeInhibitUsable) {
    if (inhibitRefusals < kRefusalRun) return;
    chargeInhibitRefused = true;
    nextTry = monotonicNow() + kRetryEvery;
    markChargeInhibitUnusable(inhibitKeys() + " refused " + std::to_string(inhibitRefusals) + " writes in a row");
    inhibitRefusals = 0;
    return;
  }
  if (!chargeInhibitRefused || (!afterSleep && monotonicNow() < nextTry)) return;
  nextTry = monotonicNow() + kRetryEvery;
  // Charging allowed is what the adapter-only hold has anyway.
  chargeInhibitUsable = true;
  if (!retryChargingEnabled(true)) {
    chargeInhibitUsable = false;
    return;
  }
  chargeInhibitRefused = false;
  log("Firmware: " + inhibitKeys() + " takes writes again — holding the limit with the charge inhibit");
}
