// Tests of scenario parsing: members, defaults, events, and refusals that name the fault.
#include "harness/scenario.h"

#include <gtest/gtest.h>

#include <csignal>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "test_support.h"

using nlohmann::json;

static std::string refusal(const std::string& text) {
  try {
    parseScenario(json::parse(text));
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "(accepted)";
}

TEST(ScenarioTest, EmptyObjectGivesTheDefaults) {
  const Scenario s = parseScenario(json::object(), "plain");
  EXPECT_EQ(s.name, "plain");
  EXPECT_EQ(s.start, 1796417610.0);
  EXPECT_EQ(s.machine.startTime, 1796417610.0);
  EXPECT_EQ(s.hours, 24.0);
  EXPECT_EQ(s.machine.firmware, simmac::Firmware::tahoe);
  EXPECT_FALSE(s.config);
  EXPECT_TRUE(s.events.empty());
}

TEST(ScenarioTest, FullScenarioIsReadMemberByMember) {
  const Scenario s = parseScenario(json::parse(R"({
    "name": "week", "description": "a week", "start": "2027-01-01T00:00:00Z", "hours": 168,
    "machine": {"firmware": "preTahoe", "missingKeys": ["CH0C"],
                "battery": {"percent": 95, "capacityMah": 5000, "pluggedIn": true}},
    "config": {"chargeLimitEnabled": true, "chargeLimitPercent": 80, "calibrationEnabled": true,
               "calibrationIntervalDays": 30, "lastCalibrationTimestamp": "-29d"},
    "events": [
      {"at": "5h", "signal": "SIGINT"},
      {"at": "1h30m", "plug": false, "percent": 40},
      {"at": "2h", "config": null},
      {"at": "2h", "config": "not json"},
      {"at": "3h", "batteryService": false},
      {"at": "4h", "signal": "SIGTERM"}
    ]})"));
  EXPECT_EQ(s.name, "week");
  EXPECT_EQ(s.description, "a week");
  EXPECT_EQ(s.start, 1798761600.0);
  EXPECT_EQ(s.machine.startTime, 1798761600.0);
  EXPECT_EQ(s.hours, 168.0);
  EXPECT_EQ(s.firmwareName, "preTahoe");
  EXPECT_EQ(s.machine.firmware, simmac::Firmware::preTahoe);
  ASSERT_TRUE(s.config);
  const json config = json::parse(*s.config);
  EXPECT_EQ(config["lastCalibrationTimestamp"].get<double>(), 1798761600.0 - 29 * 86400.0);
  EXPECT_EQ(config["chargeLimitPercent"].get<int>(), 80);

  // Sorted by time; the two events at 2h keep their file order.
  ASSERT_EQ(s.events.size(), 6u);
  EXPECT_EQ(s.events[0].at, 5400.0);
  EXPECT_EQ(s.events[0].plug, false);
  EXPECT_EQ(s.events[0].percent, 40.0);
  EXPECT_FALSE(s.events[0].setsConfig);
  EXPECT_EQ(s.events[1].at, 7200.0);
  EXPECT_TRUE(s.events[1].setsConfig);
  EXPECT_FALSE(s.events[1].config);
  EXPECT_EQ(s.events[2].config, "not json");
  EXPECT_EQ(s.events[3].batteryService, false);
  EXPECT_EQ(s.events[4].signal, SIGTERM);
  EXPECT_EQ(s.events[5].signal, SIGINT);
}

TEST(ScenarioTest, RawConfigTextIsKeptByteForByte) {
  const Scenario s = parseScenario(json::parse(R"({"config": "{\"chargeLimitEnabled\": tru"})"));
  EXPECT_EQ(s.config, "{\"chargeLimitEnabled\": tru");
}

TEST(ScenarioTest, BadScenariosAreRefusedNamingTheMember) {
  const struct {
    const char* text;
    const char* message;
  } cases[] = {
      {R"([])", "a scenario is a JSON object"},
      {R"({"hour": 5})",
       "hour: unknown member (known: config, description, events, hours, machine, name, start)"},
      {R"({"hours": 0})", "hours: expected a number of hours above 0 and at most 8784 (a year)"},
      {R"({"hours": "24"})", "hours: expected a number of hours above 0 and at most 8784 (a year)"},
      {R"({"start": "yesterday"})",
       "start: bad start \"yesterday\": not of the form yyyy-mm-ddThh:mm:ssZ (write a UTC time such as "
       "\"2026-12-04T20:53:30Z\")"},
      {R"({"config": 5})", "config: expected an object, a string of raw file text, or null"},
      {R"({"config": {"lastCalibrationTimestamp": "29d"}})",
       "config.lastCalibrationTimestamp: a string must be a time relative to the start, such as \"-29d\" or "
       "\"+2h\""},
      {R"({"config": {"lastCalibrationTimestamp": "-29x"}})",
       "config.lastCalibrationTimestamp: bad time \"29x\": unknown unit 'x' (write e.g. \"90s\", \"15m\", "
       "\"1h30m\", \"2d\")"},
      {R"({"events": {}})", "events: expected an array of events"},
      {R"({"events": [5]})", "events[0]: expected an object such as {\"at\": \"1h\", \"plug\": false}"},
      {R"({"events": [{"plug": true}]})", "events[0]: missing \"at\""},
      {R"({"events": [{"at": "1h"}]})",
       "events[0]: nothing happens: give \"plug\", \"percent\", \"batteryService\", \"config\", \"clock\", "
       "\"sleep\", \"restart\" or \"signal\""},
      {R"({"events": [{"at": 90, "plug": true}]})",
       "events[0].at: expected a time string such as \"90s\" or \"1h30m\""},
      {R"({"events": [{"at": "1h", "plug": true}, {"at": "1x", "plug": true}]})",
       "events[1].at: bad time \"1x\": unknown unit 'x' (write e.g. \"90s\", \"15m\", \"1h30m\", \"2d\")"},
      {R"({"hours": 2, "events": [{"at": "3h", "plug": true}]})",
       "events[0].at: 3h is after the end of the run (2h)"},
      {R"({"events": [{"at": "1h", "plug": "no"}]})", "events[0].plug: expected true or false"},
      {R"({"events": [{"at": "1h", "percent": 101}]})", "events[0].percent: expected a number from 0 to 100"},
      {R"({"events": [{"at": "1h", "signal": "SIGKILL"}]})", "events[0].signal: expected \"SIGTERM\" or \"SIGINT\""},
      {R"({"events": [{"at": "1h", "unplug": true}]})",
       "events[0].unplug: unknown member (known: at, batteryService, clock, config, percent, plug, restart, signal, "
       "sleep)"},
  };
  for (const auto& c : cases) EXPECT_EQ(refusal(c.text), c.message) << c.text;
}

TEST(ScenarioTest, MachineFaultsAreReportedOnce) {
  EXPECT_EQ(refusal(R"({"machine": {"firmware": "tahoe-2099"}})"),
            "machine: unknown firmware \"tahoe-2099\" (tahoe, preTahoe, tahoe-2026-09, noSMC, refused)");
}

TEST(ScenarioTest, StartInsideTheMachineIsTakenUnlessTheTopLevelGivesOne) {
  const Scenario inner = parseScenario(json::parse(R"({"machine": {"start": "2027-01-01T00:00:00Z"}})"));
  EXPECT_EQ(inner.start, 1798761600.0);
  EXPECT_EQ(inner.machine.startTime, 1798761600.0);
  const Scenario both = parseScenario(
      json::parse(R"({"start": "2026-12-04T20:53:30Z", "machine": {"start": "2027-01-01T00:00:00Z"}})"));
  EXPECT_EQ(both.start, 1796417610.0);
  EXPECT_EQ(both.machine.startTime, 1796417610.0);
}

TEST(ScenarioTest, LoadReportsTheFileAndUsesItsNameByDefault) {
  TempDir dir;
  writeWholeFile(dir.file("short-day.json"), R"({"hours": 2})");
  EXPECT_EQ(loadScenario(dir.file("short-day.json")).name, "short-day");
  EXPECT_EQ(loadScenario(dir.file("short-day.json")).hours, 2.0);

  writeWholeFile(dir.file("broken.json"), R"({"hours": )");
  try {
    loadScenario(dir.file("broken.json"));
    ADD_FAILURE() << "accepted malformed JSON";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()).rfind(dir.file("broken.json") + ": not valid JSON: ", 0), 0u) << e.what();
  }
  try {
    loadScenario(dir.file("missing.json"));
    ADD_FAILURE() << "accepted a missing file";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()), dir.file("missing.json") + ": cannot be read");
  }
}
