// The calibration cycle: one step per control-loop pass.
#pragma once

#include "battery/battery_reading.h"
#include "battery/calibration_phase.h"
#include "store/charge_config.h"

// Runs one step; true while the calibration controls the charge. On
// completion sets config.lastCalibrationTimestamp and stores it.
bool handleCalibration(BatteryReading battery, ChargeConfig& config);
