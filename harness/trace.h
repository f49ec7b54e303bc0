// One record per daemon pass: what the simulated Mac and the daemon were doing ("trace.jsonl").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "state/calibration_phase.h"

struct TraceSample {
  double t = 0.0;              // virtual seconds since 1970
  int64_t pass = 0;            // the daemon's finished passes (loopCount)
  double percent = 0.0;        // the battery model's state of charge
  std::optional<int64_t> reading;  // the percent the daemon published in status.json
  bool batteryPresent = true;  // the "AppleSmartBattery" service exists (set by the runner)
  bool asleep = false;         // taken as the machine fell asleep (set by the runner)
  bool darkWake = false;       // the pass ran in a dark wake
  bool clamshell = false;      // lid closed on an external display
  bool pluggedIn = false;      // adapter physically connected
  bool charging = false;       // the battery is charging right now
  bool adapterDisabled = false;     // the daemon's flag
  bool currentlyInhibited = false;  // the daemon's flag
  bool smcAdapterDisabled = false;  // what the SMC keys say
  bool smcChargeInhibited = false;
  CalibrationPhase phase = CalibrationPhase::idle;
  uint8_t led = 0;                         // ACLC value
  std::optional<int64_t> limit;            // the settings' limit while limiting is on
  std::vector<std::pair<std::string, std::string>> keys;  // charge and adapter keys, hex
  std::optional<int64_t> heldByMacOSAt;  // the status's, where macOS's Charge Limit holds the charge
  bool limitNotHeld = false;             // the status says nothing holds the limit
};

// Reads the simulated Mac, the daemon's globals, its settings file and its
// status file now; batteryPresent is left true. `withKeys` false leaves `keys` empty.
TraceSample takeTraceSample(bool withKeys = true);

// "system", "green", "orange", or the number for any other value.
std::string ledName(uint8_t led);

// The sample as one compact JSON object (no line feed): t, pass, percent,
// reading (null when there is no status), pluggedIn, charging, adapterDisabled, currentlyInhibited, phase, led,
// limit (null when off), batteryPresent, smcChargeInhibited,
// smcAdapterDisabled, asleep, darkWake, clamshell, keys ({"CHTE": "01000000", "CHIE": "08"}),
// then heldByMacOSAt when set and limitNotHeld when true.
std::string traceLine(const TraceSample& sample);
