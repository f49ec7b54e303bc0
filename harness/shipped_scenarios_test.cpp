// End-to-end runs of the shipped scenarios: the daemon's real start-up, loop and
// shutdown against the simulated Mac, checked on the physics of the machine and
// on counts of lines in daemon.log; every run must end cleanly.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "harness/run_stats.h"
#include "harness/scenario.h"
#include "harness/simulation_run.h"
#include "sim/simulated_mac.h"
#include "store/charge_config.h"
#include "store/charge_status.h"
#include "test_support.h"

namespace {

struct Outcome {
  Scenario scenario;
  RunResult result;
  RunStats stats;
  std::vector<std::string> log;  // messages, timestamps removed
  std::string dir;

  int64_t lines(const std::string& prefix) const { return countMessagesStartingWith(log, prefix); }
  int64_t exactly(const std::string& message) const { return std::count(log.begin(), log.end(), message); }
  // Index of the first message equal to `message` at or after `from`; log.size() if none.
  size_t find(const std::string& message, size_t from = 0) const {
    return static_cast<size_t>(std::find(log.begin() + static_cast<std::ptrdiff_t>(std::min(from, log.size())),
                                         log.end(), message) - log.begin());
  }
  std::string file(const std::string& name) const { return readWholeFile(dir + "/" + name); }
};

class ShippedScenarioTest : public ::testing::Test {
 protected:
  Outcome run(const std::string& name) {
    Outcome o;
    o.scenario = loadScenario(std::string(HESTLE_SCENARIO_DIR) + "/" + name + ".json");
    o.dir = dir.path();
    o.result = runScenario(o.scenario, o.dir);
    std::vector<double> eventTimes;
    for (const auto& e : o.scenario.events) eventTimes.push_back(o.scenario.start + e.at);
    o.stats = computeRunStats(o.result.samples, o.scenario.start + o.scenario.hours * 3600.0, eventTimes);
    o.log = readLogMessages(o.dir + "/daemon.log");
    checkEveryRun(o);
    return o;
  }

  // What holds for every run, whatever the scenario.
  static void checkEveryRun(const Outcome& o) {
    EXPECT_EQ(o.result.objects.cfLive, 0) << o.scenario.name;
    EXPECT_EQ(o.result.objects.ioLive, 0) << o.scenario.name;
    EXPECT_EQ(o.result.objects.badReleases, 0) << o.scenario.name;
    ASSERT_GE(o.log.size(), 2u) << o.scenario.name;
    EXPECT_EQ(o.log[0], "=== hestle_warden starting ===");
    EXPECT_EQ(o.log[1].rfind("PID: ", 0), 0u) << o.log[1];
    for (const char* name : {"daemon.log", "trace.jsonl", "chart.svg"})
      EXPECT_TRUE(std::filesystem::exists(o.dir + "/" + name)) << name;

    // One trace line per pass, numbered 1, 2, 3, ... with the published members.
    std::istringstream trace(o.file("trace.jsonl"));
    std::string line;
    int64_t expectedPass = 1;
    while (std::getline(trace, line)) {
      const auto j = nlohmann::json::parse(line);
      ASSERT_EQ(j.at("pass").get<int64_t>(), expectedPass) << line;
      for (const char* member : {"t", "percent", "pluggedIn", "charging", "adapterDisabled", "currentlyInhibited",
                                 "phase", "led", "keys"})
        ASSERT_TRUE(j.contains(member)) << member << " missing in " << line;
      ++expectedPass;
    }
    EXPECT_EQ(expectedPass - 1, o.stats.passes) << o.scenario.name;
    if (o.result.exitStatus != 0) return;

    // A clean end: the shutdown ran, gave everything back and said so in status.json.
    EXPECT_EQ(o.exactly("Clean shutdown: restoring all keys"), 1) << o.scenario.name;
    EXPECT_FALSE(simmac::chargeInhibited()) << o.scenario.name;
    EXPECT_FALSE(simmac::adapterDisabled()) << o.scenario.name;
    EXPECT_EQ(simmac::ledValue(), 0) << o.scenario.name;
    const auto status = decodeChargeStatus(o.file("status.json"));
    ASSERT_TRUE(status) << o.file("status.json");
    EXPECT_FALSE(status->daemonRunning);
    EXPECT_FALSE(status->chargingInhibited);
    EXPECT_EQ(status->batteryPercent, 0);
  }

