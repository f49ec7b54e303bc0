// Scenario files: parsing and checking, with messages that name the member at fault.
#include "harness/scenario.h"

#include <algorithm>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "harness/time_string.h"

using nlohmann::json;

static std::invalid_argument badMember(const std::string& where, const std::string& why) {
  return std::invalid_argument(where + ": " + why);
}

static void refuseUnknownMembers(const json& object, const std::set<std::string>& known, const std::string& where) {
  for (const auto& [key, value] : object.items()) {
    if (!known.count(key)) {
      std::string list;
      for (const auto& k : known) list += (list.empty() ? "" : ", ") + k;
      throw badMember(where.empty() ? key : where + "." + key, "unknown member (known: " + list + ")");
    }
  }
}

static double parseTimeMember(const json& value, const std::string& where) {
  if (!value.is_string()) throw badMember(where, "expected a time string such as \"90s\" or \"1h30m\"");
  try {
    return parseDuration(value.get<std::string>());
  } catch (const std::invalid_argument& e) {
    throw badMember(where, e.what());
  }
}

// The bytes of config.json for a "config" member: an object is written as
// compact JSON, a string as it stands; null means no file.
static std::optional<std::string> configBytes(const json& value, double start, const std::string& where) {
  if (value.is_null()) return std::nullopt;
  if (value.is_string()) return value.get<std::string>();
  if (!value.is_object()) throw badMember(where, "expected an object, a string of raw file text, or null");
  json copy = value;
  const auto stamp = copy.find("lastCalibrationTimestamp");
  if (stamp != copy.end() && stamp->is_string()) {
    const std::string text = stamp->get<std::string>();
    const std::string stampWhere = where + ".lastCalibrationTimestamp";
    if (text.empty() || (text[0] != '-' && text[0] != '+'))
      throw badMember(stampWhere, "a string must be a time relative to the start, such as \"-29d\" or \"+2h\"");
    double offset = 0.0;
    try {
      offset = parseDuration(std::string_view(text).substr(1));
    } catch (const std::invalid_argument& e) {
      throw badMember(stampWhere, e.what());
    }
    *stamp = start + (text[0] == '-' ? -offset : offset);
  }
  return copy.dump();
}

static ScenarioEvent parseEvent(const json& value, double start, const std::string& where) {
  if (!value.is_object()) throw badMember(where, "expected an object such as {\"at\": \"1h\", \"plug\": false}");
  refuseUnknownMembers(value, {"at", "plug", "percent", "batteryService", "config", "clock", "sleep", "darkWakeEvery",
                               "clamshell", "refuse", "accept", "restart", "signal"},
                       where);
  ScenarioEvent event;
  if (!value.contains("at")) throw badMember(where, "missing \"at\"");
  event.at = parseTimeMember(value["at"], where + ".at");
  if (value.size() < 2)
    throw badMember(where, "nothing happens: give \"plug\", \"percent\", \"batteryService\", \"config\", \"clock\", "
                           "\"sleep\", \"clamshell\", \"refuse\", \"accept\", \"restart\" or \"signal\"");
  if (value.contains("plug")) {
    if (!value["plug"].is_boolean()) throw badMember(where + ".plug", "expected true or false");
    event.plug = value["plug"].get<bool>();
  }
  if (value.contains("batteryService")) {
    if (!value["batteryService"].is_boolean()) throw badMember(where + ".batteryService", "expected true or false");
    event.batteryService = value["batteryService"].get<bool>();
  }
  if (value.contains("percent")) {
    const json& p = value["percent"];
    if (!p.is_number() || !std::isfinite(p.get<double>()) || p.get<double>() < 0.0 || p.get<double>() > 100.0)
      throw badMember(where + ".percent", "expected a number from 0 to 100");
    event.percent = p.get<double>();
  }
  if (value.contains("config")) {
    event.setsConfig = true;
    event.config = configBytes(value["config"], start, where + ".config");
  }
  if (value.contains("clock")) {
    const json& c = value["clock"];
    const std::string text = c.is_string() ? c.get<std::string>() : "";
    if (text.empty() || (text[0] != '-' && text[0] != '+'))
      throw badMember(where + ".clock", "expected a signed time such as \"-1d\" or \"+5m\"");
    const double amount = parseTimeMember(json(text.substr(1)), where + ".clock");
    event.clock = text[0] == '-' ? -amount : amount;
  }
  if (value.contains("sleep")) {
    event.sleep = parseTimeMember(value["sleep"], where + ".sleep");
    if (!(*event.sleep > 0.0)) throw badMember(where + ".sleep", "expected a time above zero such as \"9h\"");
  }
  if (value.contains("darkWakeEvery")) {
    if (!event.sleep) throw badMember(where + ".darkWakeEvery", "goes with \"sleep\"");
    event.darkWakeEvery = parseTimeMember(value["darkWakeEvery"], where + ".darkWakeEvery");
    if (!(event.darkWakeEvery >= 60.0)) throw badMember(where + ".darkWakeEvery", "expected a minute or more");
  }
  if (value.contains("clamshell")) {
    if (!value["clamshell"].is_boolean()) throw badMember(where + ".clamshell", "expected true or false");
    event.clamshell = value["clamshell"].get<bool>();
  }
  for (const char* name : {"refuse", "accept"}) {
    if (!value.contains(name)) continue;
    const json& keys = value[name];
    auto& into = std::string(name) == "refuse" ? event.refuse : event.accept;
    for (const auto& key : keys.is_array() ? keys : json::array({nullptr})) {
      if (!key.is_string() || key.get<std::string>().size() != 4)
        throw badMember(where + "." + name, "expected an array of four-character key names");
      into.push_back(key.get<std::string>());
    }
  }
  if (value.contains("restart")) {
    if (value["restart"] != true) throw badMember(where + ".restart", "expected true");
    event.restart = true;
  }
  if (value.contains("signal")) {
    const json& s = value["signal"];
    const std::string name = s.is_string() ? s.get<std::string>() : "";
    if (name == "SIGTERM") event.signal = SIGTERM;
    else if (name == "SIGINT") event.signal = SIGINT;
    else throw badMember(where + ".signal", "expected \"SIGTERM\" or \"SIGINT\"");
  }
  return event;
}

