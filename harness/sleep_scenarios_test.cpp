// Nights, firmware without a charge inhibit and clocks that jump, end to end:
// the daemon's real start-up, loop and shutdown on the simulated Mac, checked
// on the battery at every wake, on the log, and on what the machine saw.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "harness/run_stats.h"
#include "harness/scenario.h"
#include "harness/simulation_run.h"
#include "store/charge_config.h"
#include "test_support.h"

namespace {

struct Night {
  Scenario scenario;
  RunResult result;
  std::vector<std::string> log;
  RunStats stats;
  int64_t count(const std::string& message) const { return std::count(log.begin(), log.end(), message); }
  int64_t lines(const std::string& prefix) const { return countMessagesStartingWith(log, prefix); }
};

class NightTest : public ::testing::Test {
 protected:
  Night run(const Scenario& scenario) {
    Night r{scenario, runScenario(scenario, dir.path()), readLogMessages(dir.file("daemon.log")), {}};
    r.stats = computeRunStats(r.result.samples, scenario.start + scenario.hours * 3600.0);
    // Every run: a clean end, nothing leaked, nothing the machine holds against the daemon.
    EXPECT_EQ(r.result.exitStatus, 0);
    const auto restarts = std::count_if(scenario.events.begin(), scenario.events.end(),
                                        [](const ScenarioEvent& e) { return e.restart; });
    EXPECT_EQ(r.count("Clean shutdown: restoring all keys"), 1 + restarts);
    EXPECT_EQ(r.result.objects.cfLive, 0);
    EXPECT_EQ(r.result.objects.ioLive, 0) << "the power registration is undone";
    EXPECT_EQ(r.result.faults, std::vector<std::string>{});
    EXPECT_TRUE(simmac::scheduledWakes().empty()) << "no wake left behind";
    return r;
  }
  Night shipped(const std::string& name) { return run(loadScenario(std::string(HESTLE_SCENARIO_DIR) + "/" + name + ".json")); }
  TempDir dir;
};

struct NightCase {
  double percent;   // at the start; the lid closes 40 minutes later
  double sleepHours;
};

class LidClosedTest : public NightTest, public ::testing::WithParamInterface<NightCase> {};

// Limit 80, plugged in: at every wake the reading is within [77, 81] (from
// 40% it may still be below), and the adapter is never off across a sleep.
TEST_P(LidClosedTest, EveryWakeFindsTheBatteryAtTheLimit) {
  const NightCase c = GetParam();
  const Night r = run(parseScenario(nlohmann::json::parse(
      R"({"hours": )" + std::to_string(c.sleepHours + 2) + R"(, "machine": {"battery": {"percent": )" +
      std::to_string(c.percent) + R"(}}, "config": {"chargeLimitEnabled": true, "chargeLimitPercent": 80,
      "calibrationEnabled": false, "calibrationIntervalDays": 30, "lastCalibrationTimestamp": 0},
      "events": [{"at": "40m", "sleep": ")" + std::to_string(static_cast<int>(c.sleepHours)) + R"(h"}]})")));
  const auto& samples = r.result.samples;
  int wakes = 0;
  for (size_t i = 0; i + 1 < samples.size(); ++i) {
    if (!samples[i].asleep) continue;
    EXPECT_FALSE(samples[i].smcAdapterDisabled) << "asleep with the adapter off at " << samples[i].t;
    const TraceSample& woken = samples[i + 1];  // the pass at the wake
    ASSERT_TRUE(woken.reading && !woken.asleep);
    EXPECT_LE(*woken.reading, 81) << woken.t;
    if (c.percent > 40) {
      EXPECT_GE(*woken.reading, 77) << woken.t;
    }
    ++wakes;
  }
  EXPECT_EQ(wakes, static_cast<int>(r.result.sleepSpans.size()));
  EXPECT_EQ(r.lines("Sleep: "), wakes);
  EXPECT_EQ(r.lines("Wake: "), wakes);
  ASSERT_FALSE(r.result.sleepSpans.empty());
  EXPECT_NEAR(r.result.sleepSpans.back().end - r.result.sleepSpans.front().start, c.sleepHours * 3600, 1);
}

INSTANTIATE_TEST_SUITE_P(Nights, LidClosedTest,
                         ::testing::Values(NightCase{40, 9}, NightCase{70, 9}, NightCase{79, 9}, NightCase{85, 9},
                                           NightCase{85, 60}),
                         [](const auto& info) {
                           return "From" + std::to_string(static_cast<int>(info.param.percent)) + "For" +
                                  std::to_string(static_cast<int>(info.param.sleepHours)) + "h";
                         });

TEST_F(NightTest, OvernightChargesAsleepAndAScheduledWakeStopsIt) {
  const Night r = shipped("overnight");
  ASSERT_GE(r.result.sleepSpans.size(), 2u);
  EXPECT_TRUE(r.result.sleepSpans.front().scheduledWake);
  EXPECT_EQ(r.count("Sleep: charging at 66% (limit 80%) — wake scheduled in 20 min"), 1);
  EXPECT_EQ(r.count("Wake: after 20 min asleep, at the wake it scheduled — running a pass"), 1);
  EXPECT_GE(r.lines("Sleep: adapter on, charging inhibited at "), 1);
}

// A day at limit 80 on the firmware whose inhibit keys are stubs.
TEST_F(NightTest, NoInhibitFirmwareHoldsTheLimitQuietly) {
  const Night r = shipped("no-inhibit-firmware");
  EXPECT_EQ(r.count("Firmware: CHTE is a zero-size stub — charging cannot be inhibited; holding the limit with the "
                    "adapter alone"),
            1);
  EXPECT_EQ(r.lines("setCharging: "), 0);
  EXPECT_EQ(r.lines("WARNING: "), 0);
  const int64_t switches = r.lines("setAdapter: ");  // every one, off and on
  EXPECT_GE(switches, 10);
  EXPECT_LE(switches, 100);
  EXPECT_LE(std::filesystem::file_size(dir.file("daemon.log")), 50000u);
  ASSERT_TRUE(r.stats.firstHeldAt);
  EXPECT_LE(r.stats.maxAboveLimit, 1);
  EXPECT_LE(r.stats.maxBelowLimit, 3);
  // The LED shows what the battery does: orange only while it charges.
  for (const auto& s : r.result.samples) {
    if (s.pass > 1 && s.reading && s.led != 0) {
      ASSERT_EQ(s.led == 4, !s.smcAdapterDisabled && *s.reading < 100) << s.t;
    }
  }
}

TEST_F(NightTest, ClockJumpsLeaveTheHoldAndTheNextCalibrationAlone) {
  const Night r = shipped("clock-jump");
  const auto held = std::find_if(r.result.samples.begin(), r.result.samples.end(),
                                 [](const TraceSample& s) { return s.phase == CalibrationPhase::holding; });
  const auto after = std::find_if(held, r.result.samples.end(),
                                  [](const TraceSample& s) { return s.phase != CalibrationPhase::holding; });
  ASSERT_NE(after, r.result.samples.end());
  EXPECT_NEAR(after->t - held->t, 7200, 20);
  EXPECT_EQ(r.stats.completedCalibrations, 1);
  EXPECT_EQ(r.lines("Calibration: last calibration time "), 1);
  EXPECT_EQ(r.lines("Calibration: STARTING"), 1);
  const auto config = decodeChargeConfig(readWholeFile(dir.file("config.json")));
  ASSERT_TRUE(config);
  EXPECT_NEAR(config->lastCalibrationTimestamp, r.scenario.start + 9 * 3600, 1);
}

TEST_F(NightTest, ARestartMidHoldResumesIt) {
  const Night r = shipped("restart-mid-calibration");
  EXPECT_EQ(r.count("=== hestle_warden starting ==="), 2);
  EXPECT_EQ(r.count("Calibration: resuming — Holding at 100%, 87 minutes of the hold left"), 1);
  EXPECT_EQ(r.lines("Calibration: STARTING"), 1);
  EXPECT_EQ(r.stats.completedCalibrations, 1);
  const auto held = std::find_if(r.result.samples.begin(), r.result.samples.end(),
                                 [](const TraceSample& s) { return s.phase == CalibrationPhase::holding; });
  const auto after = std::find_if(held, r.result.samples.end(),
                                  [](const TraceSample& s) { return s.phase != CalibrationPhase::holding; });
  ASSERT_NE(after, r.result.samples.end());
  EXPECT_NEAR(after->t - held->t, 7200, 70) << "the hold lasts 120 minutes (to the minute) across the restart";
  const std::vector<CalibrationPhase> expected = {CalibrationPhase::discharging,
                                                  CalibrationPhase::charging, CalibrationPhase::holding,
                                                  CalibrationPhase::drainingBack, CalibrationPhase::idle};
  EXPECT_EQ(r.stats.phaseOrder, expected) << "no second discharge";
}

}  // namespace
