// The user's settings: their JSON form, reading and writing "config.json".
#include "store/charge_config.h"

#include <cmath>
#include <utility>

#include "state/globals.h"
#include "store/json_members.h"
#include "store/safe_file.h"
#include "util/text.h"

// A settings file is a few hundred bytes; anything larger is not one.
static constexpr size_t maxConfigBytes = 64 * 1024;
static constexpr mode_t configMode = 0666;  // a front end of any user may edit it

std::optional<std::string> encodeChargeConfig(const ChargeConfig& config) {
  // A non-finite time has no JSON form; writing null instead would make the
  // next read fall back to the defaults and switch the limit off.
  if (!std::isfinite(config.lastCalibrationTimestamp)) return std::nullopt;
  std::string out = "{\"chargeLimitEnabled\":";
  out += boolText(config.chargeLimitEnabled);
  out += ",\"chargeLimitPercent\":";
  out += std::to_string(config.chargeLimitPercent);
  out += ",\"calibrationEnabled\":";
  out += boolText(config.calibrationEnabled);
  out += ",\"calibrationIntervalDays\":";
  out += std::to_string(config.calibrationIntervalDays);
  out += ",\"lastCalibrationTimestamp\":";
  out += formatJsonNumber(config.lastCalibrationTimestamp);
  if (config.adapterCycling) out += ",\"adapterCycling\":true";
  out += '}';
  return out;
}

static constexpr std::string_view kLimitEnabled = kChargeConfigMembers[0];
static constexpr std::string_view kLimitPercent = kChargeConfigMembers[1];
static constexpr std::string_view kCalEnabled = kChargeConfigMembers[2];
static constexpr std::string_view kCalDays = kChargeConfigMembers[3];
static constexpr std::string_view kLastCal = kChargeConfigMembers[4];
static constexpr std::string_view kCycling = kChargeConfigMembers[5];

static ConfigProblem refusalProblem(const JsonRefusal& refusal) {
  switch (refusal.kind) {
    case JsonRefusal::Kind::notObject: return {ConfigFault::notObject, {}};
    case JsonRefusal::Kind::tooDeep: return {ConfigFault::tooDeep, {}};
    case JsonRefusal::Kind::duplicate: return {ConfigFault::memberTwice, refusal.member};
    case JsonRefusal::Kind::malformed: break;
  }
  return {ConfigFault::notJson, {}};
}

std::optional<ChargeConfig> decodeChargeConfig(std::string_view json, ConfigProblem* why) {
  JsonRefusal refusal;
  const auto members = readJsonMembers(json, {kLimitEnabled, kLimitPercent, kCalEnabled, kCalDays, kLastCal, kCycling}, &refusal);
  if (!members) {
    if (why) *why = refusalProblem(refusal);
    return std::nullopt;
  }
  const auto limitEnabled = jsonBoolean(*members, std::string(kLimitEnabled));
  const auto limitPercent = jsonInteger(*members, std::string(kLimitPercent));
  const auto calEnabled = jsonBoolean(*members, std::string(kCalEnabled));
  const auto calDays = jsonInteger(*members, std::string(kCalDays));
  const auto lastCal = jsonNumber(*members, std::string(kLastCal));
  const bool cyclingGiven = members->count(std::string(kCycling)) > 0;
  const auto cycling = cyclingGiven ? jsonBoolean(*members, std::string(kCycling)) : std::optional<bool>(false);
  if (limitEnabled && limitPercent && calEnabled && calDays && lastCal && cycling)
    return ChargeConfig{*limitEnabled, *limitPercent, *calEnabled, *calDays, *lastCal, *cycling};
  if (why) {
    // The first member at fault, in the order of the record.
    const std::pair<std::string_view, bool> usable[] = {
        {kLimitEnabled, limitEnabled.has_value()}, {kLimitPercent, limitPercent.has_value()},
        {kCalEnabled, calEnabled.has_value()}, {kCalDays, calDays.has_value()}, {kLastCal, lastCal.has_value()},
        {kCycling, cycling.has_value()}};
    for (const auto& [name, ok] : usable) {
      if (ok) continue;
      const bool missing = members->find(std::string(name)) == members->end();
      *why = {missing ? ConfigFault::memberMissing : ConfigFault::wrongType, name};
      break;
    }
  }
  return std::nullopt;
}

std::string describeConfigProblem(const ConfigProblem& problem) {
  std::string member = "\"";
  member.append(problem.member).append("\"");
  switch (problem.fault) {
    case ConfigFault::none: return "usable";
    case ConfigFault::notRegularFile: return "not a regular file";
    case ConfigFault::tooLarge: return "larger than 64 KiB";
    case ConfigFault::unreadable: return "cannot be read";
    case ConfigFault::notJson: return "not JSON";
    case ConfigFault::notObject: return "not a JSON object";
    case ConfigFault::tooDeep: return "nested deeper than 64 levels";
    case ConfigFault::memberTwice: return member + " given twice";
    case ConfigFault::memberMissing: return member + " missing";
    case ConfigFault::wrongType:
      if (problem.member == kLimitEnabled || problem.member == kCalEnabled || problem.member == kCycling) return member + " is not true or false";
      if (problem.member == kLastCal) return member + " is not a number";
      return member + " is not a whole number";
  }
  return "unusable";
}

// The last reading of a regular file and the identity of what it read: a
// file with the same identity holds the same bytes, so it is not read again.
static std::optional<FileIdentity> lastConfigIdentity;
static ConfigReading lastConfigReading;

ConfigReading readConfigFile() {
  const std::optional<FileIdentity> identity = regularFileIdentity(configPath);
  if (identity && identity == lastConfigIdentity) return lastConfigReading;
  ConfigReading reading;
  FileRefusal refusal = FileRefusal::none;
  FileIdentity readIdentity;
  const auto bytes = readRegularFile(configPath, maxConfigBytes, &refusal, &readIdentity);
  reading.present = refusal != FileRefusal::missing;
  if (!bytes) {
    switch (refusal) {
      case FileRefusal::notRegularFile: reading.problem.fault = ConfigFault::notRegularFile; break;
      case FileRefusal::tooLarge: reading.problem.fault = ConfigFault::tooLarge; break;
      case FileRefusal::unreadable: reading.problem.fault = ConfigFault::unreadable; break;
      case FileRefusal::none:
      case FileRefusal::missing:
      case FileRefusal::untrusted: break;
    }
    return reading;
  }
  if (auto config = decodeChargeConfig(*bytes, &reading.problem)) reading.config = *config;
  lastConfigIdentity = readIdentity;
  lastConfigReading = reading;
  return reading;
}

ChargeConfig readConfig() { return readConfigFile().config; }

void writeConfig(const ChargeConfig& config) {
  if (const auto json = encodeChargeConfig(config)) replaceFileAtomically(configPath, *json, configMode);
}
