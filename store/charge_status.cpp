// The daemon's published state: its JSON form and writing "status.json".
#include "store/charge_status.h"

#include <charconv>
#include <cmath>
#include <string_view>

#include <nlohmann/json.hpp>

#include "state/globals.h"
#include "store/json_members.h"
#include "store/safe_file.h"
#include "util/text.h"

static constexpr mode_t statusMode = 0644;  // others read, only the daemon writes

// Printable ASCII without quote or backslash: what JSON writes unescaped,
// as every phase display string is.
static bool isPlainText(std::string_view text) {
  for (const char c : text)
    if (c < 0x20 || c > 0x7e || c == '"' || c == '\\') return false;
  return true;
}

static std::string_view jsonBool(bool value) { return value ? std::string_view("true") : std::string_view("false"); }

std::optional<std::string> encodeChargeStatus(const ChargeStatus& status) {
  using namespace std::string_view_literals;
  if (!std::isfinite(status.lastUpdate)) return std::nullopt;
  std::string out;
  out.reserve(192);  // the whole record, in one allocation
  out += "{\"daemonRunning\":"sv;
  out += jsonBool(status.daemonRunning);
  out += ",\"chargingInhibited\":"sv;
  out += jsonBool(status.chargingInhibited);
  out += ",\"calibrationActive\":"sv;
  out += jsonBool(status.calibrationActive);
  if (status.calibrationPhase) {
    out += ",\"calibrationPhase\":"sv;
    const std::string& phase = *status.calibrationPhase;
    if (isPlainText(phase)) {
      out += '"';
      out += phase;
      out += '"';
    } else {
      // Standard escaping; bytes that are not UTF-8 become U+FFFD rather
      // than costing the whole record.
      out += nlohmann::json(phase).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
  }
  out += ",\"batteryPercent\":"sv;
  char digits[24];
  out.append(digits, std::to_chars(digits, digits + sizeof digits, status.batteryPercent).ptr);
  out += ",\"lastUpdate\":"sv;
  appendJsonNumber(out, status.lastUpdate);
  out += '}';
  return out;
}

std::optional<ChargeStatus> decodeChargeStatus(std::string_view json) {
  const auto members = readJsonMembers(
      json, {"daemonRunning", "chargingInhibited", "calibrationActive", "calibrationPhase",
             "batteryPercent", "lastUpdate"});
  if (!members) return std::nullopt;
  const auto running = jsonBoolean(*members, "daemonRunning");
  const auto inhibited = jsonBoolean(*members, "chargingInhibited");
  const auto calActive = jsonBoolean(*members, "calibrationActive");
  const auto percent = jsonInteger(*members, "batteryPercent");
  const auto updated = jsonNumber(*members, "lastUpdate");
  if (!running || !inhibited || !calActive || !percent || !updated) return std::nullopt;
  std::optional<std::string> phase;
  if (const auto it = members->find("calibrationPhase"); it != members->end()) {
    if (it->second.kind == JsonMember::Kind::string) phase = it->second.string;
    else if (it->second.kind != JsonMember::Kind::null) return std::nullopt;
  }
  return ChargeStatus{*running, *inhibited, *calActive, phase, *percent, *updated};
}

void writeStatus(const ChargeStatus& status) {
  if (const auto json = encodeChargeStatus(status)) replaceFileAtomically(statusPath, *json, statusMode);
}
