// The simulated battery: state of charge driven by time, the adapter and the
// SMC keys, and the "AppleSmartBattery" registry properties it reports.
#include <algorithm>
#include <cmath>

#include "sim/cf_objects.h"
#include "sim/machine_state.h"

namespace simmac {

namespace {

// Where charging stops by itself: full, or macOS's own Charge Limit.
double chargeCeiling() {
  const auto& limit = machine().spec.systemChargeLimit;
  return limit ? static_cast<double>(*limit) : 100.0;
}

// Percent per hour right now: positive while charging, negative while
// running from the battery, 0 while held.
double currentRate() {
  const Machine& m = machine();
  if (!m.batteryPresent) return 0.0;
  if (!m.battery.pluggedIn || adapterDisabled()) {
    const bool sleeping = m.powerState == PowerState::asleep || m.powerState == PowerState::darkWake;
    const double drain = sleeping ? m.battery.sleepDrainPerHour : m.battery.drainPerHour;
    return m.percent > 0.0 ? -drain : 0.0;
  }
  if (chargeInhibited()) return 0.0;
  return m.percent < chargeCeiling() ? m.battery.chargePerHour : 0.0;
}

CFTypeRef createValue(const PropertyValue& value) {
  if (const auto* i = std::get_if<int64_t>(&value)) return createInteger(*i);
  if (const auto* d = std::get_if<double>(&value)) return createFloat(*d);
  if (const auto* b = std::get_if<bool>(&value)) return *b ? kCFBooleanTrue : kCFBooleanFalse;
  return createString(std::get<std::string>(value));
}

}  // namespace

void runBattery(double seconds) {
  Machine& m = machine();
  const double rate = currentRate();
  if (rate == 0.0 || seconds <= 0.0) return;
  m.percent = std::clamp(m.percent + rate * seconds / 3600.0, 0.0, rate > 0.0 ? chargeCeiling() : 100.0);
}

double batteryPercent() { return machine().percent; }

void setBatteryPercent(double percent) { machine().percent = std::clamp(percent, 0.0, 100.0); }

void setPluggedIn(bool connected) {
  machine().battery.pluggedIn = connected;
  checkClamshellPower(false);
}

bool pluggedIn() { return machine().battery.pluggedIn; }

bool batteryCharging() { return currentRate() > 0.0; }

void setBatteryService(bool present) { machine().batteryPresent = present; }

void setPropertiesFailure(std::optional<kern_return_t> status) { machine().propertiesFailure = status; }

void setPropertiesNull(bool on) { machine().propertiesNull = on; }

void setPropertiesNotDictionary(bool on) { machine().propertiesNotDictionary = on; }

void setPropertiesNonStringKey(bool on) { machine().propertiesNonStringKey = on; }

void setPropertyOverride(const std::string& key, std::optional<PropertyValue> value) {
  auto& overrides = machine().battery.overrides;
  if (value) overrides[key] = *value;
  else overrides.erase(key);
}

std::map<std::string, PropertyValue> batteryProperties() {
  const Machine& m = machine();
  const BatterySpec& b = m.battery;
  const int64_t rawMax = b.capacityMah;
  const int64_t rawCurrent = std::llround(m.percent / 100.0 * static_cast<double>(rawMax));
  const bool charging = batteryCharging();
  const bool external = b.pluggedIn && !adapterDisabled();
  const double rate = currentRate();
  // Current in mA: the percent rate applied to the capacity.
  const int64_t amperage = std::llround(rate / 100.0 * static_cast<double>(rawMax));
  // A plausible cell-stack voltage: 11.4 V empty to 13.0 V full.
  const int64_t voltage = std::llround(11400.0 + 16.0 * m.percent);

  std::map<std::string, PropertyValue> p = {
      {"AppleRawCurrentCapacity", rawCurrent},
      {"AppleRawMaxCapacity", rawMax},
      {"CurrentCapacity", std::llround(m.percent)},
      {"MaxCapacity", int64_t{100}},
      {"ExternalConnected", external},
      {"IsCharging", charging},
      {"FullyCharged", m.percent >= 100.0},
      {"DesignCapacity", rawMax + rawMax / 20},
      {"NominalChargeCapacity", rawMax},
      {"CycleCount", int64_t{127}},
      {"DesignCycleCount9C", int64_t{1000}},
      {"Voltage", voltage},
      {"Amperage", amperage},
      {"InstantAmperage", amperage},
      {"Temperature", int64_t{3012}},
      {"TimeRemaining", int64_t{65535}},
      {"BatteryInstalled", true},
      {"ExternalChargeCapable", external},
      {"AtCriticalLevel", m.percent < 2.0},
      {"Serial", std::string("F8Y3241M0QK1N7HAX")},
      {"DeviceName", std::string("bq40z651")},
      {"Manufacturer", std::string("SMP")},
      {"IOClass", std::string("AppleSmartBattery")},
  };
  for (const auto& [key, value] : b.overrides) p[key] = value;
  return p;
}

CFTypeRef createBatteryPropertiesObject() {
  const Machine& m = machine();
  if (m.propertiesNotDictionary) return createString("AppleSmartBattery");
  CFMutableDictionaryRef dict = createDictionary();
  const auto props = batteryProperties();
  const size_t middle = props.size() / 2;
  size_t i = 0;
  for (const auto& [name, value] : props) {
    if (m.propertiesNonStringKey && i++ == middle) {
      // A key that is a number, in the middle where a careless loop meets it.
      CFTypeRef key = createInteger(42);
      CFTypeRef val = createInteger(1);
      dictionaryAdd(dict, key, val);
      CFRelease(key);
      CFRelease(val);
    }
    CFTypeRef key = createString(name);
    CFTypeRef val = createValue(value);
    dictionaryAdd(dict, key, val);
    CFRelease(key);
    CFRelease(val);
  }
  return dict;
}

}  // namespace simmac