Scenario parseScenario(const json& j, const std::string& defaultName) {
  if (!j.is_object()) throw std::invalid_argument("a scenario is a JSON object");
  refuseUnknownMembers(j, {"name", "description", "start", "hours", "machine", "config", "events"}, "");
  Scenario s;
  s.name = defaultName;
  if (j.contains("name")) {
    if (!j["name"].is_string()) throw badMember("name", "expected a string");
    s.name = j["name"].get<std::string>();
  }
  if (j.contains("description")) {
    if (!j["description"].is_string()) throw badMember("description", "expected a string");
    s.description = j["description"].get<std::string>();
  }
  if (j.contains("start")) {
    if (!j["start"].is_string()) throw badMember("start", "expected a UTC time such as \"2026-12-04T20:53:30Z\"");
    try {
      s.start = parseUtcInstant(j["start"].get<std::string>());
    } catch (const std::invalid_argument& e) {
      throw badMember("start", e.what());
    }
  }
  if (j.contains("hours")) {
    const json& h = j["hours"];
    if (!h.is_number() || !std::isfinite(h.get<double>()) || h.get<double>() <= 0.0 || h.get<double>() > 24.0 * 366)
      throw badMember("hours", "expected a number of hours above 0 and at most 8784 (a year)");
    s.hours = h.get<double>();
  }
  const json machine = j.contains("machine") ? j["machine"] : json::object();
  try {
    s.machine = simmac::machineSpecFromJson(machine);
  } catch (const std::exception& e) {
    const std::string what = e.what();
    throw std::invalid_argument(what.rfind("machine: ", 0) == 0 ? what : "machine: " + what);
  }
  if (machine.is_object() && machine.contains("firmware") && machine["firmware"].is_string())
    s.firmwareName = machine["firmware"].get<std::string>();
  // A start given only inside the machine is taken; the top-level one wins.
  if (j.contains("start") || !(machine.is_object() && machine.contains("start"))) s.machine.startTime = s.start;
  else s.start = s.machine.startTime;
  if (j.contains("config")) s.config = configBytes(j["config"], s.start, "config");
  if (j.contains("events")) {
    const json& events = j["events"];
    if (!events.is_array()) throw badMember("events", "expected an array of events");
    for (size_t i = 0; i < events.size(); ++i) {
      const std::string where = "events[" + std::to_string(i) + "]";
      ScenarioEvent event = parseEvent(events[i], s.start, where);
      if (event.at > s.hours * 3600.0)
        throw badMember(where + ".at", formatDuration(event.at) + " is after the end of the run (" +
                                           formatDuration(s.hours * 3600.0) + ")");
      s.events.push_back(std::move(event));
    }
    std::stable_sort(s.events.begin(), s.events.end(),
                     [](const ScenarioEvent& a, const ScenarioEvent& b) { return a.at < b.at; });
  }
  return s;
}

Scenario loadScenario(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::invalid_argument(path + ": cannot be read");
  std::ostringstream text;
  text << in.rdbuf();
  json j;
  try {
    j = json::parse(text.str());
  } catch (const json::parse_error& e) {
    throw std::invalid_argument(path + ": not valid JSON: " + e.what());
  }
  try {
    return parseScenario(j, std::filesystem::path(path).stem().string());
  } catch (const std::invalid_argument& e) {
    throw std::invalid_argument(path + ": " + e.what());
  }
}
