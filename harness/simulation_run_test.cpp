// Tests of the in-process runner: a run ends by the clock through the clean
// shutdown, leaves its five files, and can be repeated in the same process.
#include "harness/simulation_run.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "harness/run_stats.h"
#include "harness/run_summary.h"
#include "test_support.h"

namespace {

Scenario halfHour() {
  return parseScenario(nlohmann::json::parse(R"({
    "name": "half-hour", "hours": 0.5,
    "machine": {"firmware": "tahoe", "battery": {"percent": 50, "pluggedIn": true}},
    "config": {"chargeLimitEnabled": true, "chargeLimitPercent": 80, "calibrationEnabled": false,
               "calibrationIntervalDays": 30, "lastCalibrationTimestamp": 0},
    "events": [{"at": "0s", "plug": false}, {"at": "10m", "plug": true}]})"));
}

}  // namespace

TEST(SimulationRunTest, RunsUntilTheClockRunsOutAndCanRunAgain) {
  TempDir dir;
  writeWholeFile(dir.file("daemon.log"), "a log of an earlier run\n");
  writeWholeFile(dir.file("status.json"), "stale");
  const Scenario scenario = halfHour();
  for (int round = 0; round < 2; ++round) {
    const RunResult r = runScenario(scenario, dir.path());
    EXPECT_EQ(r.exitStatus, 0) << round;
    EXPECT_DOUBLE_EQ(r.end, scenario.start + 1800.0) << round;
    // 180 passes, then the sample after the shutdown.
    ASSERT_EQ(r.samples.size(), 181u) << round;
    EXPECT_EQ(r.samples.front().t, scenario.start);
    EXPECT_EQ(r.samples[179].pass, 180);
    EXPECT_EQ(r.objects.cfLive, 0);
    EXPECT_EQ(r.objects.ioLive, 0);

    // The event at 0s is served in the first wait: the second pass runs unplugged.
    EXPECT_TRUE(r.samples[0].pluggedIn);
    EXPECT_FALSE(r.samples[1].pluggedIn);
    EXPECT_TRUE(r.samples[60].pluggedIn);  // 10 min

    const auto log = readLogMessages(dir.file("daemon.log"));
    EXPECT_EQ(std::count(log.begin(), log.end(), "=== hestle_warden starting ==="), 1) << round;
    EXPECT_EQ(std::count(log.begin(), log.end(), "Clean shutdown: restoring all keys"), 1) << round;
    for (const char* name : {"config.json", "status.json", "trace.jsonl", "chart.svg"})
      EXPECT_FALSE(readWholeFile(dir.file(name)).empty()) << name;

    const std::string summary = summarizeRun(scenario, r, dir.path());
    EXPECT_NE(summary.find("simulated 30m of 30m in "), std::string::npos) << summary;
    EXPECT_NE(summary.find(" 180 passes; exit status 0\n"), std::string::npos) << summary;
    // Seen by the passes from 10 s to 10 min: the state between passes is the one the last pass saw.
    EXPECT_NE(summary.find("unplugged 9m50s"), std::string::npos) << summary;
    EXPECT_NE(summary.find("live objects after the run: 0 CF, 0 IOKit"), std::string::npos) << summary;
  }
}

TEST(SimulationRunTest, NoConfigMeansNoFileAndTheDefaults) {
  TempDir dir;
  writeWholeFile(dir.file("config.json"), "{\"left\":\"over\"}");
  Scenario scenario = halfHour();
  scenario.config.reset();
  scenario.events.clear();
  const RunResult r = runScenario(scenario, dir.path());
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_FALSE(std::filesystem::exists(dir.file("config.json")));
  for (const auto& s : r.samples) EXPECT_FALSE(s.limit);
  // With the limit off the battery charges all the while.
  EXPECT_GT(r.samples.back().percent, 50.0 + 40.0 * 0.5 - 0.5);
}
