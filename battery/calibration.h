// The calibration cycle: one step per control-loop pass.
#pragma once

#include <cstdint>

#include "battery/battery_reading.h"
#include "state/calibration_phase.h"
#include "store/charge_config.h"

// Runs one step; true while the calibration controls the charge. On
// completion sets config.lastCalibrationTimestamp and records it in the
// settings file as it is then (recordCalibrationTime).
//
// A cycle runs only while config.calibrationEnabled and
// config.chargeLimitEnabled are both set; switching either off cancels it
// (logged once, actuators and LED left as they are). It starts, with the
// adapter connected, when the last calibration is never (0.0) or at least
// calibrationIntervalDays × 86400 s ago, then: discharges with the adapter
// off to calDischargeThreshold, charges to 100%, holds for calHoldMinutes,
// drains back to chargeLimitPercent. The wall clock is read once per call,
// after the enable test; the hold is timed on the monotonic clock
// (calHoldEndTime is a monotonicNow() time), so a clock set back or forward
// leaves it 120 minutes. A lastCalibrationTimestamp ahead of the wall clock
// (a clock set back) is not due, and the file is left as it is: the clock
// set right again finds it as it was. After every call the phase is kept for a restart
// (keepCalibrationState). Uses the globals calPhase, calHoldEndTime,
// calDischargeThreshold, calHoldMinutes, adapterDisabled, currentlyInhibited.
//
// Absurd inputs never stop the daemon: every double turned into a whole
// number for a log line (days since the last calibration, minutes of the
// hold, minutes remaining) goes through truncateToInt64(). A timestamp that
// is not a number counts as never calibrated, and a hold end that is not a
// number ends the hold.
bool handleCalibration(BatteryReading battery, ChargeConfig& config);

// `value` truncated toward zero; NaN gives 0, values beyond the signed 64-bit
// range give INT64_MIN or INT64_MAX (no undefined conversion).
int64_t truncateToInt64(double value);
