// What the daemon sets before the Mac sleeps, when nobody watches the battery
// for hours, and the charge rate it sees while awake to time its wakes.
#pragma once

#include <cstdint>

#include "battery/battery_reading.h"

// Called on kIOMessageSystemWillSleep, before the acknowledgement. The
// adapter is never left disabled (no unattended drain), except on firmware
// without a charge inhibit, where it is held off above L − 2 with a wake an
// hour later, unless macOS's own Charge Limit holds the charge at or below
// the limit. With the limit on and no calibration running: at or above
// L − 2 charging is inhibited; below, it runs and a wake is scheduled for
// when the battery should reach L − 1. A calibration charging to 100% goes
// on; one draining pauses with the adapter on. Logs one "Sleep: ..." line.
void prepareForSleep();

// Every pass: the rate at which the reading climbs while charging.
void noteChargeProgress(const BatteryReading& battery);
// Forgets the rate seen (at start-up).
void resetChargeProgress();

// Seconds until the battery climbs from `from` to `target` percent at the
// rate seen, between 5 minutes and 12 hours; an hour without an estimate.
double secondsToReach(int64_t from, int64_t target);
