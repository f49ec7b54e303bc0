// Nights and firmware without a charge inhibit, end to end:
// the daemon's real start-up, loop and shutdown on the simulated Mac, checked
// on the battery at every wake, on the log, and on what the machine saw.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "harness/run_stats.h"
#include "harness/scenario.h"
#include "harness/simulation_run.h"
#include "test_support.h"

namespace {

struct Night {
  RunResult result;
  std::vector<std::string> log;
  int64_t lines(const std::string& prefix) const { return countMessagesStartingWith(log, prefix); }
};

class NightTest : public ::testing::Test {
 protected:
  Night run(const Scenario& scenario) {
    Night r{runScenario(scenario, dir.path()), readLogMessages(dir.file("daemon.log"))};
    // Every run: a clean end, nothing leaked, nothing the machine holds against the daemon.
    EXPECT_EQ(r.result.exitStatus, 0);
    EXPECT_EQ(r.lines("Clean shutdown: restoring all keys"),
              1 + std::count_if(scenario.events.begin(), scenario.events.end(), [](auto& e) { return e.restart; }));
    EXPECT_EQ(r.result.objects.cfLive + r.result.objects.ioLive, 0) << "the power registration is undone";
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
  EXPECT_TRUE(size_t(wakes) == r.result.sleepSpans.size() && r.lines("Sleep: ") == wakes && r.lines("Wake: ") == wakes);
  ASSERT_FALSE(r.result.sleepSpans.empty());
  EXPECT_NEAR(r.result.sleepSpans.back().end - r.result.sleepSpans.front().start, c.sleepHours * 3600, 1);
}

INSTANTIATE_TEST_SUITE_P(Nights, LidClosedTest, ::testing::Values(NightCase{40, 9}, NightCase{79, 9}, NightCase{85, 60}),
                         [](const auto& info) { return "From" + std::to_string(int(info.param.percent)); });

// A day at limit 80 on the firmware whose inhibit keys are stubs (the
// switches and the bounds are in the shipped scenarios' table).
TEST_F(NightTest, NoInhibitFirmwareLogsLittleAndTheLedTellsTheTruth) {
  const Night r = shipped("no-inhibit-firmware");
  EXPECT_LE(std::filesystem::file_size(dir.file("daemon.log")), 50000u);
  for (const auto& s : r.result.samples) {
    if (s.pass > 1 && s.reading && s.led != 0) {
      ASSERT_EQ(s.led == 4, !s.smcAdapterDisabled && *s.reading < 100) << s.t;
    }
  }
}

}  // namespace
