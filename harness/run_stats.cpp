// Statistics over a run's trace and log.
#include "harness/run_stats.h"

#include <algorithm>
#include <fstream>
#include <sstream>

RunStats computeRunStats(const std::vector<TraceSample>& samples, double end, const std::vector<double>& eventTimes) {
  RunStats st;
  if (samples.empty()) return st;
  st.firstPercent = samples.front().percent;
  st.lastPercent = samples.back().percent;
  st.minPercent = st.maxPercent = samples.front().percent;
  bool holding = false;
  std::optional<int64_t> previousLimit;
  double previousT = samples.front().t;
  for (size_t i = 0; i < samples.size(); ++i) {
    const TraceSample& s = samples[i];
    st.passes = std::max(st.passes, s.pass);
    st.minPercent = std::min(st.minPercent, s.percent);
    st.maxPercent = std::max(st.maxPercent, s.percent);
    const double until = i + 1 < samples.size() ? samples[i + 1].t : std::max(end, s.t);
    const double span = std::max(0.0, until - s.t);
    if (s.smcAdapterDisabled) st.adapterOffSeconds += span;
    if (s.smcChargeInhibited) st.chargeInhibitedSeconds += span;
    if (!s.pluggedIn) st.unpluggedSeconds += span;
    st.ledSeconds[s.led] += span;

    if (st.phaseOrder.empty() || st.phaseOrder.back() != s.phase) {
      if (!st.phaseOrder.empty() && st.phaseOrder.back() == CalibrationPhase::drainingBack &&
          s.phase == CalibrationPhase::idle)
        ++st.completedCalibrations;
      st.phaseOrder.push_back(s.phase);
    }

    const bool eventBetween = std::any_of(eventTimes.begin(), eventTimes.end(), [&](double e) {
      return e > previousT && e <= s.t;
    });
    const bool eligible = s.pluggedIn && s.batteryPresent && s.limit && s.reading &&
                          s.phase == CalibrationPhase::idle && s.limit == previousLimit && !eventBetween;
    if (!eligible) holding = false;
    if (eligible && !holding && *s.reading == *s.limit) {
      holding = true;
      if (!st.firstHeldAt) st.firstHeldAt = s.t - samples.front().t;
    }
    if (holding) {
      ++st.heldPasses;
      if (std::find(st.heldLimits.begin(), st.heldLimits.end(), *s.limit) == st.heldLimits.end())
        st.heldLimits.push_back(*s.limit);
      st.maxAboveLimit = std::max(st.maxAboveLimit, *s.reading - *s.limit);
      st.maxBelowLimit = std::max(st.maxBelowLimit, *s.limit - *s.reading);
    }
    previousLimit = s.limit;
    previousT = s.t;
  }
  return st;
}

std::vector<std::string> readLogMessages(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> out;
  std::string line;
  while (std::getline(in, line)) {
    // "[yyyy-MM-dd HH:mm:ss] " is 22 bytes.
    if (line.size() >= 22 && line[0] == '[' && line[20] == ']' && line[21] == ' ') out.push_back(line.substr(22));
    else out.push_back(line);
  }
  return out;
}

int64_t countMessagesStartingWith(const std::vector<std::string>& messages, const std::string& prefix) {
  return std::count_if(messages.begin(), messages.end(),
                       [&](const std::string& m) { return m.rfind(prefix, 0) == 0; });
}