  TempDir dir;
};

// After the first arrival at the limit the reading stays within [L − 3, L + 1]
// while plugged in.
void expectHeldAtTheLimit(const Outcome& o) {
  ASSERT_TRUE(o.stats.firstHeldAt) << o.scenario.name << ": never reached the limit";
  EXPECT_GT(o.stats.heldPasses, 100) << o.scenario.name;
  EXPECT_LE(o.stats.maxAboveLimit, 1) << o.scenario.name;
  EXPECT_LE(o.stats.maxBelowLimit, 3) << o.scenario.name;
}

}  // namespace

TEST_F(ShippedScenarioTest, EveryShippedScenarioParses) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(HESTLE_SCENARIO_DIR)) {
    if (entry.path().extension() != ".json") continue;
    EXPECT_NO_THROW(loadScenario(entry.path().string())) << entry.path();
    ++count;
  }
  EXPECT_GE(count, 10);
}

TEST_F(ShippedScenarioTest, DemoHoldsTheLimitAndCalibratesOnce) {
  const Outcome o = run("demo");
  EXPECT_EQ(o.result.exitStatus, 0);
  EXPECT_EQ(o.stats.passes, 8640);
  expectHeldAtTheLimit(o);
  EXPECT_EQ(o.stats.completedCalibrations, 1);
  EXPECT_EQ(o.exactly("Calibration: STARTING — last calibration was 30 days ago"), 1);
  EXPECT_EQ(o.exactly("ACTION: Battery 95% > 80% — disabling adapter"), 1);
  EXPECT_EQ(o.exactly("Unplugged — clearing states"), 2);  // at 2 h and 19 h; at 8 h the calibration holds them
  EXPECT_EQ(o.lines("WARNING: "), 0);
  EXPECT_LT(o.stats.minPercent, 16.0);
  EXPECT_GT(o.stats.maxPercent, 99.9);
  for (uint8_t led : {0, 3, 4}) EXPECT_GT(o.stats.ledSeconds.count(led) ? o.stats.ledSeconds.at(led) : 0.0, 600.0);
}

class ShippedRegulationTest : public ShippedScenarioTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(ShippedRegulationTest, EveryRowOfTheTableShowsInTheLogAndTheBattery) {
  const Outcome o = run(GetParam());
  EXPECT_EQ(o.result.exitStatus, 0);
  expectHeldAtTheLimit(o);
  EXPECT_EQ(o.lines("WARNING: "), 0);
  // R4 at the start and when the limit comes back on at 100%, R5 each time
  // the battery is back at the limit from above.
  EXPECT_EQ(o.exactly("ACTION: Battery 95% > 80% — disabling adapter"), 1);
  EXPECT_EQ(o.exactly("ACTION: Battery 100% > 80% — disabling adapter"), 1);
  EXPECT_EQ(o.exactly("ACTION: Battery 80% > 60% — disabling adapter"), 1);
  EXPECT_EQ(o.exactly("ACTION: At target 80% — re-enabling adapter"), 2);
  EXPECT_EQ(o.exactly("ACTION: At target 60% — re-enabling adapter"), 1);
  // R6 at 79% changes nothing; R7 at 77% resumes charging.
  EXPECT_EQ(o.lines("ACTION: Battery 79% <"), 0);
  EXPECT_EQ(o.exactly("ACTION: Battery 77% < 78% — enabling charging"), 1);
  // R2 when unplugged while inhibited, and again when the battery service vanishes.
  EXPECT_EQ(o.exactly("Unplugged — clearing states"), 2);
  EXPECT_EQ(o.stats.completedCalibrations, 0);

  // Physics: with the limit off (7 h to 9 h) the battery charges to 100%;
  // after the limit drops to 60% at 12 h it comes down and stays there.
  EXPECT_GT(o.stats.maxPercent, 99.9);
  int64_t lowest = 100, highest = 0, counted = 0;
  for (const auto& s : o.result.samples) {
    if (s.t < o.scenario.start + 14 * 3600 || s.t >= o.scenario.start + 16 * 3600 || !s.reading) continue;
    lowest = std::min(lowest, *s.reading);
    highest = std::max(highest, *s.reading);
    ++counted;
  }
  EXPECT_EQ(counted, 720);
  EXPECT_GE(lowest, 57);
  EXPECT_LE(highest, 61);
}

