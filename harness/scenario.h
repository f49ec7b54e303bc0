// A simulation scenario: the machine, the settings file, the events and how long to run.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "sim/simulated_mac.h"

// One scheduled change. Several changes may share one event; they are applied
// in the order of the members below, the signal last.
struct ScenarioEvent {
  double at = 0.0;                      // seconds after the start
  std::optional<bool> batteryService;   // the "AppleSmartBattery" service appears / vanishes
  std::optional<bool> plug;             // adapter connected / disconnected
  std::optional<double> percent;        // the battery's state of charge is set
  bool setsConfig = false;              // "config" present in the event
  std::optional<std::string> config;    // new bytes of config.json; none: the file is removed
  std::optional<double> clock;          // the wall clock is set this many seconds forward (negative: back)
  std::optional<double> sleep;          // the lid is closed for this many seconds
  double darkWakeEvery = 0.0;           // with "sleep": the system's maintenance dark wakes, 0: none
  std::optional<bool> clamshell;        // clamshell mode (lid closed on an external display) begins / ends
  std::vector<std::string> refuse, accept;  // SMC keys whose writes the controller refuses / takes again
  bool restart = false;                 // the daemon is stopped (its clean shutdown) and started again
  std::optional<int> signal;            // SIGTERM or SIGINT, raised in the process
};

struct Scenario {
  std::string name;                     // "name", else the file name without ".json"
  std::string description;              // optional free text
  double start = 1796417610.0;          // virtual wall clock at start (2026-12-04T20:53:30Z)
  double hours = 24.0;                  // virtual run length
  std::string firmwareName = "tahoe";   // as written in the machine object
  simmac::MachineSpec machine;          // startTime equals `start`
  std::optional<std::string> config;    // initial config.json bytes; none: no file
  std::vector<ScenarioEvent> events;    // ordered by time, file order kept among equals
};

// Builds a scenario from its JSON form. Members: "name", "description",
// "start" (UTC, "2026-12-04T20:53:30Z"), "hours" (> 0), "machine" (see
// simmac::machineSpecFromJson), "config" (object, raw text or null) and
// "events" (objects with "at" and one or more of "plug", "percent",
// "batteryService", "config", "clock" ("-1d", "+5m"), "sleep" ("9h", with
// "darkWakeEvery": "2h"), "clamshell" (true/false), "refuse"/"accept" (key
// names), "restart" (true), "signal"). In a config object a string
// "lastCalibrationTimestamp" such as "-29d" is a time relative to the start.
// Unknown members are refused. Throws std::invalid_argument naming the
// member at fault, e.g. "events[2].at: bad time \"1x\": ...".
Scenario parseScenario(const nlohmann::json& j, const std::string& defaultName = "scenario");

// Reads and parses a scenario file; the default name is the file's base name.
// Throws std::invalid_argument (unreadable file, malformed JSON, bad content).
Scenario loadScenario(const std::string& path);
