// The daemon's published state, "status.json".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct ChargeStatus {
  bool daemonRunning = false;
  bool chargingInhibited = false;
  bool calibrationActive = false;
  std::optional<std::string> calibrationPhase;  // absent: member left out
  int64_t batteryPercent = 0;
  double lastUpdate = 0.0;
  // Awake with the lid closed on an external display: the adapter stays on
  // and a calibration waits for the lid to open. Written only when true.
  bool clamshellMode = false;
  // The reading at which macOS's own Charge Limit holds the battery (plugged
  // in, adapter on, not charging, steady for minutes), once noticed.
  std::optional<int64_t> heldByMacOSAt = std::nullopt;
  // The limit is on but nothing holds it: the firmware cannot pause charging
  // and the owner did not choose adapter cycling.
  bool limitNotHeld = false;
  bool operator==(const ChargeStatus&) const = default;
};

// The compact JSON form, members in declaration order, the phase and
// "heldByMacOSAt" left out when absent, "limitNotHeld" when false; none when
// the time is not finite.
std::optional<std::string> encodeChargeStatus(const ChargeStatus& status);
// "calibrationPhase" may be missing or null, "clamshellMode" missing (false),
// "heldByMacOSAt" and "limitNotHeld" missing; everything else is required,
// by the same rules as the settings.
std::optional<ChargeStatus> decodeChargeStatus(std::string_view json);

// Replaces statusPath atomically with mode 0644; failures are silent.
void writeStatus(const ChargeStatus& status);
