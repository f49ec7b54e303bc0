// The daemon's published state: its JSON form and writing "status.json".
#include "store/charge_status.h"

#include <charconv>
#include <algorithm>
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

// Appends `text` at `end`; returns the new end. The texts here are literals
// and short numbers, so the copies are a few moves each.
static char* put(char* end, std::string_view text) { return std::copy(text.begin(), text.end(), end); }

static std::string_view jsonBool(bool value) { return value ? std::string_view("true") : std::string_view("false"); }

std::optional<std::string> encodeChargeStatus(const ChargeStatus& status) {
  if (!std::isfinite(status.lastUpdate)) return std::nullopt;
  // Built in a buffer on the stack, then copied once into the record.
  char head[96];
  char* end = put(head, "{\"daemonRunning\":");
  end = put(end, jsonBool(status.daemonRunning));
  end = put(end, ",\"chargingInhibited\":");
  end = put(end, jsonBool(status.chargingInhibited));
  end = put(end, ",\"calibrationActive\":");
  end = put(end, jsonBool(status.calibrationActive));
  std::string out;
  out.reserve(192);  // the whole record, in one allocation
  out.append(head, end);
  if (status.calibrationPhase) {
    out += ",\"calibrationPhase\":";
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
  end = put(head, ",\"batteryPercent\":");
  end = std::to_chars(end, head + sizeof head, status.batteryPercent).ptr;
  end = put(end, ",\"lastUpdate\":");
  out.append(head, end);
  appendJsonNumber(out, status.lastUpdate);
  if (status.clamshellMode) out += ",\"clamshellMode\":true";
  if (status.heldByMacOSAt) out += ",\"heldByMacOSAt\":" + std::to_string(*status.heldByMacOSAt);
  if (status.limitNotHeld) out += ",\"limitNotHeld\":true";
  out += '}';
  return out;
}

std::optional<ChargeStatus> decodeChargeStatus(std::string_view json) {
  const auto members = readJsonMembers(
      json, {"daemonRunning", "chargingInhibited", "calibrationActive", "calibrationPhase",
             "batteryPercent", "lastUpdate", "clamshellMode", "heldByMacOSAt", "limitNotHeld"});
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
  bool clamshell = false;
  if (members->count("clamshellMode")) {
    const auto value = jsonBoolean(*members, "clamshellMode");
    if (!value) return std::nullopt;
    clamshell = *value;
  }
  std::optional<int64_t> heldByMacOS;
  if (members->count("heldByMacOSAt") && !(heldByMacOS = jsonInteger(*members, "heldByMacOSAt"))) return std::nullopt;
  const auto notHeld = members->count("limitNotHeld") ? jsonBoolean(*members, "limitNotHeld") : std::optional<bool>(false);
  if (!notHeld) return std::nullopt;
  return ChargeStatus{*running, *inhibited, *calActive, phase, *percent, *updated, clamshell, heldByMacOS, *notHeld};
}

void writeStatus(const ChargeStatus& status) {
  if (const auto json = encodeChargeStatus(status)) replaceFileAtomically(statusPath, *json, statusMode);
}
