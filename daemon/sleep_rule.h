// What the daemon sets before the Mac sleeps, when nobody watches the battery
// for hours, and the charge rate it sees while awake to time its wakes.
#pragma once

#include <cstdint>
#include <string>

#include "battery/battery_reading.h"
#include "store/charge_config.h"

// The rule for the hours nobody watches, applied before the Mac sleeps and in
// every pass while it counts as asleep (a dark wake); returns what it did,
// for one log line. It first cancels the wake it scheduled before. The
// adapter is never left disabled (no unattended drain), except on firmware
// without a charge inhibit (or one that refuses it), where it is held off
// above L − 2 with a wake an hour later (unless macOS's own Charge Limit
// holds the charge at or below the limit), and a calibration's drain goes on
// with a wake before its end. With the limit on and no calibration running:
// at or above L − 2 charging is inhibited; below, it runs and a wake is
// scheduled for when the battery should reach L − 1. On battery no inhibit
// is left behind and a look-in wake comes at most two hours later, sooner
// below the limit. The limit off: nothing held. A battery that could not be
// read changes nothing but gets a look-in wake in 15 minutes. A calibration
// charging to 100% goes on; one draining pauses with charging inhibited.
std::string applySleepRule(const ChargeConfig& config, const BatteryReading& battery);

// Called on kIOMessageSystemWillSleep, before the acknowledgement: the rule
// on the settings and battery read now, and one "Sleep: ..." line.
void prepareForSleep();

// Every pass: the rate at which the reading climbs while charging.
void noteChargeProgress(const BatteryReading& battery);
// Forgets the rate seen (at start-up).
void resetChargeProgress();

// Seconds until the battery climbs from `from` to `target` percent, between
// 2 minutes and 12 hours: at the rate its own current ("Amperage" into
// "AppleRawMaxCapacity") gives when it charges, else at the rate seen awake,
// else at 1% a minute.
double secondsToReach(int64_t from, int64_t target, const BatteryReading& battery = {});
