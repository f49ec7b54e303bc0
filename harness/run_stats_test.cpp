// Tests of run statistics: holding at the limit, phase order, time accounting, log counts.
#include "harness/run_stats.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

constexpr double kStart = 1796417610.0;

struct Step {
  int64_t reading;
  bool plugged = true;
  CalibrationPhase phase = CalibrationPhase::idle;
  std::optional<int64_t> limit = 80;
};

std::vector<TraceSample> samplesOf(const std::vector<Step>& steps) {
  std::vector<TraceSample> out;
  for (size_t i = 0; i < steps.size(); ++i) {
    TraceSample s;
    s.t = kStart + 10.0 * static_cast<double>(i);
    s.pass = static_cast<int64_t>(i) + 1;
    s.percent = static_cast<double>(steps[i].reading) + 0.5;
    s.reading = steps[i].reading;
    s.pluggedIn = steps[i].plugged;
    s.phase = steps[i].phase;
    s.limit = steps[i].limit;
    s.led = steps[i].plugged ? 3 : 0;
    s.smcChargeInhibited = steps[i].reading >= 80;
    out.push_back(s);
  }
  return out;
}

}  // namespace

TEST(RunStatsTest, HoldingStartsAtTheLimitAndIsResetByUnplugging) {
  // 83 82 81 80 | 79 78 77 | unplugged 70 | plugged 60 61 (below, not yet held) 80 81
  const auto samples = samplesOf({{83}, {82}, {81}, {80}, {79}, {78}, {77}, {70, false}, {60}, {61}, {80}, {81}});
  const RunStats st = computeRunStats(samples, kStart + 120.0);
  ASSERT_TRUE(st.firstHeldAt);
  EXPECT_EQ(*st.firstHeldAt, 30.0);
  EXPECT_EQ(st.heldPasses, 4 + 2);
  EXPECT_EQ(st.maxBelowLimit, 3);
  EXPECT_EQ(st.maxAboveLimit, 1);
  EXPECT_EQ(st.passes, 12);
  EXPECT_DOUBLE_EQ(st.minPercent, 60.5);
  EXPECT_DOUBLE_EQ(st.maxPercent, 83.5);
  EXPECT_DOUBLE_EQ(st.unpluggedSeconds, 10.0);
  EXPECT_DOUBLE_EQ(st.ledSeconds.at(0), 10.0);
  EXPECT_DOUBLE_EQ(st.ledSeconds.at(3), 110.0);
  EXPECT_DOUBLE_EQ(st.chargeInhibitedSeconds, 4 * 10.0 + 10.0 + 10.0);  // the last sample lasts until the end
}

TEST(RunStatsTest, EventsCalibrationAndANewLimitResetHolding) {
  // Held at 80, an event at pass 3 drops the battery to 70: not held again
  // until 80. A calibration and a new limit interrupt holding likewise.
  const auto samples = samplesOf({{80}, {80}, {70}, {75}, {80}, {50, true, CalibrationPhase::discharging},
                                  {60}, {60, true, CalibrationPhase::idle, 60}, {60, true, CalibrationPhase::idle, 60}});
  const RunStats st = computeRunStats(samples, kStart + 90.0, {kStart + 15.0});
  EXPECT_EQ(st.heldPasses, 1 + 1 + 1);  // pass 2 (pass 1 has no earlier limit), pass 5, pass 9
  EXPECT_EQ(st.maxBelowLimit, 0);
  EXPECT_EQ(st.maxAboveLimit, 0);
}

TEST(RunStatsTest, PhasesInOrderAndCompletedCycles) {
  using P = CalibrationPhase;
  std::vector<Step> steps;
  for (P p : {P::idle, P::discharging, P::discharging, P::charging, P::holding, P::drainingBack, P::idle, P::idle,
              P::discharging, P::idle})
    steps.push_back({50, true, p});
  const RunStats st = computeRunStats(samplesOf(steps), kStart + 100.0);
  const std::vector<P> expected = {P::idle, P::discharging, P::charging, P::holding, P::drainingBack, P::idle,
                                   P::discharging, P::idle};
  EXPECT_EQ(st.phaseOrder, expected);
  EXPECT_EQ(st.completedCalibrations, 1);  // the second cycle was cancelled while discharging
  EXPECT_FALSE(st.firstHeldAt);
}

TEST(RunStatsTest, NoSamplesNoStatistics) {
  const RunStats st = computeRunStats({}, kStart);
  EXPECT_EQ(st.passes, 0);
  EXPECT_TRUE(st.phaseOrder.empty());
  EXPECT_FALSE(st.firstHeldAt);
}

TEST(RunStatsTest, LogMessagesLoseTheirTimestampsOnly) {
  TempDir dir;
  writeWholeFile(dir.file("daemon.log"),
                 "[2026-12-04 20:53:30] ACTION: Battery 95% > 80% — disabling adapter\n"
                 "[2026-12-04 20:53:30] \n"
                 "a continuation line\n"
                 "[2026-12-04 20:53:40] ACTION: At target 80% — re-enabling adapter\n");
  const auto messages = readLogMessages(dir.file("daemon.log"));
  const std::vector<std::string> expected = {"ACTION: Battery 95% > 80% — disabling adapter", "",
                                             "a continuation line", "ACTION: At target 80% — re-enabling adapter"};
  EXPECT_EQ(messages, expected);
  EXPECT_EQ(countMessagesStartingWith(messages, "ACTION: "), 2);
  EXPECT_EQ(countMessagesStartingWith(messages, "ACTION: At"), 1);
  EXPECT_TRUE(readLogMessages(dir.file("missing.log")).empty());
}