INSTANTIATE_TEST_SUITE_P(BothKeyFamilies, ShippedRegulationTest, ::testing::Values("regulation-tahoe", "regulation-pretahoe"),
                         [](const auto& info) { return std::string(info.param).substr(11); });

TEST_F(ShippedScenarioTest, CalibrationPassesThroughEveryPhaseAndRecordsItsEnd) {
  const Outcome o = run("calibration");
  EXPECT_EQ(o.result.exitStatus, 0);
  const std::vector<CalibrationPhase> expected = {CalibrationPhase::discharging, CalibrationPhase::charging,
                                                  CalibrationPhase::holding, CalibrationPhase::drainingBack,
                                                  CalibrationPhase::idle};
  EXPECT_EQ(o.stats.phaseOrder, expected);
  EXPECT_EQ(o.stats.completedCalibrations, 1);

  const size_t start = o.find("Calibration: STARTING — last calibration was never");
  const size_t low = o.find("Calibration: Reached 15% <= 15% — switching to charge phase", start);
  const size_t full = o.find("Calibration: Reached 100% — holding for 120 minutes", low);
  const size_t held = o.find("Calibration: Hold complete — draining back to 80%", full);
  const size_t done = o.find("Calibration: COMPLETE — reached 80% (target 80%)", held);
  EXPECT_LT(done, o.log.size()) << "the phases were not logged in order";
  // The progress line for 110, 100, ..., 10 minutes, about six times each.
  const int64_t progress = o.lines("Calibration: Holding at 100%, ");
  EXPECT_GE(progress, 60);
  EXPECT_LE(progress, 70);
  EXPECT_EQ(o.lines("Calibration: "), 5 + progress);
  EXPECT_EQ(o.lines("WARNING: "), 0);

  // The battery went down to 15% with the adapter off and up to 100%.
  EXPECT_LT(o.stats.minPercent, 16.0);  // the reading says 15% from 15.99% on
  EXPECT_GE(o.stats.minPercent, 15.0);
  EXPECT_GT(o.stats.maxPercent, 99.9);
  EXPECT_GT(o.stats.adapterOffSeconds, 3.5 * 3600);

  // The settings keep every member and gain the completion time.
  auto completion = std::find_if(o.result.samples.begin(), o.result.samples.end(), [](const TraceSample& s) {
    return s.phase == CalibrationPhase::idle;
  });
  ASSERT_NE(completion, o.result.samples.end());
  const auto config = decodeChargeConfig(o.file("config.json"));
  ASSERT_TRUE(config) << o.file("config.json");
  EXPECT_EQ(config->lastCalibrationTimestamp, completion->t);
  EXPECT_GT(completion->t, o.scenario.start + 9 * 3600);
  EXPECT_LT(completion->t, o.scenario.start + 10.5 * 3600);
  EXPECT_TRUE(config->chargeLimitEnabled);
  EXPECT_TRUE(config->calibrationEnabled);
  EXPECT_EQ(config->chargeLimitPercent, 80);
  EXPECT_EQ(config->calibrationIntervalDays, 30);
  // Back under the regulation afterwards.
  expectHeldAtTheLimit(o);
}

TEST_F(ShippedScenarioTest, SeptemberFirmwareHoldsTheLimitWithTheAdapterAlone) {
  const Outcome o = run("tahoe-2026-09");
  EXPECT_EQ(o.result.exitStatus, 0);
  expectHeldAtTheLimit(o);
  for (const auto& s : o.result.samples) ASSERT_FALSE(s.smcChargeInhibited) << "the stubs took a write at " << s.t;
  EXPECT_GT(o.stats.adapterOffSeconds, 3600.0);
}

TEST_F(ShippedScenarioTest, OneKeyOfEachPreTahoePairIsEnough) {
  const Outcome o = run("missing-keys");
  EXPECT_EQ(o.result.exitStatus, 0);
  expectHeldAtTheLimit(o);
  EXPECT_EQ(o.lines("WARNING: "), 0);
  EXPECT_GE(o.exactly("setCharging: CH0B=true CH0C=false val=0x02"), 1);
  EXPECT_GE(o.exactly("setAdapter: CH0I=true CH0J=false val=0x01"), 1);
  EXPECT_EQ(o.exactly("ACTION: Battery 90% > 75% — disabling adapter"), 1);
}

