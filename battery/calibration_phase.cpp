// placeholder
#include "battery/calibration_phase.h"
std::string_view rawValue(CalibrationPhase) { return "Idle"; }
std::optional<CalibrationPhase> calibrationPhaseFromRawValue(std::string_view) { return std::nullopt; }
