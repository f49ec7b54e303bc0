// Holding the limit on firmware whose charge inhibit cannot be used: the
// adapter alone, with a hysteresis of its own.
#pragma once

#include <cstdint>

#include "battery/battery_reading.h"

// Plugged in (or with the adapter disabled): the adapter goes off when the
// reading rises above `limit` and on again when it falls below limit − 2, the
// thresholds of the regulation table, so the battery swings between L − 3 and
// L + 1 with a few dozen switches a day instead of one every other pass.
// Each switch shows in the actuator's own line. Unplugged: nothing. The LED
// shows what the battery does: orange while it charges, green otherwise.
void applyAdapterOnlyRegulation(int64_t limit, const BatteryReading& battery);
