// The picture of a run ("chart.svg"): battery percent over time with the limit,
// calibration phases, sleep spans, adapter, charging and LED states. Plain SVG, written by hand.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "harness/trace.h"

struct ChartMarker {
  double t = 0.0;      // virtual seconds since 1970
  std::string label;   // "unplug", "SIGTERM", ...
};

struct ChartInfo {
  std::string title;               // the scenario's name
  std::string subtitle;            // firmware, length, outcome
  std::string description;         // the scenario's description, may be empty
  double start = 0.0;              // left edge, virtual seconds since 1970
  double end = 0.0;                // right edge
  std::vector<ChartMarker> markers;
  std::optional<double> stoppedAt = std::nullopt;  // the daemon stopped before `end`: nothing drawn after
};

// A complete SVG document. The percent line is thinned to a few points per
// pixel column (first, lowest, highest, last), so a week's run stays small;
// the state rows and phase bands are drawn as runs of equal state. Each
// sample's state holds until the next sample, the last one until `end` (or
// `stoppedAt`). A row that changes on pass after pass, faster than a pixel
// shows, is hatched and labelled as switching every pass. Event labels take
// one of two lines above the plot and are left out (the marker stays, with
// the label as its tooltip) where neither has room. The legend shows only
// what the run used; without a single pass the plot says so.
std::string renderChart(const std::vector<TraceSample>& samples, const ChartInfo& info);
