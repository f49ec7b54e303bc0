// Scenario files: members, defaults, the order of events, and refusals that
// name the member at fault (loadScenario() reads every shipped one).
#include "harness/scenario.h"

#include <gtest/gtest.h>

#include <csignal>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

using nlohmann::json;

TEST(ScenarioTest, MembersDefaultsAndTheOrderOfEvents) {
  const Scenario plain = parseScenario(json::object(), "plain");
  EXPECT_TRUE(plain.name == "plain" && plain.start == 1796417610.0 && plain.hours == 24.0 && !plain.config);
  const Scenario s = parseScenario(json::parse(R"({"start": "2027-01-01T00:00:00Z", "hours": 168,
    "machine": {"firmware": "preTahoe", "start": "2020-01-01T00:00:00Z"},
    "config": {"chargeLimitPercent": 80, "lastCalibrationTimestamp": "-29d"},
    "events": [{"at": "5h", "signal": "SIGINT"}, {"at": "1h30m", "plug": false, "percent": 40},
               {"at": "2h", "config": null}, {"at": "2h", "config": "not json"}]})"));
  EXPECT_EQ(s.machine.startTime, 1798761600.0);  // the top level's start wins
  EXPECT_EQ(s.machine.firmware, simmac::Firmware::preTahoe);
  EXPECT_EQ(json::parse(*s.config)["lastCalibrationTimestamp"], 1798761600.0 - 29 * 86400.0);
  // Sorted by time, file order kept among equals.
  ASSERT_EQ(s.events.size(), 4u);
  EXPECT_TRUE(s.events[0].at == 5400 && s.events[0].plug == false && s.events[0].percent == 40.0);
  EXPECT_TRUE(s.events[1].setsConfig && !s.events[1].config && s.events[2].config == "not json");
  EXPECT_EQ(s.events[3].signal, SIGINT);
  EXPECT_EQ(parseScenario(json::parse(R"({"machine": {"start": "2027-01-01T00:00:00Z"}})")).start, 1798761600.0);
}

TEST(ScenarioTest, BadScenariosAreRefusedNamingTheMember) {
  const std::pair<const char*, const char*> cases[] = {
      {R"([])", "a scenario is a JSON object"},
      {R"({"hour": 5})", "hour: unknown member (known: config, description, events, hours, machine, name, start)"},
      {R"({"events": [{"at": "1h", "unplug": true}]})",
       "events[0].unplug: unknown member (known: accept, at, batteryService, clamshell, clock, config, darkWakeEvery, "
       "percent, plug, refuse, restart, signal, sleep)"},
      {R"({"events": [{"at": "1h", "darkWakeEvery": "2h"}]})", "events[0].darkWakeEvery: goes with \"sleep\""},
      {R"({"events": [{"at": "1h", "refuse": "CHTE"}]})", "events[0].refuse: expected an array of four-character key names"},
      {R"({"config": {"lastCalibrationTimestamp": "29d"}})", "config.lastCalibrationTimestamp: "},
      {R"({"events": [{"at": "1h"}]})", "events[0]: nothing happens"},
      {R"({"events": [{"at": "1h", "plug": true}, {"at": "1x", "plug": true}]})", R"(events[1].at: bad time "1x")"},
      {R"({"hours": 2, "events": [{"at": "3h", "plug": true}]})", "events[0].at: 3h is after the end of the run (2h)"},
      {R"({"events": [{"at": "1h", "percent": 101}]})", "events[0].percent: "},
      {R"({"machine": {"firmware": "tahoe-2099"}})", R"(machine: unknown firmware "tahoe-2099")"},
      {R"({"machine": {"missingKeys": ["CHTEX"]}})", R"(machine: "missingKeys" must hold four-character key names)"},
      {R"({"machine": {"battery": {"plugedIn": true}}})", R"(machine: unknown member "plugedIn" in )"},
      {R"({"machine": {"systemChargeLimit": 82}})", R"(machine: "systemChargeLimit" must be 80, 85, 90, 95 or 100)"},
      {R"({"machine": {"battery": {"properties": {"A": null}}}})", R"(machine: property "A" must be a number, a Boolean)"}};
  for (const auto& [text, message] : cases) {
    try {
      parseScenario(json::parse(text));
      ADD_FAILURE() << "accepted " << text;
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(std::string(e.what()).rfind(message, 0), 0u) << e.what();
    }
  }
}
