// Every shipped scenario, run end to end in virtual time, checked over shared
// defaults: no object leaked, the trace one line per pass, no warning, the
// settings never rewritten but by a calibration, and a clean stop (keys handed
// back, the final record) or, for exit status 1, no status at all. A row adds
// counts of log lines within a range and bounds of the battery's course.
#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "harness/run_stats.h"
#include "harness/simulation_run.h"
#include "reliability/reliability.h"
#include "store/charge_status.h"
#include "test_support.h"

namespace {

using Lines = std::tuple<const char*, int64_t, int64_t>;  // a prefix, how many lines at least and at most

struct Expect {
  std::vector<Lines> lines;          // "WARNING: " never, unless counted here
  bool held = true;                  // once at the limit, plugged in, the reading stays in [L - 3, L + 1]
  double lowest = 0, highest = 100;  // the battery model's course stays within
  int calibrations = 0;              // completed
  int64_t passes = -1;               // -1: every pass the run's length allows
  int exitStatus = 0;
  double ciHours = 0;                // the CI size runs only this long
  std::optional<int64_t> macOSHold = std::nullopt;  // the last pass's status: macOS's Charge Limit holds the charge there
  bool notHeld = false;              // the last pass's status: nothing holds the limit
};

const std::vector<Lines> kRegulation = {{"ACTION: Battery 95% > 80% — disabling adapter", 1, 1},
    {"ACTION: Battery 100% > 80% — disabling adapter", 1, 1}, {"ACTION: Battery 80% > 60% — disabling adapter", 1, 1},
    {"ACTION: At target 80% — re-enabling adapter", 2, 2}, {"ACTION: At target 60% — re-enabling adapter", 1, 1},
    {"ACTION: Battery 79% <", 0, 0}, {"ACTION: Battery 77% < 78% — enabling charging", 1, 1},
    {"Unplugged — clearing states", 2, 2}};
// Exit 1 after 30 s of quiet retries: one error line, the open's status in signed decimal.
Expect noSmc(const char* line) { return {{{line, 1, 1}, {"ERROR: ", 1, 1}, {"FATAL: Cannot open AppleSMC. Exiting.", 1, 1}}, false, 0, 100, 0, 0, 1}; }

const std::map<std::string, Expect> kShipped = {
    {"demo", {{{"ACTION: Battery 95% > 80% — disabling adapter", 1, 1}, {"Unplugged — clearing states", 2, 2},
               {"Calibration: STARTING — last calibration was 30 days ago", 1, 1}}, true, 15, 100, 1}},
    {"regulation-tahoe", {kRegulation, true, 56}},
    {"regulation-pretahoe", {kRegulation, true, 56}},
    {"calibration", {{{"Calibration: STARTING — last calibration was never", 1, 1}, {"Calibration: ", 65, 76},
                      {"Calibration: Holding at 100%, ", 60, 70}}, true, 15, 100, 1}},
    // The stubs refuse every write to the charge keys: found at the probe, the adapter alone holds the limit
    // and carries a calibration through, never trying the charge keys again.
    {"tahoe-2026-09", {{{"Firmware: CHTE is a zero-size stub", 1, 1}, {"setCharging: ", 0, 0}, {"setAdapter: ", 20, 80}},
                       true, 5, 100, 1}},
    // Tried again hourly, silently while refused.
    {"inhibit-refused", {{{"Firmware: CHTE refused its first two writes — charging cannot be inhibited; holding the limit with "
                           "the adapter alone", 1, 1}, {"setCharging: ", 1, 1}, {"WARNING: Failed to enable charging!", 1, 1},
                          {"setAdapter: CHIE=0x08 (disable) -> true", 10, 40}}, true, 77, 90}},
    // One refusal is no evidence; a run of them is, and one accepted write returns to the normal hold.
    {"inhibit-refused-once", {{{"WARNING: Failed to enable charging!", 1, 1}, {"Firmware: CHTE refused", 0, 0},
                               {"setCharging: CHTE=1 (disable) -> true", 1, 1}, {"setAdapter: ", 3, 3}}, true, 80, 90}},
    {"inhibit-refused-later", {{{"WARNING: Failed to disable charging!", 3, 3},
                                {"Firmware: CHTE refused 3 writes in a row — charging cannot be inhibited; holding the limit with "
                                 "the adapter alone", 1, 1}, {"Firmware: CHTE takes writes again — holding the limit with the charge "
                                 "inhibit", 1, 1}, {"setCharging: CHTE=1 (disable) -> true", 2, 2}, {"setAdapter: CHIE=0x08", 5, 30}},
                               true, 60, 82}},
    {"no-inhibit-firmware", {{{"Firmware: CHTE is a zero-size stub", 1, 1}, {"setCharging: ", 0, 0}, {"setAdapter: ", 20, 100},
                             {"Limit: ", 0, 0}}, true, 77, 90}},
    // Without adapter cycling the adapter stays on; said once, and in every status while above the limit.
    {"no-inhibit-no-cycle", {{{"Limit: nothing holds 80% — this firmware cannot pause charging and adapter cycling is off, so "
                               "the adapter stays on; set macOS's Charge Limit at 80% or more, or choose hestle limit 80 --cycle",
                               1, 1}, {"setAdapter: ", 1, 1}}, false, 90, 100, 0, -1, 0, 0, std::nullopt, true}},
    // macOS's own Charge Limit holds 80%: no adapter switch, awake or asleep, beyond start-up's.
    {"no-inhibit-macos-limit", {{{"Limit: held by macOS's Charge Limit at 80% — hestled leaves it in charge", 1, 1},
                                 {"Sleep: held by macOS's Charge Limit at 80% (limit 80%)", 1, 1}, {"setAdapter: ", 1, 1},
                                 {"Limit: nothing", 0, 0}}, true, 70, 80, 0, 4321, 0, 0, 80}},
    // Sleep: the passes stop while the lid is closed; the battery neither climbs past the limit nor drains.
    // The wake it schedules is a dark one: no message, the sleep rule again.
    {"overnight", {{{"Sleep: charging at 66% (limit 80%) — wake scheduled in 20 min", 1, 1}, {"Sleep: ", 1, 1},
                   {"Dark wake: adapter on, charging inhibited at 79% (limit 80%)", 1, 1}, {"Dark wake: ", 1, 1},
                   {"Wake: after 540 min asleep — running a pass", 1, 1}, {"Wake: ", 1, 1}}, false, 40, 81, 0, 1083}},
    {"lid-opened-early", {{{"Sleep: charging at 63% (limit 80%) — wake scheduled in 24 min", 1, 1},
                           {"Wake: after 10 min asleep, scheduled wake cancelled — running a pass", 1, 1}}, true, 60, 81, 0, 301}},
    {"weekend", {{{"Sleep: adapter on, charging inhibited at 80% (limit 80%)", 1, 1}, {"Wake: ", 1, 1}}, true, 80, 85, 0, 1441}},
    // No rate seen awake: the wake is timed from the battery's current (a full wake, then a sleep).
    {"closed-at-75", {{{"Sleep: charging at 75% (limit 80%) — wake scheduled in 6 min", 1, 1},
                       {"Wake: after 6 min asleep, at the wake it scheduled — running a pass", 1, 1},
                       {"Sleep: adapter on, charging inhibited at 80% (limit 80%)", 1, 1}, {"Clamshell: ", 0, 0}},
                      true, 75, 81, 0, 1085}},
    {"closed-at-78-no-inhibit", {{{"Sleep: charging at 78% (limit 80%) — wake scheduled in 2 min", 1, 1}, {"Dark wake: ", 10, 20}},
                                 false, 77, 82, 0, 1122}},
    {"weekend-dark-wakes", {{{"Sleep: adapter on, charging inhibited at 81% (limit 80%)", 1, 1},
                             {"Dark wake: adapter on, charging inhibited at 81% (limit 80%)", 29, 29}, {"Wake: ", 1, 1}},
                            true, 80, 85, 0, 1527}},
    {"weekend-dark-wakes-no-inhibit", {{{"Dark wake: charging at 78% (limit 80%) — wake scheduled in 2 min", 30, 60},
                                        {"Dark wake: adapter off at ", 30, 60}}, false, 77, 85, 0, 1722}},
    // Unplugged and closed within a pass: no inhibit left on battery; a look-in wake finds the charger.
    {"charger-asleep", {{{"Sleep: on battery at 79% — look-in wake scheduled in 120 min", 1, 1},
                         {"Sleep: on battery at 35% — look-in wake scheduled in 44 min", 1, 1},
                         {"Dark wake: charging at 57% (limit 80%) — wake scheduled in 33 min", 1, 1},
                         {"Dark wake: adapter on, charging inhibited at 79% (limit 80%)", 1, 1}}, true, 35, 80, 0, 1087}},
    // Clamshell mode: the adapter never switched off (the Mac would sleep: a fault), a calibration waits for the lid.
    {"clamshell", {{{"Clamshell: lid closed on an external display — the adapter stays on until the lid opens", 2, 2},
                    {"Clamshell: lid open — holding the limit as usual", 2, 2}, {"ACTION: Battery 95% > 80% — disabling adapter", 1, 1},
                    {"Calibration: waiting for the lid to open — the adapter stays on in clamshell mode", 1, 1},
                    {"Calibration: STARTING — last calibration was 30 days ago", 1, 1}}, true, 15, 100, 1}},
    {"clamshell-no-inhibit", {{{"Clamshell: ", 2, 2}, {"setAdapter: CHIE=0x08 (disable) -> true", 1, 40}}, false, 77, 100}},
    // No inhibit: the drain goes on asleep with the adapter off, never a charge to 100% in a pause.
    {"calibration-asleep-no-inhibit", {{{"Sleep: calibration drain goes on at 78% with the adapter off — wake scheduled in 120 min", 1, 1},
                                        {"Dark wake: calibration drain goes on at ", 4, 4}, {"Calibration: STARTING", 1, 1},
                                        {"Calibration: Reached 100%", 1, 1}}, true, 15, 100, 1, 5052}},
    {"clock-jump", {{{"Calibration: STARTING", 1, 1}, {"Calibration: COMPLETE", 1, 1}}, true, 15, 100, 1}},
    {"restart-mid-calibration", {{{"Calibration: resuming — Holding at 100%, 87 minutes of the hold left", 1, 1},
                                  {"Calibration: STARTING", 1, 1}, {"=== hestle_warden starting ===", 2, 2}},
                                 true, 15, 100, 1}},
    {"missing-keys", {{{"setCharging: CH0B=true CH0C=false val=0x02", 1, 4}, {"setAdapter: CH0I=true CH0J=false val=0x01", 1, 4},
                       {"ACTION: Battery 90% > 75% — disabling adapter", 1, 1}}, true, 60, 90}},
    {"broken-config", {{{"ACTION: ", 2, 2}, {"ACTION: Battery 100% > 80%", 1, 1}, {"Settings: ", 3, 3}}, true, 80}},
    // Start-up hands back what an earlier run may have left, the clean-up what this one holds.
    {"signal", {{{"setAdapter: CHIE=0x00 (enable) -> true", 2, 2}, {"setCharging: CHTE=0 (enable) -> true", 2, 2}},
                false, 88, 95, 0, 180}},
    {"sigint", {{{"setAdapter: ", 1, 1}, {"setCharging: ", 1, 1}}, false, 50, 57, 0, 60}},
    {"no-smc", noSmc("ERROR: smc_open failed with -1")},
    {"smc-refused", noSmc("ERROR: smc_open failed with -536870207")},
    {"smc-late", {{{"SMC connection opened", 1, 1}, {"ERROR: ", 0, 0}}, true, 80, 86, 0, 358}},
    {"week", {{{"Unplugged — clearing states", 3, 14}, {"Calibration: STARTING — last calibration was 7 days ago", 1, 1}},
              true, 15, 100, 1, -1, 0, 48}},
};

std::vector<std::string> shippedScenarios() {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(HESTLE_SCENARIO_DIR))
    if (entry.path().extension() == ".json") names.push_back(entry.path().stem().string());
  std::sort(names.begin(), names.end());
  return names;
}

