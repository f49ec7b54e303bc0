// The printed summary of a simulated run.
#include "harness/run_summary.h"

#include <cstdio>
#include <filesystem>

#include "battery/wear_estimate.h"
#include "harness/run_stats.h"
#include "harness/time_string.h"

static std::string fixed(double value, int decimals) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
  return buf;
}

// "always at the limit (80%)", "reading between 78% and 81% (limit 80%)";
// with several limits held, the spread around whichever was in force.
static std::string describeHolding(const RunStats& st) {
  std::string limits;
  for (const int64_t limit : st.heldLimits) limits += (limits.empty() ? "" : ", ") + std::to_string(limit) + "%";
  if (st.maxBelowLimit == 0 && st.maxAboveLimit == 0) return "always at the limit (" + limits + ")";
  if (st.heldLimits.size() == 1) {
    const int64_t limit = st.heldLimits.front();
    return "reading between " + std::to_string(limit - st.maxBelowLimit) + "% and " +
           std::to_string(limit + st.maxAboveLimit) + "% (limit " + limits + ")";
  }
  return "reading between " + std::to_string(st.maxBelowLimit) + " below and " + std::to_string(st.maxAboveLimit) +
         " above the limit (" + limits + ")";
}

// The files of a run that are there: a daemon that stops at start-up writes
// no status and reads no settings.
static std::string listFiles(const std::string& outDir) {
  std::string names;
  for (const char* name : {"daemon.log", "config.json", "status.json", "trace.jsonl", "chart.svg"}) {
    if (std::filesystem::exists(std::filesystem::path(outDir) / name)) names += std::string(" ") + name;
  }
  return names.empty() ? " none" : names;
}

static std::string share(double part, double whole) {
  return whole > 0 ? fixed(100.0 * part / whole, 0) + "%" : "0%";
}

// The run's pattern as a battery history at 30 °C: the samples where the
// charge turns (rising, falling or steady), where the charger comes or goes,
// and one every quarter of an hour at least; the charge is linear between.
static std::string describeWear(const std::vector<TraceSample>& samples) {
  std::vector<WearSample> history;
  const auto direction = [&](size_t i) {
    return i == 0 ? 0 : (samples[i].percent > samples[i - 1].percent) - (samples[i].percent < samples[i - 1].percent);
  };
  for (size_t i = 0; i < samples.size(); ++i) {
    const TraceSample& s = samples[i];
    const bool due = history.empty() || i + 1 == samples.size() || s.t - history.back().seconds >= 900.0 ||
                     s.pluggedIn != history.back().onCharger || direction(i + 1) != direction(i);
    if (due) history.push_back({s.t, s.percent, 30.0, s.pluggedIn});
  }
  const std::vector<WearSample> limitOff = withoutLimit(history);
  const auto perDay = [](const std::vector<WearSample>& h) {
    return fixed(estimateWear(WearModel::schmalstieg2014, h, 365.0).fullCycles / 365.0, 2);
  };
  return "  wear, a year of this run's pattern at 30 °C: " + perDay(history) + " full cycles a day, " +
         lossRange(history, 365.0) + " of the capacity lost\n" +
         "  the same with the limit off (100% on the charger): " + perDay(limitOff) + " full cycles a day, " +
         lossRange(limitOff, 365.0) + "\n";
}

std::string summarizeRun(const Scenario& scenario, const RunResult& result, const std::string& outDir) {
  std::vector<double> eventTimes;
  for (const auto& e : scenario.events) eventTimes.push_back(scenario.start + e.at);
  const double end = scenario.start + scenario.hours * 3600.0;
  const RunStats st = computeRunStats(result.samples, end, eventTimes);
  const auto log = readLogMessages(outDir + "/daemon.log");
  const double span = end - scenario.start;

  std::string out;
  out += "Scenario " + scenario.name + " (firmware " + scenario.firmwareName + ")";
  if (!scenario.description.empty()) out += ": " + scenario.description;
  out += "\n";
  out += "  simulated " + formatDuration(result.end - scenario.start) + " of " + formatDuration(span) + " in " +
         fixed(result.realSeconds, 2) + " s real time, " + std::to_string(st.passes) + " passes; exit status " +
         std::to_string(result.exitStatus) + "\n";
  if (!result.samples.empty()) {
    out += "  battery " + fixed(st.firstPercent, 1) + "% -> " + fixed(st.lastPercent, 1) + "% (lowest " +
           fixed(st.minPercent, 1) + "%, highest " + fixed(st.maxPercent, 1) + "%)\n";
    if (st.firstHeldAt)
      out += "  at the limit from " + formatDuration(*st.firstHeldAt) + " on: " + std::to_string(st.heldPasses) +
             " plugged-in passes, " + describeHolding(st) + "\n";
    else
      out += "  never held at a limit\n";
    std::string phases;
    for (auto p : st.phaseOrder) phases += (phases.empty() ? "" : " -> ") + std::string(rawValue(p));
    out += "  calibration: " + phases + " (" + std::to_string(st.completedCalibrations) + " completed)\n";
    out += "  adapter off " + formatDuration(st.adapterOffSeconds) + ", charging inhibited " +
           formatDuration(st.chargeInhibitedSeconds) + ", unplugged " + formatDuration(st.unpluggedSeconds) + "\n";
    out += "  LED: green " + share(st.ledSeconds.count(3) ? st.ledSeconds.at(3) : 0, span) + ", orange " +
           share(st.ledSeconds.count(4) ? st.ledSeconds.at(4) : 0, span) + ", system " +
           share(st.ledSeconds.count(0) ? st.ledSeconds.at(0) : 0, span) + "\n";
    out += describeWear(result.samples);
  }
  if (!result.sleepSpans.empty()) {
    double asleep = 0.0;
    int scheduled = 0, dark = 0;
    for (const auto& span : result.sleepSpans) {
      asleep += span.end - span.start;
      scheduled += span.scheduledWake && !span.darkWake ? 1 : 0;
      dark += span.darkWake ? 1 : 0;
    }
    out += "  asleep " + formatDuration(asleep) + " in " + std::to_string(result.sleepSpans.size()) + " spans, " +
           std::to_string(scheduled) + " ended by a wake the daemon scheduled" +
           (dark > 0 ? ", " + std::to_string(dark) + " by a dark wake" : std::string()) + "\n";
  }
  out += "  simulated-Mac faults: " + std::to_string(result.faults.size()) + "\n";
  for (const auto& fault : result.faults) out += "    " + fault + "\n";
  out += "  log: " + std::to_string(log.size()) + " lines, " +
         std::to_string(countMessagesStartingWith(log, "ACTION: ")) + " ACTION, " +
         std::to_string(countMessagesStartingWith(log, "Calibration: ")) + " Calibration, " +
         std::to_string(countMessagesStartingWith(log, "WARNING: ")) + " WARNING, " +
         std::to_string(countMessagesStartingWith(log, "ERROR: ") + countMessagesStartingWith(log, "FATAL: ")) +
         " ERROR/FATAL\n";
  out += "  live objects after the run: " + std::to_string(result.objects.cfLive) + " CF, " +
         std::to_string(result.objects.ioLive) + " IOKit\n";
  out += "  files in " + outDir + ":" + listFiles(outDir) + "\n";
  return out;
}
