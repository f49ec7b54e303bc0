// Display strings of the calibration phases, both ways.
#include "state/calibration_phase.h"

#include <array>

namespace {

struct PhaseName {
  CalibrationPhase phase;
  std::string_view raw;
};

constexpr std::array<PhaseName, 5> phaseNames{{
    {CalibrationPhase::idle, "Idle"},
    {CalibrationPhase::discharging, "Discharging to 15%"},
    {CalibrationPhase::charging, "Charging to 100%"},
    {CalibrationPhase::holding, "Holding at 100%"},
    {CalibrationPhase::drainingBack, "Draining to limit"},
}};

}  // namespace

std::string_view rawValue(CalibrationPhase phase) {
  for (const auto& entry : phaseNames)
    if (entry.phase == phase) return entry.raw;
  // Only a value forced in from outside the enumeration gets here; show it
  // as no cycle rather than read past the table.
  return "Idle";
}

std::optional<CalibrationPhase> calibrationPhaseFromRawValue(std::string_view raw) {
  for (const auto& entry : phaseNames)
    if (entry.raw == raw) return entry.phase;
  return std::nullopt;
}