class ShippedScenarioTest : public ::testing::TestWithParam<std::string> {};

TEST_P(ShippedScenarioTest, RunsToItsExpectedEnd) {
  ASSERT_TRUE(kShipped.count(GetParam())) << "a shipped scenario without its expectations";
  const Expect& e = kShipped.at(GetParam());
  TempDir dir;
  Scenario s = loadScenario(std::string(HESTLE_SCENARIO_DIR) + "/" + GetParam() + ".json");
  if (e.ciHours > 0 && !longRuns()) {
    s.hours = e.ciHours;
    std::erase_if(s.events, [&](const ScenarioEvent& event) { return event.at > s.hours * 3600; });
  }
  const RunResult result = runScenario(s, dir.path());
  std::vector<double> events;
  for (const auto& event : s.events) events.push_back(s.start + event.at);
  const RunStats stats = computeRunStats(result.samples, s.start + s.hours * 3600, events);
  const auto log = readLogMessages(dir.file("daemon.log"));

  EXPECT_EQ(result.exitStatus, e.exitStatus);
  EXPECT_EQ(stats.passes, e.passes >= 0 ? e.passes : static_cast<int64_t>(s.hours * 360));
  EXPECT_EQ(result.objects.cfLive + result.objects.ioLive + result.objects.badReleases, 0);
  const auto trace = readLogMessages(dir.file("trace.jsonl"));  // and a line at each fall into sleep
  EXPECT_EQ(std::count_if(trace.begin(), trace.end(), [](const auto& l) { return l.find("\"asleep\":true") == l.npos; }),
            stats.passes);
  EXPECT_EQ(log.at(0), "=== hestle_warden starting ===");
  EXPECT_EQ(result.faults, std::vector<std::string>{});
  EXPECT_TRUE(simmac::scheduledWakes().empty()) << "a wake left behind";
  EXPECT_LE(std::filesystem::file_size(dir.file("daemon.log")), 4096 + 60000 * s.hours / 24) << "a day of log under 60 KB";
  const bool adapterOnly = s.machine.firmware == simmac::Firmware::tahoe202609;
  for (size_t i = 0; i + 1 < result.samples.size(); ++i) {
    const TraceSample &a = result.samples[i], &next = result.samples[i + 1];
    // Asleep, the adapter stays on where charging can be inhibited, no inhibit is left on battery, and a wake
    // (or a dark wake) finds the battery at most at L + 1.
    EXPECT_TRUE(!a.asleep || ((adapterOnly || !a.smcAdapterDisabled) && (a.pluggedIn || !a.smcChargeInhibited) &&
                              (!a.limit || next.reading <= *a.limit + 1))) << a.t;
    EXPECT_FALSE(a.clamshell && next.asleep) << "clamshell mode slept at " << a.t;
    // Where only the adapter holds the limit, the LED is orange exactly while the battery can charge.
    const bool regulated = i > 0 && a.phase == CalibrationPhase::idle && result.samples[i - 1].phase == a.phase;
    EXPECT_TRUE(!adapterOnly || !regulated || a.pass < 2 || !a.pluggedIn || !a.reading || a.led == 0 ||
                (a.led == 4) == (!a.smcAdapterDisabled && *a.reading < 100 && !a.heldByMacOSAt)) << a.t;
  }
  auto lines = e.lines;
  if (std::none_of(lines.begin(), lines.end(), [](const Lines& l) { return std::get<0>(l)[0] == 'W'; }))
    lines.push_back({"WARNING: ", 0, 0});
  for (const auto& [prefix, min, max] : lines) {
    const int64_t n = countMessagesStartingWith(log, prefix);
    EXPECT_TRUE(n >= min && n <= max) << n << " lines " << prefix;
  }
  EXPECT_EQ(stats.completedCalibrations, e.calibrations);
  EXPECT_TRUE(stats.minPercent >= e.lowest && stats.maxPercent <= e.highest) << stats.minPercent << " " << stats.maxPercent;
  EXPECT_TRUE(!e.held || (stats.heldPasses > 100 && stats.maxAboveLimit <= 1 && stats.maxBelowLimit <= 3));
  std::optional<std::string> placed = s.config;
  for (const auto& event : s.events) placed = event.setsConfig ? event.config : placed;
  if (placed && e.calibrations == 0) { EXPECT_EQ(readWholeFile(dir.file("config.json")), *placed); }
  const auto status = decodeChargeStatus(readWholeFile(dir.file("status.json")));
  if (stats.passes == 0) {
    EXPECT_FALSE(status) << "a status before the SMC was open";
    return;
  }
  // A clean stop: the clean-up once, nothing held, the final record.
  EXPECT_EQ(countMessagesStartingWith(log, "Clean shutdown: restoring all keys"),
            1 + std::count_if(s.events.begin(), s.events.end(), [](const ScenarioEvent& e) { return e.restart; }));
  EXPECT_FALSE(simmac::chargeInhibited() || simmac::adapterDisabled() || simmac::ledValue() != 0);
  const TraceSample& lastPass = result.samples.at(result.samples.size() - 2);
  EXPECT_TRUE(lastPass.heldByMacOSAt == e.macOSHold && lastPass.limitNotHeld == e.notHeld) << lastPass.limitNotHeld;
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, (ChargeStatus{false, false, false, std::nullopt, 0, status->lastUpdate}));
}

INSTANTIATE_TEST_SUITE_P(Shipped, ShippedScenarioTest, ::testing::ValuesIn(shippedScenarios()), [](const auto& info) {
  std::string name = info.param;
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
});

}  // namespace
