// A calibration under way survives a restart of the daemon (an OS update's
// reboot, an upgrade): its phase and the hold's remaining time are kept in
// the daemon's own file calibrationStatePath ("calibration.json"), replaced
// atomically like the status file and read as carefully as the settings.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "state/calibration_phase.h"

struct CalibrationState {
  CalibrationPhase phase = CalibrationPhase::idle;
  double holdRemainingSeconds = 0.0;  // while holding; 0 otherwise
  bool operator==(const CalibrationState&) const = default;
};

// {"phase":"Holding at 100%","holdRemainingSeconds":3540}; none when the
// time is not finite.
std::optional<std::string> encodeCalibrationState(const CalibrationState& state);
// Both members required: a phase's display string, a finite number of
// seconds from 0 to the hold's length (calHoldMinutes); none otherwise.
std::optional<CalibrationState> decodeCalibrationState(std::string_view json);

// After each step of the cycle: writes the record (mode 0644) when the phase
// or the hold's remaining whole minutes changed since the last one, so a
// resumed hold is right to the minute.
void keepCalibrationState();

// At start-up: a record of a cycle under way puts calPhase back (and the
// hold's end, on the monotonic clock) and logs
// "Calibration: resuming — {phase}" (", {minutes} minutes of the hold left"
// while holding). A missing, unreadable or malformed record: nothing.
void resumeCalibration();