TEST_F(ShippedScenarioTest, BrokenSettingsGiveTheDefaultsAndAreNeverRewritten) {
  const Outcome o = run("broken-config");
  EXPECT_EQ(o.result.exitStatus, 0);
  // Limit off until the file is fixed at 2 h: the battery charges to 100%.
  for (size_t i = 0; i + 1 < o.result.samples.size(); ++i) {  // the last one follows the shutdown
    const TraceSample& s = o.result.samples[i];
    const double hours = (s.t - o.scenario.start) / 3600.0;
    EXPECT_EQ(s.limit, hours >= 2.0 && hours < 5.0 ? std::optional<int64_t>(80) : std::nullopt) << hours;
  }
  EXPECT_GT(o.stats.maxPercent, 99.9);
  EXPECT_EQ(o.exactly("ACTION: Battery 100% > 80% — disabling adapter"), 1);
  EXPECT_EQ(o.lines("ACTION: "), 2);  // and "At target 80%" once
  EXPECT_EQ(o.lines("WARNING: "), 0);
  EXPECT_EQ(o.lines("Settings: "), 3);  // not valid, usable again, not valid
  // The daemon never replaced the user's file with its defaults.
  EXPECT_EQ(o.file("config.json"), o.scenario.events.back().config.value());
}

TEST_F(ShippedScenarioTest, SigtermRestoresEverythingAndExitsZero) {
  const Outcome o = run("signal");
  EXPECT_EQ(o.result.exitStatus, 0);
  EXPECT_NEAR(o.result.end, o.scenario.start + 1800.0, 10.0);
  EXPECT_EQ(o.stats.passes, 180);
  const size_t shutdown = o.find("Clean shutdown: restoring all keys");
  ASSERT_LT(shutdown + 2, o.log.size());
  EXPECT_EQ(o.log[shutdown + 1], "setAdapter: CHIE=0x00 (enable) -> true");
  EXPECT_EQ(o.log[shutdown + 2], "setCharging: CHTE=0 (enable) -> true");
  // The daemon held both when the signal came.
  ASSERT_GE(o.result.samples.size(), 2u);
  const TraceSample& before = o.result.samples[o.result.samples.size() - 2];
  EXPECT_TRUE(before.adapterDisabled);
  EXPECT_TRUE(before.currentlyInhibited);
  EXPECT_EQ(before.led, 3);
}

TEST_F(ShippedScenarioTest, SigintWithNothingHeldOnlyHandsTheLedBack) {
  const Outcome o = run("sigint");
  EXPECT_EQ(o.result.exitStatus, 0);
  EXPECT_EQ(o.stats.passes, 60);
  const size_t shutdown = o.find("Clean shutdown: restoring all keys");
  ASSERT_LT(shutdown, o.log.size());
  const std::vector<std::string> after(o.log.begin() + static_cast<std::ptrdiff_t>(shutdown), o.log.end());
  EXPECT_EQ(countMessagesStartingWith(after, "setAdapter: "), 0);
  EXPECT_EQ(countMessagesStartingWith(after, "setCharging: "), 0);
}

class ShippedNoSmcTest : public ShippedScenarioTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(ShippedNoSmcTest, ExitsOneAfterTheFatalLine) {
  const Outcome o = run(GetParam());
  EXPECT_EQ(o.result.exitStatus, 1);
  ASSERT_EQ(o.log.size(), 4u);
  EXPECT_EQ(o.log[2].rfind("ERROR: smc_open failed with ", 0), 0u) << o.log[2];
  EXPECT_EQ(o.log[3], "FATAL: Cannot open AppleSMC. Exiting.");
  EXPECT_FALSE(std::filesystem::exists(o.dir + "/status.json"));
  EXPECT_EQ(o.stats.passes, 0);
  EXPECT_EQ(o.file("trace.jsonl"), "");
}

INSTANTIATE_TEST_SUITE_P(NoConnection, ShippedNoSmcTest, ::testing::Values("no-smc", "smc-refused"),
                         [](const auto& info) { return std::string(info.param) == "no-smc" ? "NoService" : "Refused"; });
