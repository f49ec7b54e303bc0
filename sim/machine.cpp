// Booting the simulated Mac from a machine description, and the accounting
// of the objects it hands out.
#include <algorithm>
#include <cmath>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "sim/cf_objects.h"
#include "sim/machine_state.h"
#include "util/utc_time.h"

namespace simmac {

namespace {

[[noreturn]] void refuse(const std::string& what) { throw std::invalid_argument("machine: " + what); }

double numberMember(const nlohmann::json& obj, const char* name, double fallback) {
  if (!obj.contains(name)) return fallback;
  const auto& v = obj.at(name);
  if (!v.is_number()) refuse(std::string("\"") + name + "\" must be a number");
  const double d = v.get<double>();
  if (!std::isfinite(d)) refuse(std::string("\"") + name + "\" must be finite");
  return d;
}

std::vector<std::string> keyListMember(const nlohmann::json& obj, const char* name) {
  std::vector<std::string> keys;
  if (!obj.contains(name)) return keys;
  const auto& v = obj.at(name);
  if (!v.is_array()) refuse(std::string("\"") + name + "\" must be an array of key names");
  for (const auto& item : v) {
    if (!item.is_string() || item.get<std::string>().size() != 4)
      refuse(std::string("\"") + name + "\" must hold four-character key names");
    keys.push_back(item.get<std::string>());
  }
  return keys;
}

PropertyValue propertyFromJson(const std::string& key, const nlohmann::json& v) {
  if (v.is_boolean()) return v.get<bool>();
  if (v.is_number_integer()) {
    if (v.is_number_unsigned() && v.get<uint64_t>() > static_cast<uint64_t>(INT64_MAX))
      refuse("property \"" + key + "\" is out of range");
    return v.get<int64_t>();
  }
  if (v.is_number_float()) return v.get<double>();
  if (v.is_string()) return v.get<std::string>();
  refuse("property \"" + key + "\" must be a number, a Boolean or a string");
}

void checkMembers(const nlohmann::json& obj, const std::vector<std::string>& allowed, const std::string& what) {
  for (const auto& item : obj.items())
    if (std::find(allowed.begin(), allowed.end(), item.key()) == allowed.end())
      refuse("unknown member \"" + item.key() + "\" in " + what);
}

BatterySpec batteryFromJson(const nlohmann::json& j) {
  if (!j.is_object()) refuse("\"battery\" must be an object or null");
  checkMembers(j, {"percent", "capacityMah", "pluggedIn", "chargePerHour", "drainPerHour", "sleepDrainPerHour", "properties"},
               "\"battery\"");
  BatterySpec b;
  b.percent = numberMember(j, "percent", b.percent);
  if (b.percent < 0.0 || b.percent > 100.0) refuse("\"percent\" must be between 0 and 100");
  if (j.contains("capacityMah")) {
    if (!j.at("capacityMah").is_number_integer()) refuse("\"capacityMah\" must be an integer");
    b.capacityMah = j.at("capacityMah").get<int64_t>();
    if (b.capacityMah <= 0 || b.capacityMah > 1000000) refuse("\"capacityMah\" must be between 1 and 1000000");
  }
  if (j.contains("pluggedIn")) {
    if (!j.at("pluggedIn").is_boolean()) refuse("\"pluggedIn\" must be a Boolean");
    b.pluggedIn = j.at("pluggedIn").get<bool>();
  }
  b.chargePerHour = numberMember(j, "chargePerHour", b.chargePerHour);
  b.drainPerHour = numberMember(j, "drainPerHour", b.drainPerHour);
  b.sleepDrainPerHour = numberMember(j, "sleepDrainPerHour", b.sleepDrainPerHour);
  if (b.chargePerHour < 0.0 || b.drainPerHour < 0.0 || b.sleepDrainPerHour < 0.0)
    refuse("charge and drain rates must not be negative");
  if (j.contains("properties")) {
    const auto& props = j.at("properties");
    if (!props.is_object()) refuse("\"properties\" must be an object");
    for (const auto& item : props.items()) b.overrides[item.key()] = propertyFromJson(item.key(), item.value());
  }
  return b;
}

// "2026-12-04T20:53:30Z" (UTC, optional fraction of a second) to seconds since 1970.
double startFromJson(const nlohmann::json& v) {
  std::string why = "not a string";
  if (v.is_string())
    if (const auto seconds = parseUtcTime(v.get<std::string>(), &why)) return *seconds;
  refuse("\"start\" must be a UTC time such as \"2026-12-04T20:53:30Z\" (" + why + ")");
}

Machine theMachine;

}  // namespace

Machine& machine() { return theMachine; }

MachineSpec machineSpecFromJson(const nlohmann::json& j) {
  if (!j.is_object()) refuse("the machine must be a JSON object");
  checkMembers(j, {"firmware", "missingKeys", "rejectedKeys", "refusedWrites", "battery", "start", "smcAfter",
                   "systemChargeLimit", "darkWakeSeconds", "scheduledWakes", "clamshell"}, "the machine");
  MachineSpec spec;
  if (j.contains("firmware")) {
    if (!j.at("firmware").is_string()) refuse("\"firmware\" must be a string");
    const std::string fw = j.at("firmware").get<std::string>();
    if (fw == "tahoe") {
      spec.firmware = Firmware::tahoe;
    } else if (fw == "preTahoe") {
      spec.firmware = Firmware::preTahoe;
    } else if (fw == "tahoe-2026-09") {
      spec.firmware = Firmware::tahoe202609;
    } else if (fw == "noSMC") {
      spec.smcService = false;
    } else if (fw == "refused") {
      spec.openStatus = kIOReturnNotPrivileged;
    } else {
      refuse("unknown firmware \"" + fw + "\" (tahoe, preTahoe, tahoe-2026-09, noSMC, refused)");
    }
  }
  spec.missingKeys = keyListMember(j, "missingKeys");
  spec.rejectedKeys = keyListMember(j, "rejectedKeys");
  if (j.contains("battery")) {
    if (j.at("battery").is_null()) spec.battery.reset();
    else spec.battery = batteryFromJson(j.at("battery"));
  }
  if (j.contains("start")) spec.startTime = startFromJson(j.at("start"));
  spec.smcAfter = numberMember(j, "smcAfter", spec.smcAfter);
  if (!(spec.smcAfter >= 0.0 && spec.smcAfter <= 86400.0)) refuse("\"smcAfter\" must be between 0 and 86400 seconds");
  if (j.contains("systemChargeLimit")) {
    const auto& v = j.at("systemChargeLimit");
    if (!v.is_number_integer() || v.get<int64_t>() < 80 || v.get<int64_t>() > 100 || v.get<int64_t>() % 5 != 0)
      refuse("\"systemChargeLimit\" must be 80, 85, 90, 95 or 100");
    spec.systemChargeLimit = v.get<int64_t>();
  }
  spec.darkWakeSeconds = numberMember(j, "darkWakeSeconds", spec.darkWakeSeconds);
  if (!(spec.darkWakeSeconds > 0.0)) refuse("\"darkWakeSeconds\" must be above 0");
  if (j.contains("scheduledWakes")) {
    const auto& w = j.at("scheduledWakes");
    if (w != "dark" && w != "full") refuse("\"scheduledWakes\" must be \"dark\" or \"full\"");
    spec.fullScheduledWakes = w == "full";
  }
  if (j.contains("clamshell")) {
    if (!j.at("clamshell").is_boolean()) refuse("\"clamshell\" must be a Boolean");
    spec.clamshell = j.at("clamshell").get<bool>();
  }
  if (j.contains("refusedWrites")) {
    const auto& r = j.at("refusedWrites");
    if (!r.is_object()) refuse("\"refusedWrites\" must be an object such as {\"CHTE\": 1}");
    for (const auto& item : r.items()) {
      if (item.key().size() != 4 || !item.value().is_number_integer() || item.value().get<int64_t>() < 0 ||
          item.value().get<int64_t>() > 1000000)
        refuse("\"refusedWrites\" must map four-character key names to counts");
      spec.refusedWrites[item.key()] = item.value().get<int>();
    }
  }
  return spec;
}

void boot(const MachineSpec& spec) {
  Machine& m = theMachine;
  destroyAllPowerState();
  m = Machine{};
  m.spec = spec;
  m.now = spec.startTime;
  m.batteryPresent = spec.battery.has_value();
  if (spec.battery) {
    m.battery = *spec.battery;
    m.percent = std::clamp(spec.battery->percent, 0.0, 100.0);
  }
  m.clamshell = spec.clamshell;
  for (const auto& [name, count] : spec.refusedWrites) m.refusedWrites[keyCode(name)] = count;
  resetSmcKeys();
  resetCfCounts();
}

void reboot() {
  resetSmcKeys();
  saveKeys();
}

ObjectCounts objectCounts() {
  const Machine& m = theMachine;
  const CfCounts cf = cfCounts();
  ObjectCounts c;
  c.cfCreated = cf.created;
  c.cfLive = cf.live;
  c.ioCreated = m.ioCreated;
  c.ioLive = static_cast<int64_t>(m.ioObjects.size());
  c.badReleases = m.badReleases;
  return c;
}

}  // namespace simmac
