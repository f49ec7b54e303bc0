// The user's settings: their JSON form, reading and writing "config.json".
#include "store/charge_config.h"

#include <charconv>
#include <cmath>
#include <system_error>
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
  out += '}';
  return out;
}

// ---- The written form, read without a parser --------------------------------
// Every settings file the daemon or the front end writes has exactly the form
// of encodeChargeConfig. Read on every pass, that form is taken apart here
// without a single allocation; the scanners accept only text whose meaning is
// beyond doubt and leave everything else to the general reader below.

static bool consume(std::string_view& text, std::string_view expected) {
  if (text.substr(0, expected.size()) != expected) return false;
  text.remove_prefix(expected.size());
  return true;
}

static std::optional<bool> scanBoolean(std::string_view& text) {
  if (consume(text, "true")) return true;
  if (consume(text, "false")) return false;
  return std::nullopt;
}

static bool isDigit(char c) { return c >= '0' && c <= '9'; }

// 0, or an integer of at most 18 digits without leading zeros (so it cannot
// overflow); "-0" and longer numbers are left to the general reader.
static std::optional<int64_t> scanInteger(std::string_view& text) {
  size_t i = text.substr(0, 1) == "-" ? 1 : 0;
  const size_t first = i;
  while (i < text.size() && isDigit(text[i])) ++i;
  const size_t digits = i - first;
  if (digits == 0 || digits > 18 || (text[first] == '0' && (digits > 1 || first == 1))) return std::nullopt;
  if (i < text.size() && (text[i] == '.' || text[i] == 'e' || text[i] == 'E')) return std::nullopt;
  int64_t magnitude = 0;
  for (size_t k = first; k < i; ++k) magnitude = magnitude * 10 + (text[k] - '0');
  text.remove_prefix(i);
  return first == 1 ? -magnitude : magnitude;
}

// A JSON number, -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?, as the nearest
// double (what the general reader yields too); "-0" (which that reader reads
// as the integer 0, not as -0.0) and anything not finite are left to it.
static std::optional<double> scanNumber(std::string_view& text) {
  size_t i = text.substr(0, 1) == "-" ? 1 : 0;
  const size_t intStart = i;
  while (i < text.size() && isDigit(text[i])) ++i;
  if (i == intStart || (text[intStart] == '0' && i - intStart > 1)) return std::nullopt;
  bool integral = true;
  if (i < text.size() && text[i] == '.') {
    const size_t fracStart = ++i;
    while (i < text.size() && isDigit(text[i])) ++i;
    if (i == fracStart) return std::nullopt;
    integral = false;
  }
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    const size_t expStart = i;
    while (i < text.size() && isDigit(text[i])) ++i;
    if (i == expStart) return std::nullopt;
    integral = false;
  }
  if (integral && intStart == 1 && text[1] == '0') return std::nullopt;  // "-0"
  double value = 0.0;
  const auto result = std::from_chars(text.data(), text.data() + i, value);
  if (result.ec != std::errc() || result.ptr != text.data() + i || !std::isfinite(value)) return std::nullopt;
  text.remove_prefix(i);
  return value;
}

static std::optional<ChargeConfig> decodeWrittenForm(std::string_view text) {
  std::optional<bool> limitEnabled, calEnabled;
  std::optional<int64_t> limitPercent, calDays;
  std::optional<double> lastCal;
  if (!consume(text, "{\"chargeLimitEnabled\":") || !(limitEnabled = scanBoolean(text)) ||
      !consume(text, ",\"chargeLimitPercent\":") || !(limitPercent = scanInteger(text)) ||
      !consume(text, ",\"calibrationEnabled\":") || !(calEnabled = scanBoolean(text)) ||
      !consume(text, ",\"calibrationIntervalDays\":") || !(calDays = scanInteger(text)) ||
      !consume(text, ",\"lastCalibrationTimestamp\":") || !(lastCal = scanNumber(text)) ||
      text != "}")
    return std::nullopt;
  return ChargeConfig{*limitEnabled, *limitPercent, *calEnabled, *calDays, *lastCal};
}

static constexpr std::string_view kLimitEnabled = "chargeLimitEnabled";
static constexpr std::string_view kLimitPercent = "chargeLimitPercent";
static constexpr std::string_view kCalEnabled = "calibrationEnabled";
static constexpr std::string_view kCalDays = "calibrationIntervalDays";
static constexpr std::string_view kLastCal = "lastCalibrationTimestamp";

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
  if (auto config = decodeWrittenForm(json)) return config;
  JsonRefusal refusal;
  const auto members = readJsonMembers(json, {kLimitEnabled, kLimitPercent, kCalEnabled, kCalDays, kLastCal}, &refusal);
  if (!members) {
    if (why) *why = refusalProblem(refusal);
    return std::nullopt;
  }
  const auto limitEnabled = jsonBoolean(*members, std::string(kLimitEnabled));
  const auto limitPercent = jsonInteger(*members, std::string(kLimitPercent));
  const auto calEnabled = jsonBoolean(*members, std::string(kCalEnabled));
  const auto calDays = jsonInteger(*members, std::string(kCalDays));
  const auto lastCal = jsonNumber(*members, std::string(kLastCal));
  if (limitEnabled && limitPercent && calEnabled && calDays && lastCal)
    return ChargeConfig{*limitEnabled, *limitPercent, *calEnabled, *calDays, *lastCal};
  if (why) {
    // The first member at fault, in the order of the record.
    const std::pair<std::string_view, bool> usable[] = {
        {kLimitEnabled, limitEnabled.has_value()}, {kLimitPercent, limitPercent.has_value()},
        {kCalEnabled, calEnabled.has_value()}, {kCalDays, calDays.has_value()}, {kLastCal, lastCal.has_value()}};
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
  const std::string member = "\"" + std::string(problem.member) + "\"";
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
      if (problem.member == kLimitEnabled || problem.member == kCalEnabled) return member + " is not true or false";
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
  lastConfigIdentity.reset();
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
      case FileRefusal::missing: break;
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
