// The limit held by the adapter alone.
#include "daemon/adapter_only_regulation.h"

#include "daemon/control_loop.h"
#include "smc/actuators.h"
#include "smc/magsafe_led.h"
#include "state/globals.h"

void applyAdapterOnlyRegulation(int64_t limit, const BatteryReading& battery) {
  if (!battery.pluggedIn && !adapterDisabled) return;
  if (battery.percent > limit) {
    if (!adapterDisabled) setAdapterEnabled(false);
  } else if (battery.percent < lowerBandEdge(limit)) {
    if (adapterDisabled) setAdapterEnabled(true);
  }
  setMagSafeLED(!adapterDisabled && battery.percent < 100);
}
