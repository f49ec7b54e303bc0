// The five phases of a calibration cycle and their display strings.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

enum class CalibrationPhase : uint8_t {
  idle = 0,
  discharging = 1,
  charging = 2,
  holding = 3,
  drainingBack = 4,
};

// The display string: "Idle", "Discharging to 15%", "Charging to 100%",
// "Holding at 100%", "Draining to limit".
std::string_view rawValue(CalibrationPhase phase);

// The phase whose display string is exactly `raw`, or none.
std::optional<CalibrationPhase> calibrationPhaseFromRawValue(std::string_view raw);
