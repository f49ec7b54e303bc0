// The in-process run: a scenario's events reach the machine and the data
// directory, the trace follows every pass and the shutdown, and a run ends by
// the clock through the clean shutdown, again and again in one process.
#include "harness/simulation_run.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "harness/run_stats.h"
#include "test_support.h"

TEST(SimulationRunTest, EventsReachTheMachineAndARunCanBeRepeated) {
  TempDir dir;
  const Scenario s = parseScenario(nlohmann::json::parse(R"({"hours": 0.5,
    "machine": {"firmware": "tahoe", "battery": {"percent": 50, "pluggedIn": true}},
    "events": [{"at": "0s", "plug": false}, {"at": "10m", "plug": true, "percent": 60},
               {"at": "20m", "config": {"chargeLimitEnabled": true, "chargeLimitPercent": 80,
                "calibrationEnabled": false, "calibrationIntervalDays": 30, "lastCalibrationTimestamp": 0}}]})"));
  writeWholeFile(dir.file("status.json"), "left by an earlier run");
  for (int round = 0; round < 2; ++round) {
    const RunResult r = runScenario(s, dir.path());
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.end, s.start + 1800);
    EXPECT_EQ(r.objects.cfLive + r.objects.ioLive, 0);
    ASSERT_EQ(r.samples.size(), 181u);  // 180 passes, then the state the shutdown left
    EXPECT_TRUE(r.samples[0].pluggedIn && !r.samples[1].pluggedIn && r.samples[60].pluggedIn);
    EXPECT_EQ(r.samples[60].percent, 60.0);
    EXPECT_FALSE(r.samples[119].limit) << "no settings file: the limit is off";
    EXPECT_FALSE(r.samples[180].reading) << "the final record is no reading";
    EXPECT_EQ(fileMode(dir.file("config.json")), 0666u);  // placed as a front end would
    EXPECT_NE(readWholeFile(dir.file("chart.svg")).find(">unplug</text>"), std::string::npos);
    EXPECT_EQ(countMessagesStartingWith(readLogMessages(dir.file("daemon.log")), "Clean shutdown: restoring all keys"), 1);
    // One compact object per pass, every member in a fixed order.
    EXPECT_EQ(readLogMessages(dir.file("trace.jsonl")).at(120),
              R"({"t":1796418810.0,"pass":121,"percent":66.667,"reading":66,"pluggedIn":true,"charging":true,)"
              R"("adapterDisabled":false,"currentlyInhibited":false,"phase":"Idle","led":"orange","limit":80,)"
              R"("batteryPresent":true,"smcChargeInhibited":false,"smcAdapterDisabled":false,"asleep":false,"darkWake":false,"clamshell":false,)"
              R"("keys":{"CHTE":"00000000","CHIE":"00"}})");
  }
}
