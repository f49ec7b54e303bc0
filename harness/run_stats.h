// Statistics of a simulated run, for the summary and for the end-to-end tests:
// how the battery, the actuators and the LED behaved, and what the log says.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "state/calibration_phase.h"
#include "harness/trace.h"

struct RunStats {
  int64_t passes = 0;
  double firstPercent = 0.0, lastPercent = 0.0, minPercent = 0.0, maxPercent = 0.0;  // battery model
  // Holding at the limit: samples plugged in, battery present, limiting on,
  // no calibration under way, after the published reading first met the limit
  // (reset by an event, an unplugged pass, a calibration or a change of limit).
  std::optional<double> firstHeldAt;  // seconds after the first sample
  int64_t heldPasses = 0;
  int64_t maxAboveLimit = 0;          // largest reading − limit while holding
  int64_t maxBelowLimit = 0;          // largest limit − reading while holding
  std::vector<int64_t> heldLimits;    // the limits held, in the order first held
  // Calibration phases in the order they were entered, repeats collapsed,
  // idle included ("Idle", "Discharging to 15%", ...).
  std::vector<CalibrationPhase> phaseOrder;
  int completedCalibrations = 0;      // draining back followed by idle
  double adapterOffSeconds = 0.0;     // SMC keys say adapter disabled
  double chargeInhibitedSeconds = 0.0;
  double unpluggedSeconds = 0.0;
  std::map<uint8_t, double> ledSeconds;  // ACLC value -> time shown
};

// Each sample's state holds until the next sample, the last one until `end`.
// `eventTimes` (virtual seconds since 1970) reset the holding test.
RunStats computeRunStats(const std::vector<TraceSample>& samples, double end,
                         const std::vector<double>& eventTimes = {});

// Log messages (timestamps removed) of a daemon.log.
std::vector<std::string> readLogMessages(const std::string& path);

// How many messages start with `prefix`.
int64_t countMessagesStartingWith(const std::vector<std::string>& messages, const std::string& prefix);
