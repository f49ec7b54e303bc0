// Trace records: sampling the simulated Mac and the daemon after each pass.
#include "harness/trace.h"

#include <cmath>

#include <nlohmann/json.hpp>

#include "state/globals.h"
#include "sim/simulated_mac.h"
#include "store/charge_config.h"
#include "store/charge_status.h"
#include "store/safe_file.h"

TraceSample takeTraceSample(bool withKeys) {
  TraceSample s;
  s.t = simmac::now();
  s.pass = loopCount;
  s.percent = simmac::batteryPercent();
  s.pluggedIn = simmac::pluggedIn();
  s.charging = simmac::batteryCharging();
  s.adapterDisabled = adapterDisabled;
  s.currentlyInhibited = currentlyInhibited;
  s.smcAdapterDisabled = simmac::adapterDisabled();
  s.smcChargeInhibited = simmac::chargeInhibited();
  s.phase = calPhase;
  s.led = simmac::ledValue();
  s.darkWake = simmac::inDarkWake();
  s.clamshell = simmac::clamshell();
  if (const auto text = readRegularFile(statusPath, 4096)) {
    if (const auto status = decodeChargeStatus(*text); status && status->daemonRunning) {
      s.reading = status->batteryPercent;
      s.heldByMacOSAt = status->heldByMacOSAt;
      s.limitNotHeld = status->limitNotHeld;
    }
  }
  const ChargeConfig config = readConfig();
  if (config.chargeLimitEnabled) s.limit = config.chargeLimitPercent;
  if (withKeys) {
    for (const char* name : {"CHTE", "CH0B", "CH0C", "CHIE", "CH0I", "CH0J"}) {
      if (simmac::smcKey(name)) s.keys.emplace_back(name, simmac::smcKeyHex(name));
    }
  }
  return s;
}

std::string ledName(uint8_t led) {
  switch (led) {
    case 0: return "system";
    case 3: return "green";
    case 4: return "orange";
    default: return std::to_string(led);
  }
}

std::string traceLine(const TraceSample& s) {
  // Fixed member order keeps the file easy to read and to diff.
  nlohmann::ordered_json j;
  j["t"] = s.t;
  j["pass"] = s.pass;
  j["percent"] = std::round(s.percent * 1000.0) / 1000.0;
  j["reading"] = s.reading ? nlohmann::ordered_json(*s.reading) : nlohmann::ordered_json(nullptr);
  j["pluggedIn"] = s.pluggedIn;
  j["charging"] = s.charging;
  j["adapterDisabled"] = s.adapterDisabled;
  j["currentlyInhibited"] = s.currentlyInhibited;
  j["phase"] = std::string(rawValue(s.phase));
  j["led"] = ledName(s.led);
  j["limit"] = s.limit ? nlohmann::ordered_json(*s.limit) : nlohmann::ordered_json(nullptr);
  j["batteryPresent"] = s.batteryPresent;
  j["smcChargeInhibited"] = s.smcChargeInhibited;
  j["smcAdapterDisabled"] = s.smcAdapterDisabled;
  j["asleep"] = s.asleep;
  j["darkWake"] = s.darkWake;
  j["clamshell"] = s.clamshell;
  nlohmann::ordered_json keys = nlohmann::ordered_json::object();
  for (const auto& [name, hex] : s.keys) keys[name] = hex;
  j["keys"] = keys;
  if (s.heldByMacOSAt) j["heldByMacOSAt"] = *s.heldByMacOSAt;
  if (s.limitNotHeld) j["limitNotHeld"] = true;
  return j.dump();
}
