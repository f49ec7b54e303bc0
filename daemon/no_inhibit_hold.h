// Holding the limit where the firmware cannot pause charging. Only the
// adapter cut is left there, and holding the limit awake with it runs the
// Mac from its battery most of the day (about 1.5 full cycles a day at a
// desk), which may wear the battery more than sitting at 100 %. So awake the
// adapter is cut only when the owner chose it ("adapterCycling"), and never
// while macOS's own Charge Limit holds the charge at or below the limit.
#pragma once

#include <cstdint>
#include <optional>

#include "battery/battery_reading.h"
#include "store/charge_config.h"

// Every pass: watches for a pause of charging that is not ours. Plugged in,
// the adapter on, no inhibit of ours, not charging and the reading steady
// below 100 for kMacOSHoldAfter: macOS's Charge Limit holds the battery.
// Charging, unplugging, an adapter cut or an inhibit ends it.
void noteMacOSHold(const BatteryReading& battery);
// Forgets what was seen (at start-up).
void resetMacOSHoldWatch();
// The reading macOS's Charge Limit holds, once noticed.
std::optional<int64_t> macOSHoldPercent();
inline constexpr double kMacOSHoldAfter = 180.0;

// The regulation on such firmware, the limit on and no calibration running:
// the adapter-only hold when the owner chose adapter cycling and macOS does
// not hold the charge at or below the limit; otherwise the adapter on, the
// LED orange while the battery can charge (not while macOS holds it). Logs once, when the reading is
// above the limit and nothing holds it, why and what the owner can do, and
// once when it notices macOS's Charge Limit holding.
void applyNoInhibitRegulation(const ChargeConfig& config, const BatteryReading& battery);
// The last pass found the reading above the limit with nothing holding it.
bool limitNotHeld();
