// The daemon's own record of a calibration under way, for a restart.
#include "battery/calibration_state.h"

#include <cmath>
#include <cstdint>
#include <unistd.h>

#include "platform/clock.h"
#include "state/globals.h"
#include "store/json_members.h"
#include "store/log.h"
#include "store/safe_file.h"

namespace {

constexpr size_t kMaxStateBytes = 4096;
constexpr mode_t kStateMode = 0644;  // the daemon's alone, like the status

// What the file holds now: phase and the hold's remaining whole minutes.
CalibrationPhase savedPhase = CalibrationPhase::idle;
int64_t savedMinutes = 0;

double holdRemaining() {
  if (calPhase != CalibrationPhase::holding) return 0.0;
  const double left = calHoldEndTime - monotonicNow();
  return left > 0.0 ? left : 0.0;
}

int64_t wholeMinutes(double seconds) { return static_cast<int64_t>(std::ceil(seconds / 60.0)); }

double holdLength() { return calHoldMinutes > 0.0 ? calHoldMinutes * 60.0 : 0.0; }

}  // namespace

std::optional<std::string> encodeCalibrationState(const CalibrationState& state) {
  if (!std::isfinite(state.holdRemainingSeconds)) return std::nullopt;
  std::string out = "{\"phase\":\"";
  out += rawValue(state.phase);
  out += "\",\"holdRemainingSeconds\":";
  appendJsonNumber(out, state.holdRemainingSeconds);
  out += '}';
  return out;
}

std::optional<CalibrationState> decodeCalibrationState(std::string_view json) {
  const auto members = readJsonMembers(json, {"phase", "holdRemainingSeconds"});
  if (!members) return std::nullopt;
  const auto phase = members->find("phase");
  const auto remaining = jsonNumber(*members, "holdRemainingSeconds");
  if (phase == members->end() || phase->second.kind != JsonMember::Kind::string || !remaining) return std::nullopt;
  const auto parsed = calibrationPhaseFromRawValue(phase->second.string);
  if (!parsed || !(*remaining >= 0.0) || *remaining > holdLength()) return std::nullopt;
  return CalibrationState{*parsed, *remaining};
}

void keepCalibrationState() {
  const CalibrationState state{calPhase, holdRemaining()};
  const int64_t minutes = wholeMinutes(state.holdRemainingSeconds);
  if (state.phase == savedPhase && minutes == savedMinutes) return;
  savedPhase = state.phase;
  savedMinutes = minutes;
  if (const auto json = encodeCalibrationState(state)) replaceFileAtomically(calibrationStatePath, *json, kStateMode);
}

void resumeCalibration() {
  savedPhase = CalibrationPhase::idle;
  savedMinutes = 0;
  // Only the daemon writes the record: one another user could have written
  // (theirs, writable by others, a second name) is not believed.
  const auto bytes = readOwnedFile(calibrationStatePath, kMaxStateBytes, geteuid());
  if (!bytes) return;
  const auto state = decodeCalibrationState(*bytes);
  if (!state || state->phase == CalibrationPhase::idle) return;
  calPhase = state->phase;
  std::string line = "Calibration: resuming — " + std::string(rawValue(calPhase));
  if (calPhase == CalibrationPhase::holding) {
    calHoldEndTime = monotonicNow() + state->holdRemainingSeconds;
    line += ", " + std::to_string(wholeMinutes(state->holdRemainingSeconds)) + " minutes of the hold left";
  }
  savedPhase = calPhase;
  savedMinutes = wholeMinutes(holdRemaining());
  log(line);
}
