// The user's settings: their JSON form, reading and writing "config.json".
#include "store/charge_config.h"

#include <cmath>

#include "daemon/globals.h"
#include "store/json_members.h"
#include "store/safe_file.h"

// A settings file is a few hundred bytes; anything larger is not one.
static constexpr size_t maxConfigBytes = 64 * 1024;
static constexpr mode_t configMode = 0666;  // a front end of any user may edit it

static std::string_view jsonBool(bool value) { return value ? "true" : "false"; }

std::optional<std::string> encodeChargeConfig(const ChargeConfig& config) {
  // A non-finite time has no JSON form; writing null instead would make the
  // next read fall back to the defaults and switch the limit off.
  if (!std::isfinite(config.lastCalibrationTimestamp)) return std::nullopt;
  std::string out = "{\"chargeLimitEnabled\":";
  out += jsonBool(config.chargeLimitEnabled);
  out += ",\"chargeLimitPercent\":";
  out += std::to_string(config.chargeLimitPercent);
  out += ",\"calibrationEnabled\":";
  out += jsonBool(config.calibrationEnabled);
  out += ",\"calibrationIntervalDays\":";
  out += std::to_string(config.calibrationIntervalDays);
  out += ",\"lastCalibrationTimestamp\":";
  out += formatJsonNumber(config.lastCalibrationTimestamp);
  out += '}';
  return out;
}

std::optional<ChargeConfig> decodeChargeConfig(std::string_view json) {
  const auto members = readJsonMembers(
      json, {"chargeLimitEnabled", "chargeLimitPercent", "calibrationEnabled",
             "calibrationIntervalDays", "lastCalibrationTimestamp"});
  if (!members) return std::nullopt;
  const auto limitEnabled = jsonBoolean(*members, "chargeLimitEnabled");
  const auto limitPercent = jsonInteger(*members, "chargeLimitPercent");
  const auto calEnabled = jsonBoolean(*members, "calibrationEnabled");
  const auto calDays = jsonInteger(*members, "calibrationIntervalDays");
  const auto lastCal = jsonNumber(*members, "lastCalibrationTimestamp");
  if (!limitEnabled || !limitPercent || !calEnabled || !calDays || !lastCal) return std::nullopt;
  return ChargeConfig{*limitEnabled, *limitPercent, *calEnabled, *calDays, *lastCal};
}

ChargeConfig readConfig() {
  const auto bytes = readRegularFile(configPath, maxConfigBytes);
  if (!bytes) return {};
  return decodeChargeConfig(*bytes).value_or(ChargeConfig{});
}

void writeConfig(const ChargeConfig& config) {
  if (const auto json = encodeChargeConfig(config)) replaceFileAtomically(configPath, *json, configMode);
}
